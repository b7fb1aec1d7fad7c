// The history's answers as JSON and CSV, written with the same numbers, so
// that a report made from the CSV shows what the page draws from the JSON.
#include <cstdio>

#include "quillark/points.h"
#include "tools/agent/clock.h"
#include "tools/agent/history/history_query.h"

namespace quillark_agent {
namespace {

void quoted(std::string& out, const std::string& text) {
    out += '"';
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            out += escape;
            continue;
        }
        out += c;
    }
    out += '"';
}

std::string row_time(const HistoryQuery& query, double t) {
    return query.step == 0 ? iso_time_ms(t) : iso_time(t);
}

std::string unix_text(double t) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", t);
    std::string out(text);
    while (out.back() == '0') out.pop_back();
    if (out.back() == '.') out.pop_back();
    return out;
}

const char* online_text(HistoryTable::Seen online) {
    return online == HistoryTable::Online ? "true" : online == HistoryTable::Offline ? "false" : "";
}

enum class Part { Min, Mean, Max };

std::string cell_text(const HistoryTable::Cell& cell, std::size_t series, Part part) {
    if (!cell.has) return {};
    if (part == Part::Mean) return format_mean(series, cell.mean);
    return format_word(series, part == Part::Min ? cell.min : cell.max);
}

void labels(std::string& out, const quillark::Point& point) {
    const auto write = [&out](const auto& table) {
        out += ",\"labels\":[";
        for (std::size_t i = 0; i < table.size(); ++i) {
            if (i > 0) out += ',';
            quoted(out, table[i].label);
        }
        out += ']';
    };
    if (point.kind == quillark::PointKind::UnitState) write(quillark::kUnitStateLabels);
    if (point.kind == quillark::PointKind::WorkingMode) write(quillark::kWorkingModeLabels);
}

void json_point(std::string& out, const HistoryQuery& query, const HistoryTable& table,
                std::size_t k) {
    const std::size_t s = query.series[k];
    const quillark::Point& point = series_point(s);
    out += "{\"id\":";
    quoted(out, point.id);
    out += ",\"key\":";
    quoted(out, point.key);
    out += ",\"meaning\":";
    quoted(out, point.meaning);
    out += ",\"group\":";
    quoted(out, trend_name(point.trend));
    labels(out, point);
    const std::size_t width = query.series.size();
    for (const Part part : {Part::Min, Part::Mean, Part::Max}) {
        out += part == Part::Min    ? ",\"min\":["
               : part == Part::Mean ? "],\"mean\":["
                                    : "],\"max\":[";
        for (std::size_t row = 0; row < table.times.size(); ++row) {
            if (row > 0) out += ',';
            const std::string text = cell_text(table.cells[row * width + k], s, part);
            out += text.empty() ? "null" : text;
        }
    }
    out += "]}";
}

void csv_cell(std::string& out, const std::string& text) {
    out += ',';
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        out += text;
        return;
    }
    out += '"';
    for (const char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

}  // namespace

std::string render_json(const std::string& unit, const HistoryQuery& query,
                        const HistoryTable& table) {
    std::string out = "{\"unit\":";
    quoted(out, unit);
    out += ",\"from\":\"" + iso_time(query.from) + "\",\"to\":\"" + iso_time(query.to) +
           "\",\"step\":" + std::to_string(query.step) + ",\"time\":[";
    for (std::size_t row = 0; row < table.times.size(); ++row)
        out += (row > 0 ? ",\"" : "\"") + row_time(query, table.times[row]) + '"';
    out += "],\"unix\":[";
    for (std::size_t row = 0; row < table.times.size(); ++row)
        out += (row > 0 ? "," : "") + unix_text(table.times[row]);
    out += "],\"online\":[";
    for (std::size_t row = 0; row < table.online.size(); ++row) {
        const char* text = online_text(table.online[row]);
        out += row > 0 ? "," : "";
        out += *text != '\0' ? text : "null";
    }
    out += "],\"points\":[";
    for (std::size_t k = 0; k < query.series.size(); ++k) {
        if (k > 0) out += ',';
        json_point(out, query, table, k);
    }
    out += "]}";
    return out;
}

std::string render_csv(const HistoryQuery& query, const HistoryTable& table) {
    std::string out = "time,online";
    for (const std::size_t s : query.series) {
        const quillark::Point& point = series_point(s);
        for (const char* part : {" min", " mean", " max"})
            csv_cell(out, point.id + std::string(part) + " (" + point.meaning + ")");
    }
    out += "\r\n";
    const std::size_t width = query.series.size();
    for (std::size_t row = 0; row < table.times.size(); ++row) {
        out += row_time(query, table.times[row]);
        csv_cell(out, online_text(table.online[row]));
        for (std::size_t k = 0; k < width; ++k)
            for (const Part part : {Part::Min, Part::Mean, Part::Max})
                csv_cell(out, cell_text(table.cells[row * width + k], query.series[k], part));
        out += "\r\n";
    }
    return out;
}

}  // namespace quillark_agent
