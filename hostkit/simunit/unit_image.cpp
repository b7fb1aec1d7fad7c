#include "hostkit/simunit/unit_image.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>

#include "hostkit/common/files.h"
#include "quillark/points.h"
#include "quillark/record.h"

namespace quillark_sim {

namespace {

using quillark::kPollReads;
using quillark::ReadKind;

// What the unit shows for an input register: the centre it drifts around,
// how far and how slowly. Registers of the poll round not listed here show 0.
struct RegisterDefault {
    const char* key;  // the point in the point table
    std::uint16_t centre;
    std::uint16_t amplitude;
    double period_s;
};

constexpr RegisterDefault kRegisterDefaults[] = {
    {"室内回风温度测量值", 240, 6, 300},   // return-air temperature, 24.0 °C
    {"室内回风湿度测量值", 450, 15, 420},  // return-air humidity, 45.0 %
    {"室内上送风温度测量值", 180, 4, 240},
    {"环境温度", 300, 10, 900},
    {"吸气压力测量值", 85, 3, 200},  // suction pressure, 8.5 bar
    {"吸气温度测量值", 120, 5, 210},
    {"排气温度测量值", 650, 20, 360},
    {"室内下送风温度测量值", 182, 4, 260},
    {"冷凝压力测量值", 190, 6, 330},  // condensing pressure, 19.0 bar
    {"A相电压", 2200, 15, 120},       // 220.0 V
    {"B相电压", 2205, 15, 130},
    {"C相电压", 2198, 15, 140},
    {"内风机转速控制", 70, 0, 1},
    {"送风湿度", 550, 20, 400},
    {"泵入口压力", 120, 2, 150},
    {"泵出口压力", 125, 2, 160},
    {"冷凝风机转速", 850, 30, 180},
    {"温度设定值", 240, 0, 1},
    {"温度范围设定值", 20, 0, 1},
    {"温度静区设定值", 10, 0, 1},
    {"湿度设定值", 450, 0, 1},
    {"湿度范围设定值", 100, 0, 1},
    {"湿度静区设定值", 50, 0, 1},
    {"机组状态", 1, 0, 1},          // on
    {"系统当前工作模式", 3, 0, 1},  // compressor; the pump rests
    {"过热度", 60, 8, 190},
    {"膨胀阀开度", 350, 20, 230},
    {"压机驱动母线电压", 540, 5, 170},
    {"压机驱动输出电流", 12, 1, 110},
    {"压缩机转速控制", 3600, 100, 280},
};

// Input bits set on a running, cooling unit; all others (alarms included)
// are clear.
constexpr const char* kBitsOn[] = {
    "氟系统电磁阀",        // refrigerant-circuit solenoid valve open
    "机组运行状态",        // unit running
    "液管电磁阀",          // liquid-line solenoid valve open
    "系统开机",            // system switched on
    "制冷状态",            // cooling
    "#1组网机组通讯状态",  // networked unit 1 communicating
};

// The input bit or register a point of the table reads; -1 if there is no
// such point, or it is derived, or of the other kind.
constexpr int address_of(const char* key, bool bit) {
    for (const auto& point : quillark::kPoints)
        if (quillark::same_text(point.key, key) && !quillark::is_derived(point.kind) &&
            quillark::is_bit_kind(point.kind) == bit)
            return point.address;
    return -1;
}

constexpr bool defaults_name_points() {
    for (const auto& d : kRegisterDefaults)
        if (address_of(d.key, false) < 0) return false;
    for (const char* key : kBitsOn)
        if (address_of(key, true) < 0) return false;
    return true;
}
static_assert(defaults_name_points(),
              "every default names an input register or input bit of the point table");

constexpr bool defaults_distinct() {
    const std::size_t n = std::size(kRegisterDefaults);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j)
            if (quillark::same_text(kRegisterDefaults[i].key, kRegisterDefaults[j].key))
                return false;
    return true;
}
static_assert(defaults_distinct(), "each register has one default");

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
    // isUInt: a whole number that fits, whatever size the document wrote.
    if (!value.isUInt() || value.asUInt() > static_cast<unsigned>(max))
        throw ImageError(where + " must be an integer 0.." + std::to_string(max));
    return static_cast<long>(value.asUInt());
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
        for (int a = read.address; a < read.address + read.count; ++a) {
            if (read.kind == ReadKind::Bits) image.bits[a] = 0;
            else image.registers[a] = 0;
        }
    for (const char* key : kBitsOn) image.bits[address_of(key, true)] = 1;
    for (const RegisterDefault& d : kRegisterDefaults) {
        const int a = address_of(d.key, false);
        image.registers[a] = d.centre;
        if (d.amplitude != 0) image.drifts.push_back({a, d.centre, d.amplitude, d.period_s});
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
    Json::Value root;
    try {
        root = quillark_tools::read_json_file(path);
    } catch (const std::runtime_error& e) {
        throw ImageError(e.what());
    }
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
