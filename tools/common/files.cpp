#include "files.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace quillark_tools {

namespace {

std::runtime_error system_error(const std::string& path) {
    return std::runtime_error(path + ": " + std::strerror(errno));
}

}  // namespace

void save_beside(const std::string& path, const std::string& bytes) {
    const std::string part = path + ".part";
    const int fd = open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd == -1) throw system_error(part);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n == -1 && errno == EINTR) continue;
        if (n <= 0) {
            const auto error = system_error(part);
            close(fd);
            unlink(part.c_str());
            throw error;
        }
        done += static_cast<std::size_t>(n);
    }
    if (close(fd) != 0) {
        const auto error = system_error(part);
        unlink(part.c_str());
        throw error;
    }
    if (std::rename(part.c_str(), path.c_str()) != 0) {
        const auto error = system_error(path);
        unlink(part.c_str());
        throw error;
    }
}

void on_stop_signals(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace quillark_tools
