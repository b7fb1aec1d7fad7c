#include "tools/agent/history/series.h"

#include <cmath>
#include <cstdio>
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

// Drops the zeros a fixed-point print leaves after the point, and the point.
std::string trimmed(const char* text) {
    std::string out(text);
    if (out.find('.') == std::string::npos) return out;
    while (out.back() == '0') out.pop_back();
    if (out.back() == '.') out.pop_back();
    return out;
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

std::string format_word(std::size_t series, std::uint16_t word) {
    const int d = divisor(series);
    char text[24];
    if (d == 1) std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(word));
    else std::snprintf(text, sizeof text, "%.2f", static_cast<double>(word) / d);
    return trimmed(text);
}

std::string format_mean(std::size_t series, double words) {
    const int d = divisor(series);
    char text[32];
    std::snprintf(text, sizeof text, d == 1 ? "%.1f" : d == 10 ? "%.2f" : "%.3f", words / d);
    return trimmed(text);
}

}  // namespace quillark_agent
