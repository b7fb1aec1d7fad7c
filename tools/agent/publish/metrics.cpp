#include "tools/agent/publish/metrics.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "quillark/points.h"

namespace quillark_agent {
namespace {

using quillark::PointKind;

std::uint16_t word_at(const std::vector<std::uint8_t>& record, std::size_t offset) {
    return static_cast<std::uint16_t>(record[offset] | (record[offset + 1] << 8));
}

std::string number(double value, bool shortest = false) {
    char text[32];
    if (shortest) std::snprintf(text, sizeof text, "%g", value);
    else std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// The text being made, handed on whenever a unit's lines have filled it.
struct Out {
    std::string text;
    const MetricsSink& sink;
    bool open = true;  // the sink still takes text
    void spill(std::size_t at = 32 * 1024) {
        if (text.size() < at) return;
        open = open && sink(text.data(), text.size());
        text.clear();
    }
};

enum Family { kValue, kAlarm, kState };

Family family_of(PointKind kind) {
    switch (kind) {
        case PointKind::Alarm: return kAlarm;
        case PointKind::Scaled:
        case PointKind::Raw:
        case PointKind::SupplyAirMean: return kValue;
        default: return kState;
    }
}

// The point's sample: scaled words as the status document shows them, state
// bytes and codes as they are, alarms as 0/1.
double sample(const std::vector<std::uint8_t>& record, std::size_t p) {
    const quillark::Point& point = quillark::kPoints[p];
    const std::size_t offset = quillark::kPointOffsets[p];
    switch (point.kind) {
        case PointKind::Alarm: return record[offset] != 0 ? 1 : 0;
        case PointKind::Scaled:
            return static_cast<double>(quillark::scaled_value(word_at(record, offset)));
        case PointKind::SupplyAirMean:
            return static_cast<double>(
                quillark::supply_air_mean(word_at(record, quillark::kUpperSupplyAirOffset),
                                          word_at(record, quillark::kLowerSupplyAirOffset)));
        case PointKind::Raw:
        case PointKind::UnitState:
        case PointKind::WorkingMode: return word_at(record, offset);
        default: return record[offset];
    }
}

void header(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

// As printf's %.17g writes it, without its locale and format parsing: a
// hall's scrape writes some thirty thousand of them.
void put_number(std::string& out, double value) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::general, 17);
    out.append(text, end.ptr);
}

void line(std::string& out, const char* name, const std::string& labels, double value) {
    out += name;
    out += '{';
    out += labels;
    out += "} ";
    put_number(out, value);
    out += '\n';
}

// A label value as the exposition format writes it: backslash, quote and
// line feed escaped.
std::string label_value(const char* text) {
    std::string out;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c == '\\' || *c == '"') out += '\\';
        if (*c == '\n') out += "\\n";
        else out += *c;
    }
    return out;
}

// What each point id means, once per point: alert rules and dashboards join
// on `point` to say "high pressure", not only alarm_high_pressure.
void point_info(std::string& out) {
    static constexpr const char* kKinds[] = {"value", "alarm", "state"};
    header(out, "quillark_point_info", "gauge",
           "What a point is: its status document key, its meaning and its family; always 1");
    for (const quillark::Point& point : quillark::kPoints) {
        line(out, "quillark_point_info",
             std::string("point=\"") + point.id + "\",key=\"" + label_value(point.key) +
                 "\",meaning=\"" + label_value(point.meaning) + "\",family=\"" +
                 kKinds[family_of(point.kind)] + "\"",
             1);
    }
}

// Unit and link names are letters, digits, '_' and '-': nothing to escape.
std::string unit_label(const UnitView& unit) { return "unit=\"" + unit.name + "\""; }

void points(Out& o, const std::vector<UnitView>& units) {
    std::string& out = o.text;
    static constexpr const char* kNames[] = {"quillark_value", "quillark_alarm", "quillark_state"};
    static constexpr const char* kHelp[] = {
        "Measured or set value of a point, scaled as the status document shows it",
        "Alarm of a point: 1 raised, 0 normal",
        "State input of a point: 0 or 1 (a networked unit's byte as it is), unit state and "
        "working mode as their codes"};
    for (int family = kValue; family <= kState; ++family) {
        header(out, kNames[family], "gauge", kHelp[family]);
        for (const UnitView& unit : units) {
            if (unit.record.size() < sizeof(Quillark_Data_t)) continue;
            for (std::size_t p = 0; p < quillark::kPoints.size(); ++p) {
                if (family_of(quillark::kPoints[p].kind) != family) continue;
                out += kNames[family];
                out += "{unit=\"";
                out += unit.name;
                out += "\",point=\"";
                out += quillark::kPoints[p].id;
                out += "\"} ";
                put_number(out, sample(unit.record, p));
                out += '\n';
            }
            o.spill();
        }
    }
}

