// A unit's points as MQTT carries them one by one: the plain value of each
// point, when a point counts as changed, and what was last sent of a unit.
// Values and labels come from the point table's own functions, as the status
// document has them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/agent/config/config.h"

namespace quillark_agent {

// Point p of a record as a value to compare: the label's index for a label
// point, the number for a number point.
double point_value(std::size_t p, const std::vector<std::uint8_t>& record);

// Point p's payload on its own topic for `value` (from point_value): the
// number, "true"/"false" for an alarm (raised) or a contact (closed), the
// label text for the other state inputs, the unit state and working mode.
std::string point_payload(std::size_t p, double value);

// Whether a point moved from `was` to `now`: a label changed, or a number by
// more than its deadband (none given: any change).
bool point_moved(std::size_t p, double was, double now, const std::vector<double>& deadband);

// What was last sent of one unit.
struct UnitWatch {
    std::vector<double> status;  // the points of the last status sent; empty before the first
    double status_time = 0;
    enum class Verdict { Undecided, Send, Hold };
    Verdict verdict = Verdict::Undecided;  // for the round's status, decided by its record
    std::vector<double> points;            // per point: the value its own topic has; empty: none
    bool described = false;                // discovery told of it
    std::string description;               // as discovery told it
};

// Decides the round's status and which point topics are due, updating what
// was sent: `due` gets the indexes of the points whose topics change.
void watch_round(UnitWatch& watch, const MqttConfig& config,
                 const std::vector<std::uint8_t>& record, double when,
                 std::vector<std::size_t>& due);

}  // namespace quillark_agent
