// The simulated unit's data: the input bits and input registers that a poll
// round reads, the holding registers that accept writes, and how the analogue
// values drift while the unit runs.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>

namespace quillark_sim {

// Writable holding registers; a write elsewhere is refused as an illegal
// data address.
constexpr int kFirstHolding = 1;
constexpr int kHoldingCount = 300;

// Input bits and input registers are served from address 0 up to the highest
// address a poll round reads.
int input_bit_span();       // highest input bit address + 1
int input_register_span();  // highest input register address + 1

// A register whose value wanders slowly around its centre.
struct Drift {
    int address = 0;
    std::uint16_t centre = 0;
    std::uint16_t amplitude = 0;
    double period_s = 1.0;

    std::uint16_t at(double seconds) const;
};

// A bad image: the message names the entry.
class ImageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Image {
    std::map<int, std::uint8_t> bits;        // input bits
    std::map<int, std::uint16_t> registers;  // input registers
    std::map<int, std::uint16_t> holding;    // holding registers
    std::vector<Drift> drifts;               // input registers that drift

    // A unit switched on and cooling in compressor mode, near its set points,
    // with no alarm raised.
    static Image standard();

    // Lays a JSON image over this one:
    //   {"bits": {"181": 1}, "registers": {"21": 300}, "holding": {"100": 5}}
    // Keys are decimal addresses; bits take 0, 1, false or true, registers
    // 0..65535. A register named here no longer drifts. Throws ImageError.
    void apply(const Json::Value& image);

    // Reads and applies a JSON image file. Throws ImageError naming the file.
    void apply_file(const std::string& path);

    // Input register values at `seconds` after start, drift included.
    std::vector<std::uint16_t> registers_at(double seconds) const;
};

}  // namespace quillark_sim
