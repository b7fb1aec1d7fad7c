// Shared by the fuzz targets: a failed check, reading the fuzzer's bytes, and
// one command through DeviceIoControl with buffers and lengths taken from
// them, checked against what the command promises its caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

class Quillark;

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
int length_for(Input& in, std::size_t size);

// What the status document looked like at its last rendering, per driver.
struct DocState {
    bool rendered = false;
    std::vector<std::string> members;
};

// One DeviceIoControl call with input and output taken from the fuzzer.
void issue(Quillark& dev, int code, Input& in, DocState& doc);

// A command code, mostly one the driver knows.
int pick_code(Input& in);

// For the targets that drive a whole device: the line each round prints is
// kept out of the fuzzer's output, and the device clock stands still at a
// fixed moment, set again by start_input() before each input.
void start_driver_run();
void start_input();

}  // namespace fuzz
