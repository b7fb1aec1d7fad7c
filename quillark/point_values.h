// What each point shows for its record field: the label of a label point
// (by an index into its kind's labels) or the number of a number point. The
// status document and its text both take their values from here.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "quillark/points.h"

namespace quillark {

constexpr bool is_label_kind(PointKind kind) {
    return kind != PointKind::NetworkedUnit && kind != PointKind::Scaled &&
           kind != PointKind::Raw && kind != PointKind::SupplyAirMean;
}

// Words are stored low byte first; read them byte by byte, since a word may
// sit at any address and the controller faults on unaligned halfword loads.
constexpr std::uint16_t word_at(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

// How many labels a label kind has, the invalid-value label counted.
constexpr std::size_t label_count(PointKind kind) {
    return kind == PointKind::Alarm         ? 2
           : kind == PointKind::UnitState   ? kUnitStateLabels.size() + 1
           : kind == PointKind::WorkingMode ? kWorkingModeLabels.size() + 1
                                            : 3;
}

// Which of its kind's labels a field shows: any code past the named ones
// shows the last, the invalid-value label (an alarm is raised or normal).
constexpr std::size_t label_index(PointKind kind, const std::uint8_t* field) {
    if (kind == PointKind::Alarm) return field[0] != 0 ? 1 : 0;
    const std::size_t code =
        kind == PointKind::UnitState || kind == PointKind::WorkingMode ? word_at(field) : field[0];
    return std::min(code, label_count(kind) - 1);
}

constexpr const char* label_at(PointKind kind, std::size_t index) {
    switch (kind) {
        case PointKind::Alarm: return index != 0 ? kAlarmRaised : kAlarmNormal;
        case PointKind::UnitState:
            return code_label(kUnitStateLabels, static_cast<std::uint16_t>(index));
        case PointKind::WorkingMode:
            return code_label(kWorkingModeLabels, static_cast<std::uint16_t>(index));
        default: return state_label(kind, static_cast<std::uint8_t>(index));
    }
}

static_assert(label_at(PointKind::Contact, 2) == kInvalidLabel &&
                  label_at(PointKind::UnitState, kUnitStateLabels.size()) == kInvalidLabel &&
                  label_at(PointKind::WorkingMode, kWorkingModeLabels.size()) == kInvalidLabel,
              "the last label of every coded kind is the invalid value");

// The number a number point shows; `record` is the whole record, `field`
// the point's own bytes in it.
inline double point_number(PointKind kind, const std::uint8_t* record, const std::uint8_t* field) {
    switch (kind) {
        case PointKind::NetworkedUnit: return static_cast<double>(field[0]);
        case PointKind::Scaled: return static_cast<double>(scaled_value(word_at(field)));
        case PointKind::SupplyAirMean:
            return static_cast<double>(supply_air_mean(word_at(record + kUpperSupplyAirOffset),
                                                       word_at(record + kLowerSupplyAirOffset)));
        default: return static_cast<double>(word_at(field));
    }
}

}  // namespace quillark
