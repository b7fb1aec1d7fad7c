#include "web.h"

#include <chrono>
#include <cstring>

#include <httplib.h>

#include "metrics.h"
#include "router.h"
#include "views.h"

namespace quillark_agent {
namespace {

constexpr const char* kJson = "application/json; charset=utf-8";

double unix_now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

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

std::string views_and(const ViewSource& views, const std::function<std::string(std::vector<UnitView>&,
                                                                            std::vector<LinkView>&)>& render) {
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
            if (u.status.empty()) break;
            res.set_content(u.status, kJson);
            return;
        }
        const LinkView* link = nullptr;
        for (const LinkView& l : links)
            if (l.name == u.link) link = &l;
        res.set_content(render_unit(u, link, unix_now()), kJson);
        return;
    }
    not_found(res, r.answer == Answer::UnitStatus ? "no such unit, or no complete round yet" : "no such unit");
}

void answer(const Route& r, const ViewSource& views, httplib::Response& res) {
    switch (r.answer) {
        case Answer::Page: serve_asset("/index.html", res); return;
        case Answer::Asset: serve_asset(r.name, res); return;
        case Answer::Metrics:
            res.set_content(views_and(views, render_metrics), "text/plain; version=0.0.4; charset=utf-8");
            return;
        case Answer::Units:
            res.set_content(views_and(views, [](auto& units, auto&) { return render_units(units, unix_now()); }), kJson);
            return;
        case Answer::Unit:
        case Answer::UnitStatus: unit_answer(views, r, res); return;
        case Answer::BadRequest: res.status = 400; return;
        case Answer::NotFound: res.status = 404; return;
    }
}

}  // namespace

void add_routes(httplib::Server& server, ViewSource views, TokenSource token_source) {
    server.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                                {"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'"},
                                {"Referrer-Policy", "no-referrer"}});
    // Every path through one decision (router.h), ahead of cpp-httplib's own
    // pattern matching; one page serves the overview and every unit, and the
    // script tells them apart. Other methods find nothing, as before.
    server.set_pre_routing_handler([views, token_source](const httplib::Request& req, httplib::Response& res) {
        if (req.method != "GET" && req.method != "HEAD") return httplib::Server::HandlerResponse::Unhandled;
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
        answer(r, views, res);
        return httplib::Server::HandlerResponse::Handled;
    });
}

}  // namespace quillark_agent
