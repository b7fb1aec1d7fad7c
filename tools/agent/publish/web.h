// The agent's HTTP face: the live page, its JSON API and the Prometheus
// metrics, behind a bearer token when one is configured.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "tools/agent/fleet/fleet.h"
#include "tools/agent/history/history.h"

namespace httplib {
class Server;
}

namespace quillark_agent {

// A file of the page, embedded at build time from tools/agent/publish/web/.
struct WebAsset {
    const char* path;  // "/app.js"
    const unsigned char* data;
    std::size_t size;
};
extern const std::vector<WebAsset> kWebAssets;

// Fills the views of every unit and link, as Fleet::views does.
using ViewSource = std::function<void(std::vector<UnitView>&, std::vector<LinkView>&)>;

// The bearer token in force, "" for none; asked on every request, so a new
// token takes effect without a new listener.
using TokenSource = std::function<std::string()>;

// The events as JSON, newest first: unit and kind ("" for any), from `since`
// (Unix seconds), at most `limit`.
using EventSource = std::function<std::string(const std::string& unit, const std::string& kind,
                                              double since, std::size_t limit)>;
// Metric families beyond the units' and links' (the agent's own counters).
using MoreMetrics = std::function<std::string()>;

// A unit's history, as JSON or (csv) CSV.
using HistorySource =
    std::function<HistoryAnswer(const std::string& unit, const HistoryParams& params, bool csv)>;

// Where the page's chart library is read from: Debian's libjs-chart.js.
inline constexpr const char* kChartLibrary = "/usr/share/javascript/chart.js/chart.min.js";

// Adds every route to the server. With a token, /api/ and /metrics answer 401
// unless the request carries "Authorization: Bearer <token>" (the scheme in
// any case); the page itself is served to anyone, and asks for the token.
void add_routes(httplib::Server& server, ViewSource views, TokenSource token, EventSource events,
                MoreMetrics more_metrics, HistorySource history);

}  // namespace quillark_agent
