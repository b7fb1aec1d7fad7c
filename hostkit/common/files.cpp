#include "hostkit/common/files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <json/reader.h>

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

std::string read_small_file(const std::string& path) {
    // Non-blocking, so that a FIFO with no writer cannot hold us up.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd == -1) throw system_error(path);
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    struct stat st {};
    if (fstat(fd, &st) != 0) throw system_error(path);
    if (!S_ISREG(st.st_mode)) throw std::runtime_error(path + ": not a regular file");
    if (static_cast<unsigned long long>(st.st_size) > kMaxInputFile)
        throw std::runtime_error(path + ": larger than " + std::to_string(kMaxInputFile) +
                                 " bytes");
    std::string text(kMaxInputFile + 1, '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = read(fd, text.data() + done, text.size() - done);
        if (n == -1 && errno == EINTR) continue;
        if (n == -1) throw system_error(path);
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    if (done > kMaxInputFile)
        throw std::runtime_error(path + ": larger than " + std::to_string(kMaxInputFile) +
                                 " bytes");
    text.resize(done);
    return text;
}

Json::Value parse_json(const std::string& text) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["stackLimit"] = kMaxJsonDepth;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    bool ok = false;
    try {
        ok = reader->parse(text.data(), text.data() + text.size(), &value, &errors);
    } catch (const Json::Exception& e) {
        // The reader throws rather than reports when nesting runs too deep.
        errors = e.what();
    }
    if (!ok) {
        while (!errors.empty() && (errors.back() == '\n' || errors.back() == ' '))
            errors.pop_back();
        for (char& c : errors)
            if (c == '\n') c = ' ';
        throw std::runtime_error("not valid JSON: " + errors);
    }
    return value;
}

Json::Value read_json_file(const std::string& path) {
    const std::string text = read_small_file(path);
    try {
        return parse_json(text);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(path + ": " + e.what());
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
