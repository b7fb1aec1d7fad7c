// The people's point table, written from the same tables the renderer walks.
#include <iomanip>
#include <ostream>

#include "quillark/points.h"

namespace quillark {
namespace {

const char* kind_name(PointKind kind) {
    switch (kind) {
        case PointKind::Contact: return "contact labels";
        case PointKind::Valve: return "valve labels";
        case PointKind::Pump: return "pump labels";
        case PointKind::Power: return "power labels";
        case PointKind::NetworkedUnit: return "networked unit";
        case PointKind::Alarm: return "alarm";
        case PointKind::Scaled: return "scaled";
        case PointKind::Raw: return "raw";
        case PointKind::UnitState: return "unit state";
        case PointKind::WorkingMode: return "working mode";
        case PointKind::SupplyAirMean: return "derived (scaled)";
    }
    return "";
}

void write_pair(std::ostream& out, const char* kind, const LabelPair& labels, const char* zero,
                const char* one) {
    out << "| " << kind << " | 0: " << labels.zero << " (" << zero << "), 1: " << labels.one << " ("
        << one << "), any other byte: " << kInvalidLabel << " (invalid) |\n";
}

template <std::size_t N>
void write_codes(std::ostream& out, const char* title, const std::array<CodeLabel, N>& labels) {
    out << "\n### " << title << "\n\n| Word | Label | Meaning |\n|---|---|---|\n";
    for (std::size_t code = 0; code < N; ++code)
        out << "| " << code << " | " << labels[code].label << " | " << labels[code].meaning
            << " |\n";
    out << "| " << N << " to 65535 | " << kInvalidLabel << " | invalid value |\n";
}

void write_offsets(std::ostream& out, std::size_t offset, std::size_t width) {
    out << offset;
    if (width > 1) out << ".." << offset + width - 1;
}

// The heading, and how the middle supply-air temperature is made.
void write_supply_air_mean(std::ostream& out) {
    const char* const mean_key = kPoints[first_of_kind(PointKind::SupplyAirMean)].key;
    const std::streamsize precision = out.precision();
    out << "# Point table of the in-row air-conditioning unit\n\n"
           "Generated from `quillark/record.h` and `quillark/points.h` by the build target "
           "`points_doc`; after a change of the point map, `cmake --build build --target "
           "update_points_doc` rewrites this copy (the test `PointTable.DocumentIsCurrent` "
           "fails until then).\n\n"
           "## "
        << mean_key
        << " (middle supply-air temperature)\n\n"
           "The unit reports no middle supply-air temperature: the poll round reads only "
           "input register 66 (supply-air humidity) between the indoor fan speed and the pump "
           "pressures, so the record has no field for it. The status document still carries "
           "the member "
        << mean_key
        << ", right after the supply-air humidity, and the driver fills it with the mean of "
           "the upper supply-air temperature (input register "
        << kUpperSupplyAirRegister << ", record offset " << kUpperSupplyAirOffset
        << ") and the lower supply-air temperature (input register " << kLowerSupplyAirRegister
        << ", record offset " << kLowerSupplyAirOffset
        << "). Each word is scaled to tenths in single precision, the two are added and "
           "halved in single precision, and the result is widened to double: words 231 and "
           "235 give "
        << std::setprecision(17) << static_cast<double>(supply_air_mean(231, 235))
        << std::setprecision(static_cast<int>(precision))
        << ". It is present after every render as a JSON real. "
           "It is an estimate: when either supply-air sensor is faulty, the mean is wrong "
           "too.\n\n";
}

// What the status document holds, and how each kind of point shows in it.
void write_kinds(std::ostream& out) {
    out << "## The status document\n\n"
           "One JSON object with "
        << kDocumentMembers << " members: one per row of the point list below, and "
        << kAlertArrayKey << ", an object that maps each of the " << kAlarmCount
        << " alarm names to `true` (raised) or `false`. Numbers are always JSON reals, "
           "never integers. Words are unsigned: a word the unit means as negative shows as a "
           "large positive value.\n\n"
           "| Kind | Shown as |\n|---|---|\n";
    write_pair(out, "contact labels", kContactLabels, "open", "closed");
    write_pair(out, "valve labels", kValveLabels, "off", "on");
    write_pair(out, "pump labels", kPumpLabels, "stopped", "output on");
    write_pair(out, "power labels", kPowerLabels, "switched off", "switched on");
    out << "| networked unit | the byte as a real, 0 to 255 |\n"
           "| alarm | "
        << kAlarmRaised << " (alarm) for any non-zero byte, else " << kAlarmNormal
        << " (normal); the same as a boolean in " << kAlertArrayKey
        << " |\n"
           "| scaled | the word divided by 10 in single precision, widened to double "
           "(231 gives 23.100000381469727) |\n"
           "| raw | the word as a real, 0 to 65535 |\n"
           "| unit state, working mode | the code's label (tables below) |\n"
           "| derived (scaled) | see above |\n"
           "| time | year-month-day hour:minute:second without leading zeros, "
           "e.g. 2024-3-5 8:7:9 |\n";
    write_codes(out, "Unit state", kUnitStateLabels);
    write_codes(out, "Working mode", kWorkingModeLabels);
}

// Every point, in record order.
void write_points(std::ostream& out) {
    out << "\n## Points\n\nIn record order, which is the order of the poll round. Addresses "
           "are protocol addresses, counted from 0 as they travel in the request; the register "
           "number in brackets counts from 1, as many masters and manuals do (input register "
           "21 is register number 22). The id names the point for machines (the `point` label "
           "of the agent's metrics): ASCII, snake_case, unique and stable.\n\n"
           "| Key | Id | Source | Record offset | Kind | Meaning |\n|---|---|---|---|---|---|\n";
    for (std::size_t p = 0; p < kPoints.size(); ++p) {
        const Point& point = kPoints[p];
        out << "| " << point.key << " | `" << point.id << "` | ";
        if (is_derived(point.kind)) {
            out << "input registers " << kUpperSupplyAirRegister << " and "
                << kLowerSupplyAirRegister << " | ";
            write_offsets(out, kUpperSupplyAirOffset, 2);
            out << ", ";
            write_offsets(out, kLowerSupplyAirOffset, 2);
        } else {
            out << (is_bit_kind(point.kind) ? "input bit " : "input register ") << point.address
                << " (no. " << point.address + 1 << ") | ";
            write_offsets(out, kPointOffsets[p], width_of(point.kind));
        }
        out << " | " << kind_name(point.kind) << " | " << point.meaning;
        if (point.kind == PointKind::NetworkedUnit) out << ' ' << point.address - kFirstUnitBit + 1;
        out << " |\n";
    }
    out << "| " << kUpdateTimeKey << " | | end of the poll round | ";
    write_offsets(out, offsetof(Quillark_Data_t, time_stamp), sizeof(ttime_t));
    out << " | time | local time at which the last poll round completed |\n";
}

}  // namespace

void write_point_table(std::ostream& out) {
    const std::ios_base::fmtflags flags = out.flags();
    write_supply_air_mean(out);
    write_kinds(out);
    write_points(out);
    out.flags(flags);
}

}  // namespace quillark
