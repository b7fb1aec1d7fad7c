// quillark-sim's command line.
#pragma once

#include <memory>
#include <ostream>
#include <string>

#include "server.h"
#include "unit.h"

namespace quillark_sim {

struct SimOptions {
    ServerSettings server;
    int last_unit = 1;  // --units FIRST-LAST: server.link.unit is FIRST; else the same unit
    std::string image_file;
    bool steady = false;
    std::string port_file;
    FaultPlan faults;
    bool version = false;  // --version: print the release and stop
};

// The parser, built once; parse() may be called again and starts each time
// from the defaults.
class SimCommandLine {
public:
    SimCommandLine();
    ~SimCommandLine();
    SimCommandLine(const SimCommandLine&) = delete;
    SimCommandLine& operator=(const SimCommandLine&) = delete;

    // Returns -1 to go on with options(), else the exit status (0 after
    // --help, printed on `out`; 2 after a usage error, whose message goes to
    // `errors`). Reads no file and opens nothing.
    int parse(int argc, const char* const* argv, std::ostream& out, std::ostream& errors);
    const SimOptions& options() const;

private:
    struct Parser;
    std::unique_ptr<Parser> parser_;
};

}  // namespace quillark_sim
