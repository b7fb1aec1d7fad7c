// The driver's command interface towards upper layers: status document as text
// or as an object, register writes whose outcome the unit confirms later, and
// the query that reads that outcome back.
//
// Every input is checked before use; what the JSON library throws over bad
// command text becomes the result -1. Exceptions of the host's own operations
// and running out of memory reach the caller as they are.
#include <cstring>
#include <string>

#include <json/reader.h>
#include <json/writer.h>

#include "quillark/quillark.h"

namespace {

// Deepest nesting of arrays and objects accepted in a signal command. The JSON
// reader recurses once per level; a hostile text must not be able to exhaust
// the stack of the host thread that calls us.
constexpr int kMaxSignalNesting = 32;

// Room the caller offers: no buffer or a negative capacity is no room at all.
std::size_t room(const void* out, int out_len) {
    return out == nullptr || out_len <= 0 ? 0 : static_cast<std::size_t>(out_len);
}

// Input word `index` in the machine's byte order; the input need not be aligned.
std::uint16_t input_word(const void* in, int index) {
    std::uint16_t word;
    std::memcpy(&word, static_cast<const unsigned char*>(in) + 2 * index, sizeof word);
    return word;
}

// Scans the root value the way the JSON reader tokenises it, so that no
// bracket the reader will descend into goes uncounted: brackets inside strings
// and inside comments (the reader accepts both comment styles) are not
// nesting. The reader stops at the end of the root value (the closer that
// brings the depth back to 0), so whatever follows it is not counted.
// Brackets it never reaches after a syntax error inside the root may be
// counted, which only rejects text early.
bool nesting_within(const char* text, std::size_t length, int limit) {
    int depth = 0;
    std::size_t i = 0;
    while (i < length) {
        const char c = text[i++];
        if (c == '/' && i < length && text[i] == '/') {
            while (i < length && text[i] != '\n' && text[i] != '\r') ++i;
        } else if (c == '/' && i < length && text[i] == '*') {
            ++i;
            while (i < length && !(text[i] == '*' && i + 1 < length && text[i + 1] == '/')) ++i;
            i += 2;
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            // space between tokens
        } else if (depth == 0 && c != '[' && c != '{') {
            // A root that is no array or object nests nothing.
            return true;
        } else if (c == '"') {
            while (i < length) {
                const char s = text[i++];
                if (s == '\\') ++i;
                else if (s == '"') break;
            }
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return false;
        } else if (c == ']' || c == '}') {
            if (--depth == 0) return true;
        }
    }
    return true;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
bool parse_json(const std::string& text, Json::Value& root) {
    Json::Reader reader;
    return reader.parse(text, root);
}

std::string compact_json(const Json::Value& value) {
    Json::FastWriter writer;
    return writer.write(value);
}
#pragma GCC diagnostic pop

}  // namespace

int Quillark::DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                              int& out_size) {
    switch (code) {
        case IoWriteRegister: return write_register(in, in_len);
        case IoWriteRegisters: return write_registers(in, in_len);
        case IoSignalCommand: return signal_command(in, in_len);
        case IoEmptyCommand: begin_control(IoEmptyCommand, -1); return 0;
        case IoGetStatusText: return status_text(out, out_len, out_size);
        case IoGetStatusObject: return status_object(out, out_len, out_size);
        default: return result_query(out, out_len, out_size);
    }
}

void Quillark::begin_control(std::int32_t code, std::int32_t expect) {
    // The expectation is in place before the tag names this command: a reply
    // handled under the new tag is never compared with the previous one.
    // Taking over the tag abandons a poll round under way; the next reply is
    // judged as the answer to this command.
    if (code == IoWriteRegister || code == IoWriteRegisters) ctrl_expect.store(expect);
    ctrl_result.store(quillark::Pending);
    poll_step.store(code, std::memory_order_release);
    TesselSPDevice::OpenPort();
}

int Quillark::write_register(const void* in, int in_len) {
    if (in == nullptr || in_len < 4) return -1;
    const std::uint16_t value = input_word(in, 1);
    begin_control(IoWriteRegister, value);
    modbus_write_register(input_word(in, 0), value);
    return 0;
}

int Quillark::write_registers(const void* in, int in_len) {
    if (in == nullptr || in_len < 4) return -1;
    const int count = in_len / 2 - 1;
    if (count > SPModbus::kMaxWriteRegisters) return -1;
    std::uint16_t values[SPModbus::kMaxWriteRegisters];
    std::memcpy(values, static_cast<const unsigned char*>(in) + 2, sizeof(values[0]) * count);
    begin_control(IoWriteRegisters, count);
    modbus_write_registers(input_word(in, 0), count, values);
    return 0;
}

int Quillark::signal_command(const void* in, int in_len) {
    if (in == nullptr || in_len < 0) return -1;
    begin_control(IoSignalCommand, -1);
    const std::string text(static_cast<const char*>(in), static_cast<std::size_t>(in_len));
    if (!nesting_within(text.data(), text.size(), kMaxSignalNesting)) return -1;
    try {
        Json::Value root;
        if (!parse_json(text, root)) return -1;
        if (!root.isObject()) return -1;
        const Json::Value& signal = root["signal_id"];
        if (signal.isArray() || signal.isObject()) return -1;
        if (!signal.isNull()) {
            // The signal is named; this unit defines no action for it.
            const std::string signal_id = signal.asString();
            (void)signal_id;
        }
    } catch (const Json::Exception&) {
        // The library refused the text or a conversion of it.
        return -1;
    }
    return 0;
}

namespace {

// Hands `text` to the caller if it fits; `out_size` tells its length either way.
int copy_out(const std::string& text, void* out, int out_len, int& out_size) {
    out_size = static_cast<int>(text.size());
    if (room(out, out_len) < text.size()) return -1;
    std::memcpy(out, text.data(), text.size());
    return 0;
}

}  // namespace

int Quillark::status_text(void* out, int out_len, int& out_size) {
    // Copied out under the lock, so the text never overlaps a refresh.
    std::lock_guard<std::mutex> lock(doc_mutex);
    refresh_status_doc_locked();
    if (text_current_ && !doc_handed_out_) return copy_out(status_text_, out, out_len, out_size);
    // Not rendered yet, or the document may have been changed through its
    // address: write what it holds now.
    return copy_out(compact_json(status_doc), out, out_len, out_size);
}

int Quillark::status_object(void* out, int out_len, int& out_size) {
    std::lock_guard<std::mutex> lock(doc_mutex);
    refresh_status_doc_locked();
    const Json::Value* address = &status_doc;
    out_size = static_cast<int>(sizeof address);
    if (room(out, out_len) < sizeof address) return -1;
    doc_handed_out_ = true;
    std::memcpy(out, &address, sizeof address);
    return 0;
}

int Quillark::result_query(void* out, int out_len, int& out_size) {
    const std::int32_t result = ctrl_result.load();
    if (room(out, out_len) < sizeof result) {
        out_size = 0;
        return 0;
    }
    std::memcpy(out, &result, sizeof result);
    out_size = static_cast<int>(sizeof result);
    return 0;
}
