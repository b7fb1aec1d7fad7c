// File and process chores the poller and the simulator share.
#pragma once

#include <string>

namespace quillark_tools {

// Writes `bytes` to PATH.part and renames it over `path`, so a reader finds
// the old content or the new one, never half of it. Throws
// std::runtime_error naming the file and the system's reason.
void save_beside(const std::string& path, const std::string& bytes);

// Runs `handler` on SIGINT and SIGTERM; it must be async-signal-safe.
void on_stop_signals(void (*handler)(int));

}  // namespace quillark_tools
