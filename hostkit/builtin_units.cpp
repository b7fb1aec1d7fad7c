#include "hostkit/builtin_units.h"

namespace quillark_kit {

BuiltinUnits::BuiltinUnits(int count, int first_id)
    : row_(quillark_sim::Image::standard(), count, false, quillark_sim::FaultPlan{}) {
    quillark_sim::ServerSettings settings;
    settings.link.unit = first_id;
    server_ = std::make_unique<quillark_sim::Server>(row_.units(), settings);
    server_->start();
}

}  // namespace quillark_kit
