// quillark-poll's command line.
#pragma once

#include <ostream>

#include "poller.h"

namespace quillark_poll {

// Parses the arguments; returns -1 to go on, else the exit status (0 after
// --help, printed on `out`; 2 after a usage error, whose message goes to
// `errors` naming the option). Reads no file and opens nothing.
int parse_poll_options(PollOptions& options, int argc, const char* const* argv, std::ostream& out,
                       std::ostream& errors);

}  // namespace quillark_poll
