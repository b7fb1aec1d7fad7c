#include "tools/agent/publish/web.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>

#include <httplib.h>

#include "tools/agent/publish/metrics.h"
#include "tools/agent/publish/router.h"
#include "tools/agent/publish/views.h"
#include "tools/agent/clock.h"

namespace quillark_agent {
namespace {

constexpr const char* kJson = "application/json; charset=utf-8";

const char* content_type(const std::string& path) {
    auto ends = [&](const char* tail) {
        const std::size_t n = std::strlen(tail);
        return path.size() >= n && path.compare(path.size() - n, n, tail) == 0;
    };
    if (ends(".html")) return "text/html; charset=utf-8";
    if (ends(".js")) return "text/javascript; charset=utf-8";
    if (ends(".css")) return "text/css; charset=utf-8";
    if (ends(".svg")) return "image/svg+xml";
    return "application/octet-stream";
}

const WebAsset* asset(const std::string& path) {
    for (const WebAsset& a : kWebAssets)
        if (path == a.path) return &a;
    return nullptr;
}

void serve_asset(const std::string& path, httplib::Response& res) {
    const WebAsset* a = asset(path);
    if (a == nullptr) {
        res.status = 404;
        return;
    }
    res.set_content(reinterpret_cast<const char*>(a->data), a->size, content_type(path));
    res.set_header("Cache-Control", "no-cache");
}

void not_found(httplib::Response& res, const char* what) {
    res.status = 404;
    res.set_content(std::string("{\"error\":\"") + what + "\"}", kJson);
}

std::string views_and(
    const ViewSource& views,
    const std::function<std::string(std::vector<UnitView>&, std::vector<LinkView>&)>& render) {
    std::vector<UnitView> units;
    std::vector<LinkView> links;
    views(units, links);
    return render(units, links);
}

void unit_answer(const ViewSource& views, const Route& r, httplib::Response& res) {
    std::vector<UnitView> units;
    std::vector<LinkView> links;
    views(units, links);
    for (const UnitView& u : units) {
        if (u.name != r.name) continue;
        if (r.answer == Answer::UnitStatus) {
            if (!u.status) break;
            res.set_content(*u.status, kJson);
            return;
        }
        const LinkView* link = nullptr;
        for (const LinkView& l : links)
            if (l.name == u.link) link = &l;
        res.set_content(render_unit(u, link, unix_now()), kJson);
        return;
    }
    not_found(res, r.answer == Answer::UnitStatus ? "no such unit, or no complete round yet"
                                                  : "no such unit");
}

// ?unit=&kind=&since=&limit= of /api/events; since is Unix seconds or UTC
// ISO 8601 ("2026-12-08T14:10:25Z"); limit at most 1000 (default 100).
void events_answer(const Route& r, const httplib::Request& req, const EventSource& events,
                   httplib::Response& res) {
    const std::string unit = r.name.empty() ? req.get_param_value("unit") : r.name;
    double since = 0;
    std::size_t limit = 100;
    const std::string since_text = req.get_param_value("since");
    const std::string limit_text = req.get_param_value("limit");
    char* end = nullptr;
    if (!since_text.empty()) since = parse_time(since_text);
    if (!limit_text.empty()) {
        const unsigned long n = std::strtoul(limit_text.c_str(), &end, 10);
        limit = *end == '\0' && n >= 1 && n <= 1000 ? n : 0;
    }
    if (since < 0 || limit == 0) {
        res.status = 400;
        res.set_content(
            "{\"error\":\"since is Unix seconds or YYYY-MM-DDTHH:MM:SSZ; limit is 1..1000\"}",
            kJson);
        return;
    }
    res.set_content(events(unit, req.get_param_value("kind"), since, limit), kJson);
}

// ?points=&from=&to=&step= of a unit's history.
void history_answer(const Route& r, const httplib::Request& req, const HistorySource& history,
                    httplib::Response& res) {
    HistoryParams params;
    params.points = req.get_param_value("points");
    params.from = req.get_param_value("from");
    params.to = req.get_param_value("to");
    params.step = req.get_param_value("step");
    const bool csv = r.answer == Answer::HistoryCsv;
    HistoryAnswer a = history(r.name, params, csv);
    res.status = a.status;
    if (csv && a.status == 200)
        res.set_header("Content-Disposition",
                       "attachment; filename=\"" + r.name + "-history.csv\"");
    res.set_content(std::move(a.body), a.type);
}

// The chart library, read once from the system's package; until the package
// is there, the page draws no charts and says why.
void serve_vendor(httplib::Response& res) {
    static std::mutex mutex;
    static std::string library;
    std::lock_guard<std::mutex> lock(mutex);
    if (library.empty()) {
        std::ifstream in(kChartLibrary, std::ios::binary);
        std::ostringstream all;
        if (in) all << in.rdbuf();
        library = all.str().substr(0, 4 << 20);
    }
    if (library.empty()) {
        res.status = 404;
        res.set_content(std::string("chart library not installed: ") + kChartLibrary,
                        "text/plain; charset=utf-8");
        return;
    }
    res.set_content(library, "text/javascript; charset=utf-8");
    res.set_header("Cache-Control", "max-age=86400");
}

// Streamed as it is made, from views taken now: a scrape holds the text of
// one piece at a time, not of the whole hall.
void serve_metrics(const ViewSource& views, const MoreMetrics& more, httplib::Response& res) {
    auto units = std::make_shared<std::vector<UnitView>>();
    auto links = std::make_shared<std::vector<LinkView>>();
    views(*units, *links);
    auto tail = std::make_shared<std::string>(more());
    res.set_chunked_content_provider(
        "text/plain; version=0.0.4; charset=utf-8",
        [units, links, tail](std::size_t, httplib::DataSink& sink) {
            render_metrics(*units, *links, [&sink](const char* data, std::size_t size) {
                return sink.write(data, size);
            });
            sink.write(tail->data(), tail->size());
            sink.done();
            return true;
        });
}

void answer(const Route& r, const ViewSource& views, const MoreMetrics& more,
            httplib::Response& res) {
    switch (r.answer) {
        case Answer::Page: serve_asset("/index.html", res); return;
        case Answer::Asset: serve_asset(r.name, res); return;
        case Answer::Metrics: serve_metrics(views, more, res); return;
        case Answer::Events:
        case Answer::History:
        case Answer::HistoryCsv: return;  // answered with the request's query
        case Answer::Vendor: serve_vendor(res); return;
        case Answer::Units:
            res.set_content(views_and(views, [](auto& units,
                                                auto&) { return render_units(units, unix_now()); }),
                            kJson);
            return;
        case Answer::Unit:
        case Answer::UnitStatus: unit_answer(views, r, res); return;
        case Answer::BadRequest: res.status = 400; return;
        case Answer::NotFound: res.status = 404; return;
    }
}

}  // namespace

void add_routes(httplib::Server& server, ViewSource views, TokenSource token_source,
                EventSource events, MoreMetrics more_metrics, HistorySource history) {
    server.set_default_headers(
        {{"X-Content-Type-Options", "nosniff"},
         {"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'"},
         {"Referrer-Policy", "no-referrer"}});
    // Every path through one decision (router.h), ahead of cpp-httplib's own
    // pattern matching; one page serves the overview and every unit, and the
    // script tells them apart. Other methods find nothing, as before.
    server.set_pre_routing_handler([views, token_source, events, more_metrics, history](
                                       const httplib::Request& req, httplib::Response& res) {
        if (req.method != "GET" && req.method != "HEAD")
            return httplib::Server::HandlerResponse::Unhandled;
        const Route r = route(req.target);
        if (r.guarded) {
            const std::string token = token_source();
            if (!token.empty() && !bearer_matches(req.get_header_value("Authorization"), token)) {
                res.status = 401;
                res.set_header("WWW-Authenticate", "Bearer");
                res.set_content("{\"error\":\"a bearer token is required\"}", kJson);
                return httplib::Server::HandlerResponse::Handled;
            }
        }
        if (r.answer == Answer::Events) events_answer(r, req, events, res);
        else if (r.answer == Answer::History || r.answer == Answer::HistoryCsv)
            history_answer(r, req, history, res);
        else answer(r, views, more_metrics, res);
        return httplib::Server::HandlerResponse::Handled;
    });
}

}  // namespace quillark_agent
