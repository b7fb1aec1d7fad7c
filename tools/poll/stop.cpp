#include "stop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <stdexcept>

namespace quillark_poll {

namespace {

std::atomic<bool> g_stop{false};

class StopPipe {
public:
    StopPipe() {
        if (pipe2(ends_, O_CLOEXEC | O_NONBLOCK) != 0) ends_[0] = ends_[1] = -1;
    }
    void notify() noexcept {
        const int saved = errno;  // a signal handler leaves errno as it found it
        const char byte = 1;
        // Never read: once written, the pipe stays readable.
        [[maybe_unused]] const ssize_t n = write(ends_[1], &byte, 1);
        errno = saved;
    }
    int fd() const { return ends_[0]; }

private:
    int ends_[2];
};

StopPipe g_pipe;

}  // namespace

void request_stop() noexcept {
    g_stop.store(true);
    g_pipe.notify();
}

bool stop_requested() noexcept { return g_stop.load(); }

bool wait_for_stop_until(std::chrono::steady_clock::time_point deadline) {
    pollfd wake{g_pipe.fd(), POLLIN, 0};
    while (!stop_requested()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return true;
        const int rc = poll(&wake, 1, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
        if (rc == -1 && errno != EINTR) throw std::runtime_error("cannot wait: poll failed");
    }
    return false;
}

}  // namespace quillark_poll
