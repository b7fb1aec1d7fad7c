// quillark-sim's command line.
#pragma once

#include <ostream>
#include <string>

#include "server.h"
#include "unit.h"

namespace quillark_sim {

struct SimOptions {
    ServerSettings server;
    std::string image_file;
    bool steady = false;
    std::string port_file;
    FaultPlan faults;
};

// Parses the arguments; returns -1 to go on, else the exit status (0 after
// --help, printed on `out`; 2 after a usage error, whose message goes to
// `errors`). Reads no file and opens nothing.
int parse_sim_options(SimOptions& options, int argc, const char* const* argv, std::ostream& out,
                      std::ostream& errors);

}  // namespace quillark_sim
