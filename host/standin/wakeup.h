// A way to end the host's waits at once from a signal handler: a self-pipe.
// notify() may be called from SIGINT/SIGTERM handlers; every wait of the
// stand-in host that can last (an answer, a connect, the pause between rounds)
// watches fd() and ends as soon as it is readable.
#pragma once

#include <atomic>
#include <chrono>

#include "host/tessel_device.h"

namespace standin {

class TESSEL_API Wakeup {
public:
    Wakeup();  // throws std::system_error if no pipe can be made
    ~Wakeup();
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;

    // Async-signal-safe: one atomic store and one write(2).
    void notify() noexcept;
    bool notified() const noexcept { return notified_.load(); }
    // Readable once notified, and stays readable.
    int fd() const noexcept { return read_end_; }
    // Sleeps, with no periodic wake-ups, until the deadline (true) or until
    // notified (false).
    bool wait_until(std::chrono::steady_clock::time_point deadline) const;

private:
    int read_end_ = -1;
    int write_end_ = -1;
    std::atomic<bool> notified_{false};
};

// Milliseconds left until `deadline` for poll(2): rounded up, never negative.
TESSEL_API int poll_timeout_ms(std::chrono::steady_clock::time_point deadline);

}  // namespace standin
