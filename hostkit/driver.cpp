#include "hostkit/driver.h"

namespace quillark_kit {

Driver::Driver(const Plugin& plugin, unsigned int device_id, const Json::Value& settings) {
    device_.reset(plugin.create());
    modbus_ = dynamic_cast<SPModbus*>(device_.get());
    if (modbus_ == nullptr)
        throw PluginError(plugin.path() + ": the plug-in's device does not speak Modbus");
    modbus_->Init(host_, device_id, settings);
}

Driver::~Driver() { device_.reset(); }

std::string Driver::device_type() { return modbus_->DeviceType(); }

Driver::Round Driver::run_round(standin::Master& master) {
    const int before = host_->published;
    Round round;
    round.result = master.run_round(*modbus_);
    round.complete = host_->published > before;
    return round;
}

std::string Driver::status_text(std::vector<char>& buffer) {
    if (buffer.size() < 64 * 1024) buffer.resize(64 * 1024);
    for (int attempt = 0; attempt < 4; ++attempt) {
        int size = 0;
        const int rc = standin::command(*modbus_, IoGetStatusText, nullptr, 0, buffer.data(),
                                        static_cast<int>(buffer.size()), size);
        if (rc == 0 && size >= 0 && static_cast<std::size_t>(size) <= buffer.size())
            return std::string(buffer.data(), static_cast<std::size_t>(size));
        if (size <= 0) break;
        buffer.resize(static_cast<std::size_t>(size) + 1024);
    }
    return {};
}

Driver::WriteResult Driver::write(standin::Master& master,
                                  const quillark_tools::RegisterWrite& write) {
    using Kind = quillark_tools::RegisterWrite::Kind;
    std::vector<std::uint16_t> words;
    words.reserve(write.values.size() + 1);
    words.push_back(static_cast<std::uint16_t>(write.address));
    words.insert(words.end(), write.values.begin(), write.values.end());
    const int code = write.kind == Kind::Multiple ? IoWriteRegisters : IoWriteRegister;
    int unused = 0;
    WriteResult result;
    result.taken =
        standin::command(*modbus_, code, words.data(),
                         static_cast<int>(words.size() * sizeof words[0]), nullptr, 0, unused) == 0;
    if (!result.taken) return result;
    // The master waits for the answer (or the timeout), so the result query
    // finds the driver's verdict already in place.
    result.sent = master.pump(*modbus_);
    std::int32_t verdict = quillark::Pending;
    int size = 0;
    standin::command(*modbus_, IoResultQuery, nullptr, 0, &verdict, sizeof verdict, size);
    if (size == sizeof verdict &&
        (verdict == quillark::Confirmed || verdict == quillark::NotConfirmed))
        result.verdict = static_cast<quillark::WriteOutcome>(verdict);
    return result;
}

}  // namespace quillark_kit
