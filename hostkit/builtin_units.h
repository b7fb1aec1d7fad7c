// Simulated units served in-process on a free loopback port, for a program
// run without a unit of its own: it shows everything working at once.
#pragma once

#include <memory>
#include <string>

#include "hostkit/simunit/row.h"
#include "hostkit/simunit/server.h"

namespace quillark_kit {

class BuiltinUnits {
public:
    // `count` units answering as `first_id` onwards, on 127.0.0.1; serving
    // from a background thread until destroyed.
    explicit BuiltinUnits(int count, int first_id = 1);
    int port() const { return server_->port(); }
    std::string where() const { return server_->where(); }

private:
    quillark_sim::UnitRow row_;
    std::unique_ptr<quillark_sim::Server> server_;
};

}  // namespace quillark_kit
