#include "tools/agent/history/history_query.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>

#include "tools/agent/clock.h"

namespace quillark_agent {
namespace {

constexpr double kDay = 86400;

std::string take_series(const std::string& points, std::vector<std::size_t>& series) {
    series.clear();
    if (points.empty()) {
        for (std::size_t s = 0; s < kSeries; ++s) series.push_back(s);
        return {};
    }
    std::size_t start = 0;
    while (start <= points.size()) {
        std::size_t end = points.find(',', start);
        if (end == std::string::npos) end = points.size();
        const std::string id = points.substr(start, end - start);
        const std::size_t s = series_of(id);
        if (s == kSeries) return "no history is kept of point '" + id.substr(0, 64) + "'";
        if (std::find(series.begin(), series.end(), s) == series.end()) series.push_back(s);
        start = end + 1;
    }
    return {};
}

// 0, or a multiple of 60 up to a day; -1 for anything else.
int take_step(const std::string& text) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    const int step = std::atoi(text.c_str());
    return step % 60 == 0 && step <= kDay ? step : -1;
}

}  // namespace

std::string make_query(const HistoryParams& params, double now, HistoryQuery& query) {
    if (std::string problem = take_series(params.points, query.series); !problem.empty())
        return problem;
    query.to = params.to.empty() ? now : parse_time(params.to);
    query.from = params.from.empty() ? query.to - 3600 : parse_time(params.from);
    if (query.from < 0 || query.to < 0)
        return "from and to are Unix seconds or YYYY-MM-DDTHH:MM:SSZ";
    if (query.from >= query.to) return "from must come before to";
    query.step = params.step.empty() ? (query.from >= now - UnitHistory::kRoundSpan - 60 ? 0 : 60)
                                     : take_step(params.step);
    if (query.step < 0) return "step is 0 (every round) or a multiple of 60 seconds, at most 86400";
    // Nothing is kept beyond the last day: the rows stay as many as a day has.
    query.to = std::min(query.to, now + 60);
    query.from = std::max(query.from, now - kDay - 60);
    if (query.from >= query.to) query.from = query.to - 60;
    if (query.step > 0) {
        query.from = std::floor(query.from / query.step) * query.step;
        if ((query.to - query.from) / query.step > kMaxRows)
            return "too many rows: ask for a shorter range or a larger step";
    }
    return {};
}

namespace {

void add_row(HistoryTable& table, double time, HistoryTable::Seen online, std::size_t width) {
    table.times.push_back(time);
    table.online.push_back(online);
    table.cells.resize(table.cells.size() + width);
}

void fill_rounds(const UnitHistory& history, const HistoryQuery& query, HistoryTable& table) {
    const std::size_t width = query.series.size();
    // Rounds further apart than this had rounds missing between them, or
    // none polled: a gap, which a chart must not bridge.
    const double apart = history.interval() * 2.5 + 0.5;
    double last = -1;
    history.rounds([&](const UnitHistory::Round& round) {
        const double t = round.second + (round.millis & 0x3FF) / 1000.0;
        if (t < query.from || t >= query.to || table.times.size() + 2 > kMaxRows) return;
        if (last >= 0 && t - last > apart)
            add_row(table, last + history.interval(), HistoryTable::Unknown, width);
        last = t;
        const bool complete = (round.millis & UnitHistory::kComplete) != 0;
        add_row(table, t, complete ? HistoryTable::Online : HistoryTable::Offline, width);
        if (!complete) return;
        HistoryTable::Cell* cells = &table.cells[table.cells.size() - width];
        for (std::size_t k = 0; k < width; ++k) {
            const std::uint16_t w = round.words[query.series[k]];
            if (is_value(query.series[k], w)) cells[k] = {true, w, w, static_cast<double>(w)};
        }
    });
}

void fill_bucket(const UnitHistory& history, const HistoryQuery& query, double start,
                 HistoryTable& table) {
    const std::size_t width = query.series.size();
    add_row(table, start, HistoryTable::Unknown, width);
    HistoryTable::Cell* cells = &table.cells[table.cells.size() - width];
    std::array<double, kSeries> weight{};  // each series' rounds, for its mean
    const auto first = static_cast<std::uint32_t>(start / 60);
    for (std::uint32_t m = first; m < first + static_cast<std::uint32_t>(query.step / 60); ++m) {
        const UnitHistory::Minute* minute = history.minute_at(m);
        if (minute == nullptr) continue;
        if (minute->complete > 0) table.online.back() = HistoryTable::Online;
        else if (minute->failed > 0 && table.online.back() == HistoryTable::Unknown)
            table.online.back() = HistoryTable::Offline;
        for (std::size_t k = 0; k < width && minute->complete > 0; ++k) {
            const std::size_t s = query.series[k];
            if (minute->min[s] > minute->max[s]) continue;
            HistoryTable::Cell& c = cells[k];
            c.min = c.has ? std::min(c.min, minute->min[s]) : minute->min[s];
            c.max = c.has ? std::max(c.max, minute->max[s]) : minute->max[s];
            c.mean += UnitHistory::mean_words(*minute, s) * minute->complete;
            weight[k] += minute->complete;
            c.has = true;
        }
    }
    for (std::size_t k = 0; k < width; ++k)
        if (cells[k].has) cells[k].mean /= weight[k];
}

}  // namespace

void fill_table(const UnitHistory& history, const HistoryQuery& query, HistoryTable& table) {
    table = HistoryTable{};
    if (query.step == 0) {
        fill_rounds(history, query, table);
        return;
    }
    for (double start = query.from; start < query.to; start += query.step)
        fill_bucket(history, query, start, table);
}

}  // namespace quillark_agent
