// The agent as a service: what it tells the service manager (ready,
// reloading, stopping, alive), when a link thread counts as hung, and where
// the driver's own lines go.
#pragma once

#include <signal.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "tools/agent/config/config.h"

namespace quillark_agent::service {

using Clock = std::chrono::steady_clock;

// Points standard output, where the plug-in writes lines of its own (one
// "rvSize is 0" per unit and round), at `file` (appended to), or at
// /dev/null when `file` is empty. Throws std::runtime_error when the file
// cannot be opened.
void route_driver_output(const std::string& file);

// The longest a round can last with a link's settings: every read of the
// round answered just before the timeout, on its last try.
Clock::duration longest_round(const LinkConfig& link);

// How long a link thread may stay in one round or write before it counts as
// hung: twice the longest round of the slowest link, plus 30 s for a loaded
// machine. 30 s with no links.
Clock::duration hung_limit(const AgentConfig& config);

// The main thread's wait: a signal of `signals` (its number), or 0 when
// `until` came first.
int wait_for_signal(const sigset_t& signals, Clock::time_point until);

// Tells the service manager how the agent is doing, and feeds its watchdog
// while no link thread is hung. Silent when not started by a service manager
// (no NOTIFY_SOCKET). Used by the main thread only.
class Supervisor {
public:
    // `hung_after_s`: the hung limit from the command line; 0 takes it from
    // the links' settings.
    explicit Supervisor(double hung_after_s);

    // A configuration applied: the hung limit follows its links. Warns of a
    // limit given on the command line that is shorter than a link's round,
    // and of a configuration that polls nothing.
    void applied(const AgentConfig& config, const std::string& file);
    Clock::duration limit() const { return limit_; }
    // How often check() should run: at most a second, and at least three
    // times per watchdog interval.
    Clock::duration tick() const { return tick_; }

    void ready();
    // A reload may wait for the rounds in progress: until ready() the
    // watchdog allows as long as a link may take before it counts as hung.
    void reloading();
    void stopping();
    // The regular check with the links now hung: logs links that became hung
    // or recovered, and feeds the watchdog only when there are none.
    void check(const std::vector<std::string>& hung);

private:
    void notify(const std::string& message);

    const double hung_after_s_;
    std::chrono::microseconds watchdog_{0};  // 0: no watchdog
    Clock::duration tick_ = std::chrono::seconds(1);
    Clock::duration limit_ = std::chrono::seconds(30);
    std::string summary_;  // "polling N units on M links"
    std::set<std::string> hung_;
};

}  // namespace quillark_agent::service
