// One unit's history: the last day minute by minute (the minimum, mean and
// maximum of each minute's complete rounds) and the last hour round by round.
// Both are rings allocated once, so a round's update allocates nothing; the
// whole is kMinutes * sizeof(Minute) + rounds * sizeof(Round) bytes, the
// rounds being as many as an hour holds at the unit's interval (at most
// kMaxRounds). Not locked: its owner locks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "tools/agent/history/series.h"

namespace quillark_agent {

class UnitHistory {
public:
    static constexpr std::size_t kMinutes = 1440;
    static constexpr double kRoundSpan = 3600;  // seconds kept round by round
    static constexpr std::size_t kMaxRounds = 3600;

    // Plain data, so that the rings can be had zeroed from the allocator.
    struct Minute {
        std::uint32_t minute;  // Unix minutes; 0 for a slot not used yet
        std::uint16_t complete;
        std::uint16_t failed;  // rounds that did not complete
        Words min;             // min > max: no value in this minute
        Words max;
        // Where the mean lies between min and max, in 255ths: exact to a
        // 510th of the minute's spread, and one byte instead of two.
        std::array<std::uint8_t, kSeries> mean;
    };
    struct Round {
        std::uint32_t second;  // Unix seconds; 0 for a slot not used yet
        std::uint16_t millis;  // and milliseconds; kComplete set for a complete round
        Words words;
    };
    static constexpr std::uint16_t kComplete = 0x8000;

    explicit UnitHistory(double interval_s);
    double interval() const { return interval_; }
    std::size_t bytes() const;  // what the rings take
    // A new interval keeps the newest rounds that fit the new ring.
    void set_interval(double interval_s);

    // One round at Unix time `when`; `record` null for one that did not complete.
    void add(const std::vector<std::uint8_t>* record, double when);

    // What a file kept: a minute (a later copy of one replaces the earlier,
    // and rounds still to come in it add to it) and a round.
    void restore(const Minute& minute);
    void restore(const Round& round);

    const Minute* minute_at(std::uint32_t minute) const;  // null when not kept
    std::uint32_t current_minute() const { return current_; }
    // Rounds oldest first; `visit` gets each.
    template <typename Visit>
    void rounds(Visit&& visit) const {
        for (std::size_t i = 0; i < round_count_; ++i)
            visit(rounds_[(round_next_ + round_capacity_ - round_count_ + i) % round_capacity_]);
    }
    std::uint64_t rounds_added() const { return rounds_added_; }  // ever, restored ones too

    static double mean_words(const Minute& minute, std::size_t series);

private:
    void open_minute(std::uint32_t minute);
    void note(const Words& words);
    void push(const Round& round);

    struct Free {
        void operator()(void* p) const;
    };
    double interval_;
    std::unique_ptr<Minute[], Free> minutes_;
    std::unique_ptr<Round[], Free> rounds_;
    std::size_t round_capacity_ = 0, round_count_ = 0, round_next_ = 0;
    std::uint64_t rounds_added_ = 0;
    // The minute being filled: sums and counts for its means.
    std::uint32_t current_ = 0;
    std::array<double, kSeries> sum_{};
    std::array<std::uint32_t, kSeries> count_{};
    Words words_{};  // the round's words, kept here so that nothing is allocated
};

}  // namespace quillark_agent
