#include "host/standin/wakeup.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace standin {

Wakeup::Wakeup() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::system_error(errno, std::generic_category(), "wake-up pipe");
    read_end_ = ends[0];
    write_end_ = ends[1];
}

Wakeup::~Wakeup() {
    close(read_end_);
    close(write_end_);
}

void Wakeup::notify() noexcept {
    const int saved = errno;  // a signal handler must leave errno as it found it
    notified_.store(true);
    const char byte = 1;
    // The pipe is never read, so one byte keeps it readable; a full pipe
    // (EAGAIN) is readable already.
    [[maybe_unused]] const ssize_t n = write(write_end_, &byte, 1);
    errno = saved;
}

int poll_timeout_ms(std::chrono::steady_clock::time_point deadline) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= left.zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

bool Wakeup::wait_until(std::chrono::steady_clock::time_point deadline) const {
    pollfd wake{read_end_, POLLIN, 0};
    while (!notified()) {
        const int timeout = poll_timeout_ms(deadline);
        if (timeout == 0) return true;
        const int rc = poll(&wake, 1, timeout);
        if (rc > 0) return false;
        if (rc == -1 && errno != EINTR) return std::chrono::steady_clock::now() >= deadline;
    }
    return false;
}

}  // namespace standin
