// The history's answers as JSON and CSV, written with the same numbers, so
// that a report made from the CSV shows what the page draws from the JSON.
#include <charconv>
#include <cmath>
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

// UTC, "2026-12-08T14:10:25Z" (with ".250" before the Z for a round), from
// the days since 1970 by the civil calendar's arithmetic: a day of rows is
// written without a call into the C library for each.
void put_time(std::string& out, const HistoryQuery& query, double t) {
    const auto millis = static_cast<std::int64_t>(std::llround(t * 1000));
    const std::int64_t seconds = millis / 1000;
    std::int64_t z = seconds / 86400 + 719468;
    const std::int64_t era = z / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = yoe + era * 400 + (month <= 2);
    const std::int64_t in_day = seconds % 86400;
    char text[40];
    int n = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d",
                          static_cast<int>(year), static_cast<int>(month), static_cast<int>(day),
                          static_cast<int>(in_day / 3600), static_cast<int>(in_day / 60 % 60),
                          static_cast<int>(in_day % 60));
    if (query.step == 0)
        n += std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(millis % 1000));
    out.append(text, static_cast<std::size_t>(n));
    out += 'Z';
}

void put_unix(std::string& out, double t) {
    const auto millis = static_cast<std::uint64_t>(std::llround(t * 1000));
    char text[24];
    const auto end = std::to_chars(text, text + sizeof text, millis / 1000);
    out.append(text, end.ptr);
    if (millis % 1000 == 0) return;
    char fraction[4] = {'.', static_cast<char>('0' + millis / 100 % 10),
                        static_cast<char>('0' + millis / 10 % 10),
                        static_cast<char>('0' + millis % 10)};
    std::size_t length = 4;
    while (fraction[length - 1] == '0') --length;
    out.append(fraction, length);
}

const char* online_text(HistoryTable::Seen online) {
    return online == HistoryTable::Online ? "true" : online == HistoryTable::Offline ? "false" : "";
}

enum class Part { Min, Mean, Max };

// The cell's value, or nothing for a gap; whether there was one.
bool put_cell(std::string& out, const HistoryTable::Cell& cell, std::size_t series, Part part) {
    if (!cell.has) return false;
    if (part == Part::Mean) put_mean(out, series, cell.mean);
    else put_word(out, series, part == Part::Min ? cell.min : cell.max);
    return true;
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
            if (!put_cell(out, table.cells[row * width + k], s, part)) out += "null";
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
    out.reserve(table.cells.size() * 3 * 6 + table.times.size() * 48);
    for (std::size_t row = 0; row < table.times.size(); ++row) {
        out += row > 0 ? ",\"" : "\"";
        put_time(out, query, table.times[row]);
        out += '"';
    }
    out += "],\"unix\":[";
    for (std::size_t row = 0; row < table.times.size(); ++row) {
        if (row > 0) out += ',';
        put_unix(out, table.times[row]);
    }
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
    out.reserve(out.size() + table.cells.size() * 3 * 6 + table.times.size() * 32);
    for (std::size_t row = 0; row < table.times.size(); ++row) {
        put_time(out, query, table.times[row]);
        out += ',';
        out += online_text(table.online[row]);
        for (std::size_t k = 0; k < width; ++k)
            for (const Part part : {Part::Min, Part::Mean, Part::Max}) {
                out += ',';  // a number needs no quotes
                put_cell(out, table.cells[row * width + k], query.series[k], part);
            }
        out += "\r\n";
    }
    return out;
}

}  // namespace quillark_agent
