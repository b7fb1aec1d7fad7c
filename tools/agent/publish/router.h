// What the agent's HTTP face decides about a request, as plain functions of
// its bytes: where a request ends on the wire, which answer a path gets, and
// whether the Authorization header carries the token. No sockets here, so
// each can be driven alone.
#pragma once

#include <cstddef>
#include <string>

namespace quillark_agent {

// Where the first request in `data` ends: its head up to the empty line, and
// a body as long as Content-Length says. Transfer-Encoding is not taken (no
// answer wants a body), nor two Content-Lengths that disagree.
struct Framing {
    enum Kind { Incomplete, Complete, TooLarge, Bad } kind = Incomplete;
    std::size_t length = 0;  // bytes of the request when Complete
};
Framing frame_request(const char* data, std::size_t size, std::size_t limit);

enum class Answer {
    Page,        // the live page: "/", "/events" and "/units/<name>"
    Asset,       // a file of the page; `name` is its path
    Metrics,     // Prometheus text
    Units,       // /api/units
    Unit,        // /api/units/<name>
    UnitStatus,  // /api/units/<name>/status
    Events,      // /api/events, and /api/units/<name>/events with `name`
    History,     // /api/units/<name>/history
    HistoryCsv,  // /api/units/<name>/history.csv
    Vendor,      // a library the page uses, from the system's packages; `name` is its path
    NotFound,
    BadRequest,  // a path whose %-escapes are broken
};

struct Route {
    Answer answer = Answer::NotFound;
    std::string name;      // the unit, or the asset's path
    bool guarded = false;  // /metrics and everything under /api/ need the token
};

// The answer to a request target as sent ("/api/units/ac01?x=1"). The path
// is %-decoded first; the query is left aside, since no answer takes one.
Route route(const std::string& target);

// "Bearer <token>", the scheme in any case (HTTP's auth schemes are), compared
// without leaving the position of a first difference in the timing.
bool bearer_matches(const std::string& authorization, const std::string& token);

}  // namespace quillark_agent
