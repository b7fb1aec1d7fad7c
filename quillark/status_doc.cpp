#include <cstdint>
#include <cstdio>
#include <cstring>

#include "points.h"
#include "quillark.h"

using quillark::kPoints;
using quillark::kPollReads;
using quillark::Point;
using quillark::PointKind;

void Quillark::refresh_status_doc_locked() {
    // Any change of the data time counts, also one to an earlier time.
    if (last_data_time != doc_time) {
        const boost::posix_time::ptime previous = doc_time;
        doc_time = last_data_time;
        try {
            render_status_doc();
        } catch (...) {
            // A rebuild cut short (out of memory) leaves a partial document:
            // the next request must rebuild it, not serve it as current.
            doc_time = previous;
            throw;
        }
    }
}

namespace {

// Words are stored low byte first; read them byte by byte, since a word may
// sit at any address and the controller faults on unaligned halfword loads.
std::uint16_t word_at(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

double widened(float value) { return static_cast<double>(value); }

// Most labels are the same from one round to the next: keep the stored text
// then rather than allocating a new copy of it.
void set_label(Json::Value& member, const char* label) {
    const char* begin = nullptr;
    const char* end = nullptr;
    if (member.isString() && member.getString(&begin, &end)) {
        const std::size_t length = std::strlen(label);
        if (static_cast<std::size_t>(end - begin) == length &&
            std::memcmp(begin, label, length) == 0)
            return;
    }
    member = label;
}

}  // namespace

void Quillark::render_status_doc() {
    // The document is only ever added to: callers may hold its address, and a
    // member once there stays there.
    if (!status_doc.isObject()) status_doc = Json::Value(Json::objectValue);
    Json::Value& alerts = status_doc[quillark::kAlertArrayKey];
    if (!alerts.isObject()) alerts = Json::Value(Json::objectValue);

    // The last completed round, never the record a poll round is refilling.
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&round_record);

    std::size_t cursor = quillark::kInputsOffset;
    for (std::size_t group = 0; group < kPollReads.size(); ++group) {
        std::size_t at = cursor;
        for (std::size_t p = quillark::kGroupStart[group]; p < quillark::kGroupStart[group + 1];
             ++p) {
            const Point& point = kPoints[p];
            Json::Value& member = status_doc[point.key];
            const std::uint8_t* field = bytes + at;
            switch (point.kind) {
                case PointKind::Contact:
                case PointKind::Valve:
                case PointKind::Pump:
                case PointKind::Power:
                    set_label(member, quillark::state_label(point.kind, field[0]));
                    break;
                case PointKind::NetworkedUnit:
                    member = static_cast<double>(field[0]);
                    break;
                case PointKind::Alarm:
                    set_label(member, field[0] != 0 ? quillark::kAlarmRaised
                                                    : quillark::kAlarmNormal);
                    alerts[point.key] = field[0] != 0;
                    break;
                case PointKind::Scaled:
                    member = widened(quillark::scaled_value(word_at(field)));
                    break;
                case PointKind::Raw:
                    member = static_cast<double>(word_at(field));
                    break;
                case PointKind::UnitState:
                    set_label(member,
                              quillark::code_label(quillark::kUnitStateLabels, word_at(field)));
                    break;
                case PointKind::WorkingMode:
                    set_label(member,
                              quillark::code_label(quillark::kWorkingModeLabels, word_at(field)));
                    break;
                case PointKind::SupplyAirMean:
                    member = widened(
                        quillark::supply_air_mean(word_at(bytes + quillark::kUpperSupplyAirOffset),
                                                  word_at(bytes + quillark::kLowerSupplyAirOffset)));
                    break;
            }
            at += quillark::width_of(point.kind);
        }
        cursor += kPollReads[group].width();
    }

    // Time stamp: 16-bit year, then month, day, hour, minute, second; printed
    // as plain numbers without leading zeros.
    const std::uint8_t* stamp = bytes + offsetof(Quillark_Data_t, time_stamp);
    char text[32];
    std::snprintf(text, sizeof text, "%u-%u-%u %u:%u:%u", unsigned{word_at(stamp)},
                  unsigned{stamp[2]}, unsigned{stamp[3]}, unsigned{stamp[4]}, unsigned{stamp[5]},
                  unsigned{stamp[6]});
    set_label(status_doc[quillark::kUpdateTimeKey], text);
}
