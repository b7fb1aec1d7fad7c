// The unit's data record and the poll round that fills it.
//
// One poll round is 46 Modbus reads, always in this order: 28 reads of
// discrete inputs, then 18 reads of input registers. Each read fills the next
// stretch of the record, one byte per input bit and one little-endian word
// per register, so every read's record offset follows from the widths of the
// reads before it. The table below is the only place where addresses and
// counts are written down.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "host/tessel_device.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the record is the controller's own little-endian memory image");

namespace quillark {

enum class ReadKind : std::uint8_t { Bits, Registers };

struct PollRead {
    ReadKind kind;
    std::uint16_t address;  // first input bit or input register
    std::uint16_t count;

    constexpr std::size_t width() const {
        return kind == ReadKind::Bits ? count : std::size_t{2} * count;
    }
};

constexpr ReadKind B = ReadKind::Bits;
constexpr ReadKind R = ReadKind::Registers;

// poll_step 11 is the first entry, 56 the last.
inline constexpr std::array<PollRead, 46> kPollReads{{
    {B, 1, 6},    {B, 8, 2},    {B, 16, 3},   {B, 20, 1},  {B, 61, 1},  {B, 111, 1}, {B, 120, 4},
    {B, 141, 32}, {B, 181, 10}, {B, 196, 17}, {B, 241, 2}, {B, 249, 2}, {B, 280, 1}, {B, 283, 2},
    {B, 296, 5},  {B, 302, 1},  {B, 304, 1},  {B, 306, 1}, {B, 308, 2}, {B, 311, 1}, {B, 317, 1},
    {B, 319, 1},  {B, 321, 1},  {B, 323, 1},  {B, 328, 4}, {B, 333, 1}, {B, 353, 1}, {B, 356, 1},
    {R, 21, 9},   {R, 38, 3},   {R, 61, 1},   {R, 66, 1},  {R, 91, 2},  {R, 94, 1},  {R, 111, 1},
    {R, 143, 1},  {R, 151, 1},  {R, 171, 6},  {R, 195, 1}, {R, 208, 1}, {R, 260, 1}, {R, 262, 1},
    {R, 616, 1},  {R, 620, 1},  {R, 626, 2},  {R, 631, 1},
}};

constexpr std::int32_t kFirstPollStep = 11;
constexpr std::int32_t kLastPollStep = kFirstPollStep + std::int32_t{kPollReads.size()} - 1;

constexpr std::size_t kInputsOffset = 4;  // first byte the poll round fills

// Record offset of each read, from the widths of the reads before it.
inline constexpr std::array<std::size_t, kPollReads.size() + 1> kReadOffsets = [] {
    std::array<std::size_t, kPollReads.size() + 1> offsets{};
    offsets[0] = kInputsOffset;
    for (std::size_t i = 0; i < kPollReads.size(); ++i)
        offsets[i + 1] = offsets[i] + kPollReads[i].width();
    return offsets;
}();

constexpr std::size_t count_of(ReadKind kind) {
    std::size_t n = 0;
    for (const auto& read : kPollReads)
        if (read.kind == kind) n += read.count;
    return n;
}

constexpr std::size_t kInputBits = count_of(ReadKind::Bits);
constexpr std::size_t kInputRegisters = count_of(ReadKind::Registers);
static_assert(kInputBits == 106 && kInputRegisters == 35);

constexpr bool bits_come_first() {
    bool seen_registers = false;
    for (const auto& read : kPollReads) {
        if (read.kind == ReadKind::Registers) seen_registers = true;
        else if (seen_registers) return false;
    }
    return true;
}
static_assert(bits_come_first(), "a round reads every bit block before the registers");

constexpr bool reads_fit_one_request() {
    for (const auto& read : kPollReads)
        if (read.count < 1 || read.count > 32) return false;
    return true;
}
static_assert(reads_fit_one_request(), "a reply is copied in one piece of at most 32 bytes");

constexpr std::size_t step_index(std::int32_t poll_step) {
    return static_cast<std::size_t>(poll_step - kFirstPollStep);
}

}  // namespace quillark

// The data record: 187 bytes, no padding, little-endian, exchanged with the
// host byte for byte (published, saved to history, reloaded from the cache).
struct __attribute__((packed)) Quillark_Data_t {
    std::uint32_t device_id;                                      // 0..3
    std::uint8_t input_bits[quillark::kInputBits];                // 4..109, one byte per bit
    std::uint8_t input_registers[2 * quillark::kInputRegisters];  // 110..179, words low byte first
    ttime_t time_stamp;                                           // 180..186, end of the round
};

static_assert(sizeof(Quillark_Data_t) == 187);
static_assert(offsetof(Quillark_Data_t, device_id) == 0);
static_assert(offsetof(Quillark_Data_t, input_bits) == quillark::kInputsOffset);
static_assert(offsetof(Quillark_Data_t, input_registers) ==
              quillark::kInputsOffset + quillark::kInputBits);
static_assert(offsetof(Quillark_Data_t, time_stamp) == quillark::kReadOffsets.back(),
              "the reads fill offsets 4..179 without a gap");
static_assert(offsetof(Quillark_Data_t, time_stamp) == 180);
