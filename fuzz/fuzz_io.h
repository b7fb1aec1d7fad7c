// Shared by the fuzz targets: reading the fuzzer's bytes, and one command
// through DeviceIoControl with buffers and lengths taken from them, checked
// against what the command promises its caller.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <json/reader.h>
#include <json/writer.h>

#include "fakes.h"
#include "quillark.h"

#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

namespace fuzz {

// The fuzzer's bytes, read from the front; zeros once they run out, so a
// hand-made seed reads as written.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return size_ == 0; }
    std::uint8_t byte() {
        if (size_ == 0) return 0;
        --size_;
        return *data_++;
    }
    std::uint16_t u16() { return static_cast<std::uint16_t>(byte() | byte() << 8); }
    std::int32_t i32() {
        const std::uint32_t low = u16();
        return static_cast<std::int32_t>(low | std::uint32_t{u16()} << 16);
    }
    // Up to `count` bytes: fewer when the input runs out.
    std::vector<std::uint8_t> bytes(std::size_t count) {
        const std::size_t n = count < size_ ? count : size_;
        std::vector<std::uint8_t> out(data_, data_ + n);
        data_ += n;
        size_ -= n;
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

// A heap block of exactly `size` bytes, so the address sanitizer reports any
// access past what the caller offered.
struct Block {
    explicit Block(std::size_t n, std::uint8_t fill) : size(n), bytes(new std::uint8_t[n]) {
        std::memset(bytes.get(), fill, n);
    }
    std::size_t size;
    std::unique_ptr<std::uint8_t[]> bytes;
};

constexpr std::uint8_t kFill = 0xA5;
constexpr int kUntouched = 0x7EADBEEF;

// A length as a caller might pass it for a buffer of `size` bytes: exact,
// shorter, zero, negative or anything up to the size, never beyond it.
inline int length_for(Input& in, std::size_t size) {
    const int whole = static_cast<int>(size);
    switch (in.byte() % 5) {
        case 0: return whole;
        case 1: return whole - in.byte();
        case 2: return 0;
        case 3: return static_cast<int>(static_cast<std::uint32_t>(in.i32()) | 0x80000000u);
        default: {
            const int any = in.i32();
            return any > whole ? whole : any;
        }
    }
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
// What the reader the driver uses makes of a signal command's text.
inline bool reader_accepts(const std::string& text, Json::Value& root) {
    try {
        Json::Reader reader;
        return reader.parse(text, root);
    } catch (const std::exception&) {
        return false;
    }
}
// What the JSON library's compact writer makes of a document.
inline std::string library_text(const Json::Value& doc) { return Json::FastWriter().write(doc); }
#pragma GCC diagnostic pop

// What the status document looked like at its last rendering, per driver.
struct DocState {
    bool rendered = false;
    std::vector<std::string> members;
};

inline std::uint16_t word_at(const Block& block, std::size_t index) {
    std::uint16_t w;
    std::memcpy(&w, block.bytes.get() + 2 * index, 2);
    return w;
}

// One DeviceIoControl call with input and output taken from the fuzzer.
inline void issue(Quillark& dev, int code, Input& in, DocState& doc) {
    ModbusRequest stale;
    while (standin::take_request(dev, stale)) {
    }

    const std::uint8_t flags = in.byte();
    Block input(in.u16() % 600, 0);
    const auto given = in.bytes(input.size);
    if (!given.empty()) std::memcpy(input.bytes.get(), given.data(), given.size());
    const int in_len = length_for(in, input.size);
    const void* in_ptr = (flags & 1) != 0 ? nullptr : input.bytes.get();

    Block output(in.u16() % 8192, kFill);
    const int out_len = length_for(in, output.size);
    void* out_ptr = (flags & 2) != 0 ? nullptr : output.bytes.get();
    const std::size_t room = out_ptr == nullptr || out_len <= 0 ? 0 : std::size_t(out_len);

    const std::int32_t step_before = dev.poll_step;
    const std::int32_t result_before = dev.ctrl_result;
    const std::int32_t expect_before = dev.ctrl_expect;
    int out_size = kUntouched;
    const int result = dev.DeviceIoControl(code, in_ptr, in_len, out_ptr, out_len, out_size);

    auto untouched_from = [&](std::size_t from) {
        for (std::size_t i = from; i < output.size; ++i)
            if (output.bytes[i] != kFill) return false;
        return true;
    };
    ModbusRequest sent;
    const bool any_sent = standin::take_request(dev, sent);

    const bool control = code == IoWriteRegister || code == IoWriteRegisters ||
                         code == IoSignalCommand || code == IoEmptyCommand;
    if (control) {
        FUZZ_CHECK(out_size == kUntouched);
        FUZZ_CHECK(untouched_from(0));
        bool accepted = in_ptr != nullptr && in_len >= 0;
        if (code == IoWriteRegister || code == IoWriteRegisters) accepted = accepted && in_len >= 4;
        if (code == IoWriteRegisters) accepted = accepted && in_len / 2 - 1 <= 123;
        if (code == IoEmptyCommand) accepted = true;
        if (!accepted) {
            FUZZ_CHECK(result == -1);
            FUZZ_CHECK(dev.poll_step == step_before);
            FUZZ_CHECK(dev.ctrl_result == result_before);
            FUZZ_CHECK(dev.ctrl_expect == expect_before);
            FUZZ_CHECK(!any_sent);
            return;
        }
        FUZZ_CHECK(dev.poll_step == code);
        FUZZ_CHECK(dev.ctrl_result == quillark::Pending);
        if (code == IoWriteRegister) {
            FUZZ_CHECK(result == 0);
            FUZZ_CHECK(any_sent && sent.function == ModbusRequest::WriteRegister);
            FUZZ_CHECK(sent.address == word_at(input, 0) && sent.count == 1);
            FUZZ_CHECK(sent.values[0] == word_at(input, 1));
            FUZZ_CHECK(dev.ctrl_expect == word_at(input, 1));
        } else if (code == IoWriteRegisters) {
            const int n = in_len / 2 - 1;
            FUZZ_CHECK(result == 0);
            FUZZ_CHECK(any_sent && sent.function == ModbusRequest::WriteRegisters);
            FUZZ_CHECK(sent.address == word_at(input, 0) && sent.count == n);
            for (int i = 0; i < n; ++i) FUZZ_CHECK(sent.values[i] == word_at(input, i + 1));
            FUZZ_CHECK(dev.ctrl_expect == n);
        } else {
            FUZZ_CHECK(!any_sent);
            FUZZ_CHECK(dev.ctrl_expect == expect_before);
            if (code == IoEmptyCommand) {
                FUZZ_CHECK(result == 0);
            } else {
                FUZZ_CHECK(result == 0 || result == -1);
                const std::string text(reinterpret_cast<const char*>(input.bytes.get()),
                                       static_cast<std::size_t>(in_len));
                Json::Value root;
                const bool parses = reader_accepts(text, root);
                if (!parses) FUZZ_CHECK(result == -1);
                if (result == 0) {
                    FUZZ_CHECK(parses && root.isObject());
                    static const char kKey[] = "signal_id";
                    const Json::Value* name = root.find(kKey, kKey + sizeof kKey - 1);
                    FUZZ_CHECK(name == nullptr || (!name->isArray() && !name->isObject()));
                }
            }
        }
        return;
    }

    FUZZ_CHECK(!any_sent);
    FUZZ_CHECK(dev.poll_step == step_before);
    FUZZ_CHECK(dev.ctrl_result == result_before);
    FUZZ_CHECK(dev.ctrl_expect == expect_before);
    if (code == IoGetStatusText) {
        FUZZ_CHECK(out_size > 0);
        const auto length = static_cast<std::size_t>(out_size);
        if (room < length) {
            FUZZ_CHECK(result == -1);
            FUZZ_CHECK(untouched_from(0));
            return;
        }
        FUZZ_CHECK(result == 0);
        FUZZ_CHECK(untouched_from(length));
        const std::string text(reinterpret_cast<const char*>(output.bytes.get()), length);
        // Written from the record or from the live document: the same bytes.
        FUZZ_CHECK(text == library_text(dev.status_doc));
        FUZZ_CHECK(text.back() == '\n');
        FUZZ_CHECK(text.find('\0') == std::string::npos);
        Json::Value parsed;
        FUZZ_CHECK(testing_support::parse_json_text(text, parsed));
        if (doc.rendered) {
            FUZZ_CHECK(parsed.isObject());
            FUZZ_CHECK(parsed.getMemberNames() == doc.members);
        } else if (parsed.isObject()) {
            doc.rendered = true;
            doc.members = parsed.getMemberNames();
        } else {
            FUZZ_CHECK(text == "null\n");
        }
    } else if (code == IoGetStatusObject) {
        FUZZ_CHECK(out_size == static_cast<int>(sizeof(void*)));
        if (room < sizeof(void*)) {
            FUZZ_CHECK(result == -1);
            FUZZ_CHECK(untouched_from(0));
            return;
        }
        FUZZ_CHECK(result == 0);
        const Json::Value* address = nullptr;
        std::memcpy(&address, output.bytes.get(), sizeof address);
        FUZZ_CHECK(address == &dev.status_doc);
        FUZZ_CHECK(untouched_from(sizeof address));
    } else {
        FUZZ_CHECK(result == 0);
        if (room < 4) {
            FUZZ_CHECK(out_size == 0);
            FUZZ_CHECK(untouched_from(0));
            return;
        }
        FUZZ_CHECK(out_size == 4);
        std::int32_t value;
        std::memcpy(&value, output.bytes.get(), 4);
        FUZZ_CHECK(value == dev.ctrl_result);
        FUZZ_CHECK(value == quillark::Pending || value == quillark::Confirmed ||
                   value == quillark::NotConfirmed);
        FUZZ_CHECK(untouched_from(4));
    }
}

// A command code, mostly one the driver knows.
inline int pick_code(Input& in) {
    static const int kCodes[] = {IoWriteRegister, IoWriteRegisters, IoSignalCommand,
                                 IoEmptyCommand,  IoGetStatusText,  IoGetStatusObject,
                                 802,             0,                -1,
                                 805};
    const std::uint8_t pick = in.byte();
    if (pick < 240) return kCodes[pick % (sizeof kCodes / sizeof kCodes[0])];
    return in.i32();
}

}  // namespace fuzz
