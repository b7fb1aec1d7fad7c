// How a SIGINT or SIGTERM reaches the poller's waits: one flag and one
// self-pipe, so that a wait sleeps to its deadline with no periodic wake-ups
// and still ends the moment a stop is asked for.
#pragma once

#include <chrono>

namespace quillark_poll {

// Async-signal-safe.
void request_stop() noexcept;
bool stop_requested() noexcept;

// Sleeps until `deadline` (true) or until a stop is asked for (false).
bool wait_for_stop_until(std::chrono::steady_clock::time_point deadline);

}  // namespace quillark_poll
