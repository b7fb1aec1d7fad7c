// How a SIGINT or SIGTERM reaches the poller's waits: one wake-up that the
// rest between rounds and the link's wait for an answer both watch, so that a
// wait sleeps to its deadline with no periodic wake-ups and still ends the
// moment a stop is asked for.
#pragma once

#include <chrono>

#include "host/standin/wakeup.h"

namespace quillark_poll {

// Async-signal-safe.
void request_stop() noexcept;
bool stop_requested() noexcept;

// Sleeps until `deadline` (true) or until a stop is asked for (false).
bool wait_for_stop_until(std::chrono::steady_clock::time_point deadline);

// For the link, whose waits end on the same stop.
const standin::Wakeup& stop_wakeup();

}  // namespace quillark_poll
