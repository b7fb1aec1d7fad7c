#include "tools/agent/publish/views.h"

#include <ctime>
#include <sstream>

#include <json/reader.h>
#include <json/writer.h>

#include "quillark/points.h"
#include "tools/agent/clock.h"

namespace quillark_agent {
namespace {

using quillark::PointKind;

Json::Value time_or_null(double unix_seconds) {
    return unix_seconds > 0 ? Json::Value(iso_time(unix_seconds)) : Json::Value::null;
}

std::string compact(const Json::Value& value) {
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    writer["emitUTF8"] = true;
    return Json::writeString(writer, value);
}

// The last status document as an object; empty before the first complete round.
Json::Value status_of(const UnitView& unit) {
    Json::Value doc(Json::objectValue);
    if (!unit.status) return doc;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::istringstream in(*unit.status);
    if (!Json::parseFromStream(builder, in, &doc, &errors) || !doc.isObject())
        doc = Json::Value(Json::objectValue);
    return doc;
}

// What the status document shows for a code or scaled point, read from the
// record: the overview needs four values per unit on every poll, far cheaper
// than parsing each unit's whole document.
Json::Value record_value(const UnitView& unit, const char* id) {
    for (std::size_t p = 0; p < quillark::kPoints.size(); ++p) {
        const quillark::Point& point = quillark::kPoints[p];
        const std::size_t offset = quillark::kPointOffsets[p];
        if (std::string(point.id) != id) continue;
        if (offset + 2 > unit.record.size()) return Json::Value::null;
        const auto word =
            static_cast<std::uint16_t>(unit.record[offset] | (unit.record[offset + 1] << 8));
        switch (point.kind) {
            case PointKind::UnitState:
                return quillark::code_label(quillark::kUnitStateLabels, word);
            case PointKind::WorkingMode:
                return quillark::code_label(quillark::kWorkingModeLabels, word);
            case PointKind::Scaled: return static_cast<double>(quillark::scaled_value(word));
            default: return Json::Value::null;
        }
    }
    return Json::Value::null;
}

// The groups of the unit page, in the point table's order.
const char* group_of(PointKind kind) {
    switch (kind) {
        case PointKind::NetworkedUnit: return "networked units";
        case PointKind::Alarm: return "alarms";
        case PointKind::Scaled:
        case PointKind::Raw:
        case PointKind::SupplyAirMean: return "measurements and set points";
        case PointKind::UnitState:
        case PointKind::WorkingMode: return "modes";
        default: return "state inputs";
    }
}

Json::Value point_json(const quillark::Point& point, const Json::Value& status) {
    Json::Value p(Json::objectValue);
    p["key"] = point.key;
    p["id"] = point.id;
    p["meaning"] = point.meaning;
    p["source"] = quillark::is_derived(point.kind)    ? "derived"
                  : quillark::is_bit_kind(point.kind) ? "input bit"
                                                      : "input register";
    p["address"] =
        quillark::is_derived(point.kind) ? Json::Value::null : Json::Value(point.address);
    p["value"] = status.get(point.key, Json::Value::null);
    return p;
}

Json::Value groups_json(const Json::Value& status) {
    static constexpr const char* kOrder[] = {"state inputs", "networked units", "alarms",
                                             "measurements and set points", "modes"};
    Json::Value groups(Json::arrayValue);
    for (const char* name : kOrder) {
        Json::Value group(Json::objectValue);
        group["name"] = name;
        group["points"] = Json::Value(Json::arrayValue);
        for (const quillark::Point& point : quillark::kPoints)
            if (std::string(group_of(point.kind)) == name)
                group["points"].append(point_json(point, status));
        groups.append(group);
    }
    return groups;
}

Json::Value alarms_json(const UnitView& unit) {
    Json::Value alarms(Json::arrayValue);
    std::size_t a = 0;
    for (const quillark::Point& point : quillark::kPoints) {
        if (point.kind != PointKind::Alarm) continue;
        const double since = unit.alarm_since[a++];
        if (since <= 0) continue;
        Json::Value alarm(Json::objectValue);
        alarm["key"] = point.key;
        alarm["id"] = point.id;
        alarm["meaning"] = point.meaning;
        alarm["address"] = point.address;
        alarm["since"] = iso_time(since);
        alarms.append(alarm);
    }
    return alarms;
}

Json::Value summary_json(const UnitView& u, double now) {
    Json::Value unit(Json::objectValue);
    unit["name"] = u.name;
    unit["link"] = u.link;
    unit["unit_id"] = u.unit_id;
    unit["online"] = u.online;
    unit["last_round"] = time_or_null(u.last_round_unix);
    unit["interval"] = u.interval_s;
    unit["online_since"] = time_or_null(u.online_since_unix);
    unit["online_for"] =
        u.online_since_unix > 0 ? Json::Value(now - u.online_since_unix) : Json::Value::null;
    int raised = 0;
    for (double since : u.alarm_since) raised += since > 0;
    unit["alarms_raised"] = raised;
    for (const char* id : {"unit_state", "working_mode", "indoor_return_air_temperature_measured",
                           "indoor_return_air_humidity_measured"})
        unit[id] = record_value(u, id);
    return unit;
}

}  // namespace

std::string render_units(const std::vector<UnitView>& units, double now) {
    Json::Value list(Json::arrayValue);
    for (const UnitView& u : units) list.append(summary_json(u, now));
    return compact(list);
}

std::string render_unit(const UnitView& u, const LinkView* link, double now) {
    Json::Value unit = summary_json(u, now);
    unit["time"] = iso_time(now);
    unit["last_round_duration"] =
        u.duration_count > 0 ? Json::Value(u.last_duration) : Json::Value::null;
    unit["rounds_complete"] = Json::UInt64(u.rounds_complete);
    unit["rounds_failed"] = Json::UInt64(u.rounds_failed);
    unit["retries"] = link ? Json::Value(Json::UInt64(link->retries)) : Json::Value::null;
    unit["reconnects"] = link ? Json::Value(Json::UInt64(link->reconnects)) : Json::Value::null;
    unit["alarms"] = alarms_json(u);
    unit["groups"] = groups_json(status_of(u));
    return compact(unit);
}

}  // namespace quillark_agent
