#include "tools/poll/stop.h"

#include <atomic>

namespace quillark_poll {

namespace {

// Made before main runs, so that a signal handler always finds it.
standin::Wakeup g_wakeup;

}  // namespace

void request_stop() noexcept { g_wakeup.notify(); }

bool stop_requested() noexcept { return g_wakeup.notified(); }

bool wait_for_stop_until(std::chrono::steady_clock::time_point deadline) {
    return g_wakeup.wait_until(deadline);
}

const standin::Wakeup& stop_wakeup() { return g_wakeup; }

}  // namespace quillark_poll
