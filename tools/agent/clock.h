// Wall-clock time as the agent tells it: events, "since" and the API carry
// Unix seconds, UTC, written as ISO 8601.
#pragma once

#include <string>

namespace quillark_agent {

double unix_now();

// UTC, "2026-12-08T14:10:25Z".
std::string iso_time(double unix_seconds);
// The same to the millisecond, "2026-12-08T14:10:25.250Z".
std::string iso_time_ms(double unix_seconds);

// Unix seconds from what a caller gives: a number of seconds, or UTC ISO 8601
// ("2026-12-08T14:10:25Z"); -1 for anything else, or a time before 1970.
double parse_time(const std::string& text);

}  // namespace quillark_agent
