// What the poller writes: status documents on stdout, everything else on
// stderr.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quillark_poll {

// The status document indented, with the signal names as readable UTF-8.
// Throws std::invalid_argument if the text is not JSON.
std::string pretty_document(const std::string& text);

// A frame as a trace line: "> 00 01 00 00 00 06 01 02 00 01 00 06" for one
// sent, "<" for one received.
std::string trace_line(bool sent, const std::uint8_t* adu, std::size_t length);

// One diagnostic line on stderr, "quillark-poll: " first.
void say(const std::string& line);

// The status documents go to the real stdout through a private descriptor;
// descriptor 1 becomes a copy of stderr (or /dev/null when `quiet`), so that
// the plug-in's own lines, which it prints on stdout, cannot land among the
// documents.
class DocumentOut {
public:
    explicit DocumentOut(bool quiet);  // throws std::runtime_error
    ~DocumentOut();
    DocumentOut(const DocumentOut&) = delete;
    DocumentOut& operator=(const DocumentOut&) = delete;

    // Writes the whole text; false, with errno set, if it could not.
    bool write(const std::string& text);

private:
    int fd_ = -1;
};

}  // namespace quillark_poll
