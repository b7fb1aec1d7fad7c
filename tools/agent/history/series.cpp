#include "tools/agent/history/series.h"

#include <cmath>
#include <cstdio>
#include <charconv>
#include <cstring>

#include "quillark/point_values.h"

namespace quillark_agent {
namespace {

using quillark::PointKind;

// How many words make one of the point's shown units.
int divisor(std::size_t series) {
    switch (series_point(series).kind) {
        case PointKind::Scaled: return 10;
        case PointKind::SupplyAirMean: return 20;
        default: return 1;
    }
}

// n / 10^decimals in decimal, without the zeros a fixed-point print leaves
// after the point: a day of answers writes some ten thousand of them.
void put_fixed(std::string& out, std::uint64_t n, int decimals) {
    static constexpr std::uint64_t kPower[] = {1, 10, 100, 1000};
    char text[24];
    const auto whole = std::to_chars(text, text + sizeof text, n / kPower[decimals]);
    out.append(text, whole.ptr);
    std::uint64_t fraction = n % kPower[decimals];
    if (fraction == 0) return;
    int length = decimals;
    for (int i = decimals - 1; i >= 0; --i, fraction /= 10)
        text[i] = static_cast<char>('0' + fraction % 10);
    while (text[length - 1] == '0') --length;
    out += '.';
    out.append(text, static_cast<std::size_t>(length));
}

constexpr std::size_t kDerived = [] {
    for (std::size_t s = 0; s < kSeries; ++s)
        if (quillark::kPoints[kSeriesPoints[s]].kind == PointKind::SupplyAirMean) return s;
    return kSeries;
}();

}  // namespace

bool is_value(std::size_t series, std::uint16_t word) {
    return series != kDerived || word != kNoWord;
}

void words_of(const std::vector<std::uint8_t>& record, Words& words) {
    const auto word = [&record](std::size_t offset) -> std::uint32_t {
        return offset + 1 < record.size() ? quillark::word_at(record.data() + offset) : 0;
    };
    for (std::size_t s = 0; s < kSeries; ++s) {
        const std::size_t p = kSeriesPoints[s];
        if (quillark::kPoints[p].kind != PointKind::SupplyAirMean) {
            words[s] = static_cast<std::uint16_t>(word(quillark::kPointOffsets[p]));
            continue;
        }
        const std::uint32_t sum =
            word(quillark::kUpperSupplyAirOffset) + word(quillark::kLowerSupplyAirOffset);
        words[s] = sum < kNoWord ? static_cast<std::uint16_t>(sum) : kNoWord;
    }
}

std::size_t series_of(const std::string& id) {
    for (std::size_t s = 0; s < kSeries; ++s)
        if (id == series_point(s).id) return s;
    return kSeries;
}

const quillark::Point& series_point(std::size_t series) {
    return quillark::kPoints[kSeriesPoints[series]];
}

const char* trend_name(quillark::TrendGroup group) {
    switch (group) {
        case quillark::TrendGroup::Temperature: return "temperature";
        case quillark::TrendGroup::Humidity: return "humidity";
        case quillark::TrendGroup::Pressure: return "pressure";
        case quillark::TrendGroup::Output: return "output";
        case quillark::TrendGroup::Electrical: return "electrical";
        case quillark::TrendGroup::SetPoint: return "set_point";
        case quillark::TrendGroup::State: return "state";
        case quillark::TrendGroup::None: break;
    }
    return "";
}

void put_word(std::string& out, std::size_t series, std::uint16_t word) {
    switch (divisor(series)) {
        case 10: put_fixed(out, word, 1); return;
        case 20: put_fixed(out, word * 5ull, 2); return;
        default: put_fixed(out, word, 0); return;
    }
}

void put_mean(std::string& out, std::size_t series, double words) {
    switch (divisor(series)) {
        case 10: put_fixed(out, static_cast<std::uint64_t>(std::llround(words * 10)), 2); return;
        case 20: put_fixed(out, static_cast<std::uint64_t>(std::llround(words * 50)), 3); return;
        default: put_fixed(out, static_cast<std::uint64_t>(std::llround(words * 10)), 1); return;
    }
}

}  // namespace quillark_agent
