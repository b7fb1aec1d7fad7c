// quillark-poll's run: load the plug-in, set up the link (or the built-in
// simulated unit), run the poll rounds, send the writes, and turn what
// happened into the exit status.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "hostkit/common/args.h"
#include "host/standin/modbus_transport.h"
#include "tools/poll/output.h"

namespace quillark_poll {

enum ExitStatus {
    kExitOk = 0,
    kExitFailed = 1,        // no complete round, a write with no answer, output lost
    kExitUsage = 2,         // a bad argument or input file
    kExitNotConfirmed = 3,  // a write the unit answered but did not confirm
    kExitSomeFailed = 4,    // some but not all rounds asked for completed
};

// What a run came to, for the exit status.
struct RunSummary {
    long rounds_asked = 1;  // 0: until stopped
    long complete = 0;
    long failed = 0;
    int stop_signal = 0;             // SIGINT or SIGTERM if one ended the run
    std::vector<int> write_results;  // the driver's verdicts: 1, 3, else no answer
    bool output_failed = false;      // a document or record could not be written
};

// The first that applies of: 1 (no round complete, a write unanswered, the
// output failed), 3 (a write answered, not confirmed), 128 + signal (a
// bounded run stopped early), 4 (some rounds failed), else 0. A run with
// --rounds 0 ends by a signal; that is its normal end.
int exit_status(const RunSummary& run);

struct PollOptions {
    std::string plugin;  // empty: look where the host kit looks by default
    unsigned int device_id = 1;
    std::string settings_file;
    bool builtin_unit = true;  // no link named: poll the simulated unit in-process
    standin::LinkSettings link;
    long rounds = 1;  // 0: until stopped
    double interval_s = 1.0;
    std::string record_out;
    bool pretty = false;
    bool quiet = false;                                 // errors only on stderr
    bool verbose = false;                               // every frame in hex on stderr
    bool version = false;                               // --version: print the releases and stop
    std::vector<quillark_tools::RegisterWrite> writes;  // in command-line order
};

// --version: this release, and the release of the plug-in named (or else found
// where it is looked for by default), after loading it as for a poll.
int print_version(std::ostream& out, const std::string& plugin_path);

// Runs the poller; returns the exit status. Throws std::runtime_error for
// what it cannot recover from.
int run_poller(const PollOptions& options);

// Ends the run at once, for SIGINT or SIGTERM. Async-signal-safe.
void stop_poller(int signal_number) noexcept;

}  // namespace quillark_poll
