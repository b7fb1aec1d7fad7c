#include "unit_image.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>

#include <json/reader.h>

#include "record.h"

namespace quillark_sim {

namespace {

using quillark::kPollReads;
using quillark::ReadKind;

// What the unit shows for each input register a poll round reads, in poll
// order: the centre it drifts around, how far and how slowly.
struct Point {
    std::uint16_t centre;
    std::uint16_t amplitude;
    double period_s;
};

constexpr Point kRegisterPoints[] = {
    {240, 6, 300},    // return-air temperature, 24.0 °C
    {450, 15, 420},   // return-air humidity, 45.0 %
    {180, 4, 240},    // upper supply-air temperature
    {300, 10, 900},   // ambient temperature
    {85, 3, 200},     // suction pressure, 8.5 bar
    {120, 5, 210},    // suction temperature
    {650, 20, 360},   // discharge temperature
    {182, 4, 260},    // lower supply-air temperature
    {190, 6, 330},    // condensing pressure, 19.0 bar
    {2200, 15, 120},  // phase A voltage, 220.0 V
    {2205, 15, 130},  // phase B voltage
    {2198, 15, 140},  // phase C voltage
    {70, 0, 1},       // indoor fan speed command
    {550, 20, 400},   // supply-air humidity
    {120, 2, 150},    // pump inlet pressure
    {125, 2, 160},    // pump outlet pressure
    {0, 0, 1},        // refrigerant pump drive status code
    {0, 0, 1},        // pump speed command: the pump rests in compressor mode
    {0, 0, 1},        // fan drive status code
    {850, 30, 180},   // condenser fan speed
    {240, 0, 1},      // temperature set point
    {20, 0, 1},       // temperature range
    {10, 0, 1},       // temperature dead band
    {450, 0, 1},      // humidity set point
    {100, 0, 1},      // humidity range
    {50, 0, 1},       // humidity dead band
    {1, 0, 1},        // unit state: on
    {3, 0, 1},        // working mode: compressor
    {60, 8, 190},     // superheat
    {350, 20, 230},   // expansion valve opening
    {540, 5, 170},    // compressor drive DC bus voltage
    {12, 1, 110},     // compressor drive output current
    {0, 0, 1},        // compressor drive alarm flags, word 1
    {0, 0, 1},        // compressor drive alarm flags, word 2
    {3600, 100, 280}, // compressor speed command
};
static_assert(std::size(kRegisterPoints) == quillark::kInputRegisters,
              "one point for every input register of a poll round");

// Input bits that are set on a running, cooling unit; all others (alarms
// included) are clear.
constexpr int kBitsOn[] = {
    16,   // refrigerant-circuit solenoid valve open
    18,   // unit running
    20,   // liquid-line solenoid valve open
    111,  // system switched on
    120,  // cooling
    141,  // networked unit 1 communicating
};

constexpr bool polled(ReadKind kind, int address) {
    for (const auto& read : kPollReads)
        if (read.kind == kind && address >= read.address && address < read.address + read.count)
            return true;
    return false;
}

constexpr bool all_polled() {
    for (int address : kBitsOn)
        if (!polled(ReadKind::Bits, address)) return false;
    return true;
}
static_assert(all_polled(), "every bit set on a running unit is one a poll round reads");

constexpr int span(ReadKind kind) {
    int end = 0;
    for (const auto& read : kPollReads)
        if (read.kind == kind) end = std::max(end, read.address + read.count);
    return end;
}

int parse_address(const std::string& key, const char* section, int first, int end) {
    const std::string where = std::string("\"") + section + "\": \"" + key + "\"";
    if (key.empty() || key.size() > 6 ||
        !std::all_of(key.begin(), key.end(), [](char c) { return c >= '0' && c <= '9'; }))
        throw ImageError(where + " is not a decimal address");
    const int address = std::stoi(key);
    if (address < first || address >= end)
        throw ImageError(where + " is outside " + std::to_string(first) + ".." +
                         std::to_string(end - 1));
    return address;
}

long parse_value(const Json::Value& value, const std::string& where, long max) {
    if (value.isBool()) {
        if (max != 1) throw ImageError(where + " must be a number");
        return value.asBool() ? 1 : 0;
    }
    if (!value.isIntegral() || value.asLargestInt() < 0 || value.asLargestInt() > max)
        throw ImageError(where + " must be an integer 0.." + std::to_string(max));
    return static_cast<long>(value.asLargestInt());
}

template <typename T>
void apply_section(const Json::Value& image, const char* section, int first, int end, long max,
                   std::map<int, T>& into, std::vector<int>* pinned) {
    if (!image.isMember(section)) return;
    const Json::Value& entries = image[section];
    if (!entries.isObject()) throw ImageError(std::string("\"") + section + "\" must be an object");
    for (const std::string& key : entries.getMemberNames()) {
        const int address = parse_address(key, section, first, end);
        const std::string where = std::string("\"") + section + "\": \"" + key + "\"";
        into[address] = static_cast<T>(parse_value(entries[key], where, max));
        if (pinned != nullptr) pinned->push_back(address);
    }
}

}  // namespace

int input_bit_span() { return span(ReadKind::Bits); }
int input_register_span() { return span(ReadKind::Registers); }

std::uint16_t Drift::at(double seconds) const {
    constexpr double kTwoPi = 6.283185307179586;
    const double wave = amplitude * std::sin(kTwoPi * seconds / period_s);
    const double value = std::round(centre + wave);
    return static_cast<std::uint16_t>(std::clamp(value, 0.0, 65535.0));
}

Image Image::standard() {
    Image image;
    for (const auto& read : kPollReads)
        if (read.kind == ReadKind::Bits)
            for (int a = read.address; a < read.address + read.count; ++a) image.bits[a] = 0;
    for (int address : kBitsOn) image.bits[address] = 1;

    std::size_t point = 0;
    for (const auto& read : kPollReads) {
        if (read.kind != ReadKind::Registers) continue;
        for (int a = read.address; a < read.address + read.count; ++a, ++point) {
            const Point& p = kRegisterPoints[point];
            image.registers[a] = p.centre;
            if (p.amplitude != 0) image.drifts.push_back({a, p.centre, p.amplitude, p.period_s});
        }
    }
    return image;
}

void Image::apply(const Json::Value& image) {
    if (!image.isObject()) throw ImageError("the image must be a JSON object");
    for (const std::string& key : image.getMemberNames())
        if (key != "bits" && key != "registers" && key != "holding")
            throw ImageError("unknown member \"" + key + "\" (bits, registers or holding)");
    std::vector<int> pinned;
    apply_section(image, "bits", 0, input_bit_span(), 1, bits, nullptr);
    apply_section(image, "registers", 0, input_register_span(), 65535, registers, &pinned);
    apply_section(image, "holding", kFirstHolding, kFirstHolding + kHoldingCount, 65535, holding,
                  nullptr);
    drifts.erase(std::remove_if(drifts.begin(), drifts.end(),
                                [&](const Drift& d) {
                                    return std::find(pinned.begin(), pinned.end(), d.address) !=
                                           pinned.end();
                                }),
                 drifts.end());
}

void Image::apply_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ImageError(path + ": cannot read the image file");
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    Json::Value root;
    std::string errors;
    if (!Json::parseFromStream(builder, in, &root, &errors))
        throw ImageError(path + ": not valid JSON: " + errors);
    try {
        apply(root);
    } catch (const ImageError& e) {
        throw ImageError(path + ": " + e.what());
    }
}

std::vector<std::uint16_t> Image::registers_at(double seconds) const {
    std::vector<std::uint16_t> out(static_cast<std::size_t>(input_register_span()), 0);
    for (const auto& [address, value] : registers) out[static_cast<std::size_t>(address)] = value;
    for (const Drift& d : drifts) out[static_cast<std::size_t>(d.address)] = d.at(seconds);
    return out;
}

}  // namespace quillark_sim