void health(Out& o, const std::vector<UnitView>& units) {
    std::string& out = o.text;
    header(out, "quillark_up", "gauge",
           "1 while the unit answers its rounds, 0 after three missed in a row");
    for (const UnitView& u : units) line(out, "quillark_up", unit_label(u), u.online ? 1 : 0);
    header(out, "quillark_rounds_total", "counter", "Poll rounds by outcome");
    for (const UnitView& u : units) {
        line(out, "quillark_rounds_total", unit_label(u) + ",outcome=\"complete\"",
             double(u.rounds_complete));
        line(out, "quillark_rounds_total", unit_label(u) + ",outcome=\"failed\"",
             double(u.rounds_failed));
    }
    header(out, "quillark_round_duration_seconds", "histogram", "Time a poll round takes");
    for (const UnitView& u : units) {
        std::uint64_t cumulative = 0;
        for (std::size_t b = 0; b < kDurationBuckets.size(); ++b) {
            cumulative += u.duration_counts[b];
            line(out, "quillark_round_duration_seconds_bucket",
                 unit_label(u) + ",le=\"" + number(kDurationBuckets[b], true) + "\"",
                 double(cumulative));
        }
        line(out, "quillark_round_duration_seconds_bucket", unit_label(u) + ",le=\"+Inf\"",
             double(u.duration_count));
        line(out, "quillark_round_duration_seconds_sum", unit_label(u), u.duration_sum);
        line(out, "quillark_round_duration_seconds_count", unit_label(u), double(u.duration_count));
        o.spill();
    }
    header(out, "quillark_poll_interval_seconds", "gauge",
           "Seconds between the starts of a unit's rounds, as configured");
    for (const UnitView& u : units)
        line(out, "quillark_poll_interval_seconds", unit_label(u), u.interval_s);
    header(out, "quillark_last_round_timestamp_seconds", "gauge",
           "When the last complete round ended (Unix time)");
    for (const UnitView& u : units)
        if (u.last_round_unix > 0)
            line(out, "quillark_last_round_timestamp_seconds", unit_label(u), u.last_round_unix);
}

void link_health(std::string& out, const std::vector<LinkView>& links) {
    header(out, "quillark_request_retries_total", "counter", "Requests sent again after no answer");
    for (const LinkView& l : links)
        line(out, "quillark_request_retries_total", "link=\"" + l.name + "\"", double(l.retries));
    header(out, "quillark_link_reconnects_total", "counter",
           "Times the link was opened again after it was lost");
    for (const LinkView& l : links)
        line(out, "quillark_link_reconnects_total", "link=\"" + l.name + "\"",
             double(l.reconnects));
    header(
        out, "quillark_link_load_ratio", "gauge",
        "Seconds of rounds per second of the units' intervals; above 1 the link cannot keep them");
    for (const LinkView& l : links)
        line(out, "quillark_link_load_ratio", "link=\"" + l.name + "\"", l.load);
    if (std::none_of(links.begin(), links.end(), [](const LinkView& l) { return l.gateway; }))
        return;
    header(out, "quillark_gateway_requests_total", "counter",
           "Requests to the link's Modbus TCP gateway, by what became of them");
    for (const LinkView& l : links)
        for (std::size_t o = 0; l.gateway && o < kGatewayOutcomes; ++o)
            line(out, "quillark_gateway_requests_total",
                 "link=\"" + l.name + "\",outcome=\"" + kGatewayOutcomeNames[o] + "\"",
                 double(l.gateway_requests[o]));
}

}  // namespace

void render_metrics(const std::vector<UnitView>& units, const std::vector<LinkView>& links,
                    const MetricsSink& sink) {
    Out o{std::string(), sink};
    o.text.reserve(48 * 1024);
    points(o, units);
    point_info(o.text);
    o.spill();
    health(o, units);
    link_health(o.text, links);
    o.spill(1);
}

std::string render_metrics(const std::vector<UnitView>& units, const std::vector<LinkView>& links) {
    std::string all;
    render_metrics(units, links, [&all](const char* data, std::size_t size) {
        all.append(data, size);
        return true;
    });
    return all;
}

}  // namespace quillark_agent
