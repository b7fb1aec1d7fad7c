#include "tools/agent/history/unit_history.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>

namespace quillark_agent {
namespace {

std::size_t rounds_for(double interval_s) {
    const double n = std::ceil(UnitHistory::kRoundSpan / std::max(interval_s, 0.001)) + 1;
    return std::min<std::size_t>(UnitHistory::kMaxRounds, static_cast<std::size_t>(n));
}

// Zeroed memory for n slots. calloc hands out fresh pages as they are, so
// the part of a ring that no round has reached yet costs no memory.
template <typename Slot>
Slot* zeroed(std::size_t n) {
    void* p = std::calloc(n, sizeof(Slot));
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<Slot*>(p);
}

void saturating_add(std::uint16_t& count) {
    if (count < 0xFFFF) ++count;
}

}  // namespace

UnitHistory::UnitHistory(double interval_s)
    : interval_(interval_s),
      minutes_(zeroed<Minute>(kMinutes)),
      rounds_(zeroed<Round>(rounds_for(interval_s))),
      round_capacity_(rounds_for(interval_s)) {}

void UnitHistory::Free::operator()(void* p) const { std::free(p); }

std::size_t UnitHistory::bytes() const {
    return sizeof(*this) + kMinutes * sizeof(Minute) + round_capacity_ * sizeof(Round);
}

void UnitHistory::set_interval(double interval_s) {
    const std::size_t capacity = rounds_for(interval_s);
    interval_ = interval_s;
    if (capacity == round_capacity_) return;
    std::unique_ptr<Round[], Free> kept(zeroed<Round>(capacity));
    std::size_t n = 0;
    const std::size_t skip = round_count_ > capacity ? round_count_ - capacity : 0;
    std::size_t seen = 0;
    rounds([&](const Round& round) {
        if (seen++ >= skip) kept[n++] = round;
    });
    rounds_ = std::move(kept);
    round_capacity_ = capacity;
    round_count_ = n;
    round_next_ = n % capacity;
}

const UnitHistory::Minute* UnitHistory::minute_at(std::uint32_t minute) const {
    const Minute& slot = minutes_[minute % kMinutes];
    return slot.minute == minute && minute != 0 ? &slot : nullptr;
}

double UnitHistory::mean_words(const Minute& minute, std::size_t s) {
    return minute.min[s] + (minute.max[s] - minute.min[s]) * (minute.mean[s] / 255.0);
}

// Takes up the minute's slot: empty for a new minute, or what a file kept of
// it, whose rounds the means go on from.
void UnitHistory::open_minute(std::uint32_t minute) {
    current_ = minute;
    Minute& slot = minutes_[minute % kMinutes];
    if (slot.minute != minute) {
        slot = Minute{};
        slot.minute = minute;
        slot.min.fill(0xFFFF);
    }
    for (std::size_t s = 0; s < kSeries; ++s) {
        const bool has = slot.complete > 0 && slot.min[s] <= slot.max[s];
        count_[s] = has ? slot.complete : 0;
        sum_[s] = has ? mean_words(slot, s) * slot.complete : 0;
    }
}

void UnitHistory::note(const Words& words) {
    Minute& slot = minutes_[current_ % kMinutes];
    saturating_add(slot.complete);
    for (std::size_t s = 0; s < kSeries; ++s) {
        const std::uint16_t w = words[s];
        if (!is_value(s, w)) continue;
        slot.min[s] = std::min(slot.min[s], w);
        slot.max[s] = std::max(slot.max[s], w);
        sum_[s] += w;
        ++count_[s];
        const int spread = slot.max[s] - slot.min[s];
        const double above = sum_[s] / count_[s] - slot.min[s];
        slot.mean[s] =
            spread == 0 ? 0 : static_cast<std::uint8_t>(std::lround(above * 255.0 / spread));
    }
}

void UnitHistory::push(const Round& round) {
    rounds_[round_next_] = round;
    round_next_ = (round_next_ + 1) % round_capacity_;
    round_count_ = std::min(round_count_ + 1, round_capacity_);
    ++rounds_added_;
}

void UnitHistory::add(const std::vector<std::uint8_t>* record, double when) {
    if (!(when >= 60)) return;  // a clock that is not set yet
    const double whole = std::floor(when);
    const auto minute = static_cast<std::uint32_t>(whole / 60);
    if (minute != current_) open_minute(minute);
    Round round{};
    round.second = static_cast<std::uint32_t>(whole);
    round.millis = static_cast<std::uint16_t>(std::min(999.0, (when - whole) * 1000));
    if (record != nullptr) {
        words_of(*record, words_);
        note(words_);
        round.millis |= kComplete;
        round.words = words_;
    } else {
        saturating_add(minutes_[minute % kMinutes].failed);
    }
    push(round);
}

void UnitHistory::restore(const Minute& minute) {
    if (minute.minute == 0) return;
    minutes_[minute.minute % kMinutes] = minute;
    if (minute.minute == current_) open_minute(current_);
}

void UnitHistory::restore(const Round& round) {
    if (round.second != 0) push(round);
}

}  // namespace quillark_agent
