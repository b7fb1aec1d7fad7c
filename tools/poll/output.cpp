#include "tools/poll/output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include <json/reader.h>
#include <json/writer.h>

namespace quillark_poll {

std::string pretty_document(const std::string& text) {
    Json::CharReaderBuilder reader;
    reader["failIfExtra"] = true;
    Json::Value document;
    std::string errors;
    std::istringstream in(text);
    if (!Json::parseFromStream(reader, in, &document, &errors))
        throw std::invalid_argument("the status document is not JSON: " + errors);
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "  ";
    writer["emitUTF8"] = true;
    return Json::writeString(writer, document) + "\n";
}

std::string trace_line(bool sent, const std::uint8_t* adu, std::size_t length) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string line(sent ? ">" : "<");
    line.reserve(1 + 3 * length);
    for (std::size_t i = 0; i < length; ++i) {
        line += ' ';
        line += kDigits[adu[i] >> 4];
        line += kDigits[adu[i] & 0x0F];
    }
    return line;
}

void say(const std::string& line) { std::cerr << "quillark-poll: " << line << std::endl; }

DocumentOut::DocumentOut(bool quiet) {
    std::cout.flush();
    std::fflush(stdout);
    fd_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    const int sink = quiet ? open("/dev/null", O_WRONLY | O_CLOEXEC) : STDERR_FILENO;
    const bool ok = fd_ != -1 && sink != -1 && dup2(sink, STDOUT_FILENO) != -1;
    if (quiet && sink != -1) close(sink);
    if (!ok) throw std::runtime_error(std::string("cannot set up stdout: ") + std::strerror(errno));
    // Lines from the plug-in and from us interleave in order on stderr.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
}

DocumentOut::~DocumentOut() {
    if (fd_ != -1) close(fd_);
}

bool DocumentOut::write(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
        if (n == -1 && errno == EINTR) continue;
        if (n == 0) errno = EIO;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace quillark_poll
