// quillark-poll: loads the plug-in as the host does, polls one unit over
// Modbus TCP or RTU (or the built-in simulated unit), prints the unit's status
// document after every complete round and sends register writes.
//
// stdout carries the status documents and nothing else; the plug-in's own
// lines, which it writes to stdout, and the progress of each round go to
// stderr.
#include <signal.h>

#include <iostream>

#include "hostkit/common/files.h"
#include "tools/poll/poll_options.h"
#include "tools/poll/poller.h"

namespace {

extern "C" void on_stop_signal(int number) { quillark_poll::stop_poller(number); }

}  // namespace

int main(int argc, char** argv) {
    using namespace quillark_poll;
    PollCommandLine command_line;
    if (const int status = command_line.parse(argc, argv, std::cout, std::cerr); status >= 0)
        return status;
    const PollOptions& options = command_line.options();
    if (options.version) return print_version(std::cout, options.plugin);

    // A closed pipe shows as EPIPE on the document's write, which then ends
    // the run with SIGPIPE; a lost connection to the unit must not.
    signal(SIGPIPE, SIG_IGN);
    quillark_tools::on_stop_signals(on_stop_signal);
    try {
        return run_poller(options);
    } catch (const std::exception& e) {
        say(e.what());
        return kExitFailed;
    }
}
