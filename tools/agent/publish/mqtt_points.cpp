#include "tools/agent/publish/mqtt_points.h"

#include <cmath>
#include <cstdio>

#include "quillark/point_values.h"

namespace quillark_agent {
namespace {

using quillark::PointKind;

// Numbers below this apart are the same: tenths in single precision, widened,
// differ by a few millionths from their decimal value.
constexpr double kSame = 1e-6;

}  // namespace

double point_value(std::size_t p, const std::vector<std::uint8_t>& record) {
    const quillark::Point& point = quillark::kPoints[p];
    const std::size_t offset = quillark::kPointOffsets[p];
    if (offset + quillark::width_of(point.kind) > record.size()) return std::nan("");
    const std::uint8_t* field = record.data() + offset;
    if (quillark::is_label_kind(point.kind))
        return static_cast<double>(quillark::label_index(point.kind, field));
    return quillark::point_number(point.kind, record.data(), field);
}

std::string point_payload(std::size_t p, double value) {
    const PointKind kind = quillark::kPoints[p].kind;
    if (std::isnan(value)) return "null";
    if (!quillark::is_label_kind(kind)) {
        char text[32];
        // Single precision has seven digits: 23.1, not 23.100000381469727.
        std::snprintf(text, sizeof text, "%.7g", value);
        return text;
    }
    const auto index = static_cast<std::size_t>(value);
    if ((kind == PointKind::Alarm || kind == PointKind::Contact) && index <= 1)
        return index == 1 ? "true" : "false";
    return quillark::label_at(kind, index);
}

bool point_moved(std::size_t p, double was, double now, const std::vector<double>& deadband) {
    if (std::isnan(was) != std::isnan(now)) return true;
    if (std::isnan(was)) return false;
    if (quillark::is_label_kind(quillark::kPoints[p].kind)) return was != now;
    const double band = p < deadband.size() ? deadband[p] : 0.0;
    return std::fabs(now - was) > band + kSame;
}

void watch_round(UnitWatch& watch, const MqttConfig& config,
                 const std::vector<std::uint8_t>& record, double when,
                 std::vector<std::size_t>& due) {
    const std::size_t count = quillark::kPoints.size();
    std::vector<double> now(count);
    for (std::size_t p = 0; p < count; ++p) now[p] = point_value(p, record);

    // Against the status last sent, not the round before: a slow drift is
    // sent once it has gone past the deadband.
    bool changed = watch.status.empty() || config.every_round ||
                   when - watch.status_time >= config.heartbeat_s || when < watch.status_time;
    for (std::size_t p = 0; p < count && !changed; ++p)
        changed = point_moved(p, watch.status[p], now[p], config.deadband);
    watch.verdict = changed ? UnitWatch::Verdict::Send : UnitWatch::Verdict::Hold;
    if (changed) {
        watch.status = now;
        watch.status_time = when;
    }

    due.clear();
    if (!config.points) return;
    const bool first = watch.points.empty();
    if (first) watch.points.assign(count, std::nan(""));
    for (std::size_t p = 0; p < count; ++p)
        if ((first && !std::isnan(now[p])) ||
            point_moved(p, watch.points[p], now[p], config.deadband)) {
            watch.points[p] = now[p];
            due.push_back(p);
        }
}

}  // namespace quillark_agent
