// Wall-clock time as the agent tells it: events, "since" and the API carry
// Unix seconds, UTC, written as ISO 8601.
#pragma once

#include <string>

namespace quillark_agent {

double unix_now();

// UTC, "2026-12-08T14:10:25Z".
std::string iso_time(double unix_seconds);

}  // namespace quillark_agent
