#include "tools/agent/publish/router.h"

#include <cstring>

namespace quillark_agent {
namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_letters(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Content-Length's digits, or -1 for anything else (a sign, a list, nothing).
long long content_length(const std::string& value, std::size_t limit) {
    if (value.empty()) return -1;
    long long n = 0;
    for (const char c : value) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + (c - '0');
        if (n > static_cast<long long>(limit)) return static_cast<long long>(limit) + 1;
    }
    return n;
}

// The body the head announces: its length, or -1 when the request cannot be
// framed.
long long body_length(const std::string& head, std::size_t limit) {
    long long length = 0;
    bool seen = false;
    std::size_t at = head.find("\r\n");  // past the request line
    while (at != std::string::npos && at + 2 < head.size()) {
        const std::size_t start = at + 2;
        const std::size_t end = head.find("\r\n", start);
        const std::string line = head.substr(start, end - start);
        at = end;
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string name = line.substr(0, colon);
        if (same_letters(name, "transfer-encoding")) return -1;
        if (!same_letters(name, "content-length")) continue;
        const long long n = content_length(trimmed(line.substr(colon + 1)), limit);
        if (n < 0 || (seen && n != length)) return -1;
        length = n;
        seen = true;
    }
    return length;
}

int hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = lower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool percent_decoded(const std::string& in, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out += in[i];
            continue;
        }
        if (i + 2 >= in.size()) return false;
        const int high = hex(in[i + 1]);
        const int low = hex(in[i + 2]);
        if (high < 0 || low < 0) return false;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

bool unit_name(const std::string& name) {
    if (name.empty()) return false;
    for (const char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-'))
            return false;
    return true;
}

// "/api/units/<name><tail>": the name, or "" when the path is not that.
std::string unit_in(const std::string& path, const char* head, const char* tail) {
    const std::size_t h = std::strlen(head);
    const std::size_t t = std::strlen(tail);
    if (path.size() <= h + t || path.compare(0, h, head) != 0 ||
        path.compare(path.size() - t, t, tail) != 0)
        return {};
    std::string name = path.substr(h, path.size() - h - t);
    return unit_name(name) ? name : std::string();
}

}  // namespace

Framing frame_request(const char* data, std::size_t size, std::size_t limit) {
    const std::string seen(data, size < limit ? size : limit);
    const std::size_t end = seen.find("\r\n\r\n");
    if (end == std::string::npos)
        return {size >= limit ? Framing::TooLarge : Framing::Incomplete, 0};
    const std::size_t head = end + 4;
    const long long body = body_length(seen.substr(0, end + 2), limit);
    if (body < 0) return {Framing::Bad, 0};
    if (static_cast<unsigned long long>(body) > limit - head) return {Framing::TooLarge, 0};
    const std::size_t length = head + static_cast<std::size_t>(body);
    if (size < length) return {Framing::Incomplete, 0};
    return {Framing::Complete, length};
}

Route route(const std::string& target) {
    Route r;
    std::string path;
    if (!percent_decoded(target.substr(0, target.find('?')), path)) {
        r.answer = Answer::BadRequest;
        return r;
    }
    r.guarded = path == "/metrics" || path.rfind("/api/", 0) == 0;
    if (path == "/metrics") r.answer = Answer::Metrics;
    else if (path == "/api/units") r.answer = Answer::Units;
    else if (path == "/api/events") r.answer = Answer::Events;
    else if (!(r.name = unit_in(path, "/api/units/", "/events")).empty()) r.answer = Answer::Events;
    else if (!(r.name = unit_in(path, "/api/units/", "/history")).empty())
        r.answer = Answer::History;
    else if (!(r.name = unit_in(path, "/api/units/", "/history.csv")).empty())
        r.answer = Answer::HistoryCsv;
    else if (!(r.name = unit_in(path, "/api/units/", "/status")).empty())
        r.answer = Answer::UnitStatus;
    else if (!(r.name = unit_in(path, "/api/units/", "")).empty()) r.answer = Answer::Unit;
    else if (path == "/" || path == "/events" || !unit_in(path, "/units/", "").empty())
        r.answer = Answer::Page;
    else if (path == "/app.js" || path == "/charts.js" || path == "/sparkline.js" ||
             path == "/style.css" || path == "/favicon.svg") {
        r.answer = Answer::Asset;
        r.name = path;
    } else if (path == "/vendor/chart.min.js") {
        r.answer = Answer::Vendor;
        r.name = path;
    } else if (path == "/favicon.ico") {
        r.answer = Answer::Asset;
        r.name = "/favicon.svg";
    }
    return r;
}

bool bearer_matches(const std::string& authorization, const std::string& token) {
    if (token.empty()) return false;
    const std::string value = trimmed(authorization);
    const std::size_t space = value.find(' ');
    if (space == std::string::npos || !same_letters(value.substr(0, space), "bearer")) return false;
    const std::string given = trimmed(value.substr(space + 1));
    if (given.size() != token.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < given.size(); ++i)
        diff |= static_cast<unsigned char>(given[i] ^ token[i]);
    return diff == 0;
}

}  // namespace quillark_agent
