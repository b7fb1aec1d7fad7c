// The points a unit's history keeps (the value points with a trend group),
// as 16-bit words, and how those words read as the status document scales
// them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "quillark/points.h"

namespace quillark_agent {

constexpr std::size_t count_series() {
    std::size_t n = 0;
    for (const quillark::Point& point : quillark::kPoints)
        n += point.trend != quillark::TrendGroup::None;
    return n;
}
inline constexpr std::size_t kSeries = count_series();

// Index into kPoints of each series, in point order.
inline constexpr std::array<std::uint8_t, kSeries> kSeriesPoints = [] {
    std::array<std::uint8_t, kSeries> points{};
    std::size_t s = 0;
    for (std::size_t p = 0; p < quillark::kPoints.size(); ++p)
        if (quillark::kPoints[p].trend != quillark::TrendGroup::None)
            points[s++] = static_cast<std::uint8_t>(p);
    return points;
}();
static_assert(quillark::kPoints.size() <= 256, "a series names its point in one byte");

using Words = std::array<std::uint16_t, kSeries>;

// The word no series can hold: the derived middle supply-air temperature is
// kept as the sum of its two words, and a sum past 16 bits is kept as this,
// no value, rather than as a false one.
inline constexpr std::uint16_t kNoWord = 0xFFFF;

// Whether a series' word is a value: every word is, but kNoWord of the derived mean.
bool is_value(std::size_t series, std::uint16_t word);

// The series' words in a complete round's record.
void words_of(const std::vector<std::uint8_t>& record, Words& words);

// The series of a point id; kSeries when the id is no series.
std::size_t series_of(const std::string& id);

const quillark::Point& series_point(std::size_t series);
const char* trend_name(quillark::TrendGroup group);  // "temperature", ...

// A word, or a mean of words, as the status document scales the point: in
// tenths for a scaled point, twentieths for the derived mean (a sum of two
// tenths), as it is otherwise. Written as JSON and CSV write it: exactly for
// a word, to a tenth of the point's step for a mean (which a minute keeps to
// a 510th of its spread).
void put_word(std::string& out, std::size_t series, std::uint16_t word);
void put_mean(std::string& out, std::size_t series, double words);

}  // namespace quillark_agent
