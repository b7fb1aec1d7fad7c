// quillark-poll's command line.
#pragma once

#include <memory>
#include <ostream>

#include "poller.h"

namespace quillark_poll {

// The parser, built once; parse() may be called again and starts each time
// from the defaults.
class PollCommandLine {
public:
    PollCommandLine();
    ~PollCommandLine();
    PollCommandLine(const PollCommandLine&) = delete;
    PollCommandLine& operator=(const PollCommandLine&) = delete;

    // Returns -1 to go on with options(), else the exit status (0 after
    // --help, printed on `out`; 2 after a usage error, whose message goes to
    // `errors` naming the option). Reads no file and opens nothing.
    int parse(int argc, const char* const* argv, std::ostream& out, std::ostream& errors);
    const PollOptions& options() const;

private:
    struct Parser;
    std::unique_ptr<Parser> parser_;
};

}  // namespace quillark_poll
