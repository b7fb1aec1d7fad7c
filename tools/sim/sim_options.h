// quillark-sim's command line.
#pragma once

#include <string>

#include "hostkit/common/cli.h"
#include "hostkit/simunit/server.h"
#include "hostkit/simunit/unit.h"

namespace quillark_sim {

struct SimOptions {
    ServerSettings server;
    int last_unit = 1;  // --units FIRST-LAST: server.link.unit is FIRST; else the same unit
    std::string image_file;
    bool steady = false;
    std::string round_log;  // rounds mode: values unique to address and round, logged here
    std::string port_file;
    FaultPlan faults;
    bool version = false;  // --version: print the release and stop
};

class SimCommandLine : public quillark_tools::CommandLine<SimOptions> {
public:
    SimCommandLine();

private:
    void reset() override {
        tcp_.clear();
        units_.clear();
    }
    std::string finish(SimOptions& o) override;

    std::string tcp_;
    std::string units_;
};

}  // namespace quillark_sim
