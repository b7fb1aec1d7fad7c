// quillark-poll's run: load the plug-in, set up the link (or the built-in
// simulated unit), run the poll rounds, send the writes, and turn what
// happened into the exit status.
#pragma once

#include <string>
#include <vector>

#include "args.h"
#include "modbus_transport.h"
#include "output.h"
#include "plugin.h"

namespace quillark_poll {

enum ExitStatus {
    kExitOk = 0,
    kExitFailed = 1,       // no complete round, or a write with no answer
    kExitUsage = 2,        // a bad argument
    kExitNotConfirmed = 3, // a write the unit answered but did not confirm
};

// Exit status from the number of complete rounds (when rounds were asked
// for) and the results the driver gave for the writes (quillark::WriteOutcome).
int exit_status(bool polled, int complete_rounds, const std::vector<int>& write_results);

struct PollOptions {
    std::string plugin;  // empty: look in default_plugin_paths()
    unsigned int device_id = 1;
    std::string settings_file;
    bool builtin_unit = true;  // no link named: poll the simulated unit in-process
    standin::LinkSettings link;
    long rounds = 1;  // 0: until stopped
    double interval_s = 1.0;
    std::string record_out;
    bool pretty = false;
    std::vector<quillark_tools::RegisterWrite> writes;  // in command-line order
};

// Runs the poller; returns the exit status. Throws std::runtime_error for
// what it cannot recover from.
int run_poller(const PollOptions& options);

// Ends the run at the next chance. Async-signal-safe.
void stop_poller() noexcept;

}  // namespace quillark_poll
