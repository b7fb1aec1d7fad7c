#include "web.h"

#include <chrono>
#include <cstring>

#include <httplib.h>

#include "metrics.h"
#include "views.h"

namespace quillark_agent {
namespace {

constexpr const char* kJson = "application/json; charset=utf-8";

double unix_now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Compares without leaving the position of the first difference in the timing.
bool same_secret(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

bool guarded(const std::string& path) { return path == "/metrics" || path.rfind("/api/", 0) == 0; }

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

void add_api(httplib::Server& server, const ViewSource& views) {
    server.Get("/metrics", [views](const httplib::Request&, httplib::Response& res) {
        std::vector<UnitView> units;
        std::vector<LinkView> links;
        views(units, links);
        res.set_content(render_metrics(units, links), "text/plain; version=0.0.4; charset=utf-8");
    });
    server.Get("/api/units", [views](const httplib::Request&, httplib::Response& res) {
        std::vector<UnitView> units;
        std::vector<LinkView> links;
        views(units, links);
        res.set_content(render_units(units, unix_now()), kJson);
    });
    server.Get(R"(/api/units/([A-Za-z0-9_-]+))", [views](const httplib::Request& req, httplib::Response& res) {
        std::vector<UnitView> units;
        std::vector<LinkView> links;
        views(units, links);
        for (const UnitView& u : units) {
            if (u.name != req.matches[1]) continue;
            const LinkView* link = nullptr;
            for (const LinkView& l : links)
                if (l.name == u.link) link = &l;
            res.set_content(render_unit(u, link, unix_now()), kJson);
            return;
        }
        not_found(res, "no such unit");
    });
    server.Get(R"(/api/units/([A-Za-z0-9_-]+)/status)", [views](const httplib::Request& req, httplib::Response& res) {
        std::vector<UnitView> units;
        std::vector<LinkView> links;
        views(units, links);
        for (const UnitView& u : units) {
            if (u.name != req.matches[1]) continue;
            if (u.status.empty()) break;
            res.set_content(u.status, kJson);
            return;
        }
        not_found(res, "no such unit, or no complete round yet");
    });
}

}  // namespace

void add_routes(httplib::Server& server, ViewSource views, TokenSource token_source) {
    server.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                                {"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'"},
                                {"Referrer-Policy", "no-referrer"}});
    server.set_pre_routing_handler([token_source](const httplib::Request& req, httplib::Response& res) {
        if (!guarded(req.path)) return httplib::Server::HandlerResponse::Unhandled;
        const std::string token = token_source();
        if (token.empty()) return httplib::Server::HandlerResponse::Unhandled;
        if (same_secret(req.get_header_value("Authorization"), "Bearer " + token))
            return httplib::Server::HandlerResponse::Unhandled;
        res.status = 401;
        res.set_header("WWW-Authenticate", "Bearer");
        res.set_content("{\"error\":\"a bearer token is required\"}", kJson);
        return httplib::Server::HandlerResponse::Handled;
    });
    add_api(server, views);
    // One page for the overview and for every unit; the script tells them apart.
    for (const char* page : {"/", R"(/units/[A-Za-z0-9_-]+)"})
        server.Get(page, [](const httplib::Request&, httplib::Response& res) { serve_asset("/index.html", res); });
    for (const char* file : {"/app.js", "/style.css", "/favicon.svg"})
        server.Get(file, [file](const httplib::Request&, httplib::Response& res) { serve_asset(file, res); });
    server.Get("/favicon.ico", [](const httplib::Request&, httplib::Response& res) { serve_asset("/favicon.svg", res); });
}

}  // namespace quillark_agent
