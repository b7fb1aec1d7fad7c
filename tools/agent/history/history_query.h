// A question to a unit's history and its answer as a table: the rows of a
// time range, round by round or in buckets of whole minutes, each with the
// minimum, mean and maximum of the points asked for, and gaps left as gaps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/agent/history/unit_history.h"

namespace quillark_agent {

struct HistoryQuery {
    std::vector<std::size_t> series;  // in the order asked
    double from = 0;                  // Unix seconds, from included
    double to = 0;                    // to excluded
    int step = 0;                     // seconds, a multiple of 60; 0: every round
};

// At most this many rows in one answer: an hour of rounds at 1 s with its
// gaps, or a day of minutes, and bounded whatever is asked.
inline constexpr std::size_t kMaxRows = 5000;

// What the caller gave (empty when not given), as the API takes it; "" when
// it makes a query, else what is wrong with it. `now` gives the defaults:
// the last hour, round by round when it starts within the last hour.
struct HistoryParams {
    std::string points, from, to, step;
};
std::string make_query(const HistoryParams& params, double now, HistoryQuery& query);

struct HistoryTable {
    enum Seen : std::int8_t { Unknown = -1, Offline = 0, Online = 1 };
    struct Cell {
        bool has = false;
        std::uint16_t min = 0, max = 0;
        double mean = 0;  // in words
    };
    std::vector<double> times;  // each row's start (a bucket) or time (a round)
    std::vector<Seen> online;
    std::vector<Cell> cells;  // row by row, the query's series in each
};

void fill_table(const UnitHistory& history, const HistoryQuery& query, HistoryTable& table);

// The table as the API answers it.
std::string render_json(const std::string& unit, const HistoryQuery& query,
                        const HistoryTable& table);
std::string render_csv(const HistoryQuery& query, const HistoryTable& table);

}  // namespace quillark_agent
