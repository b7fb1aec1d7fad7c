// File and process chores the poller and the simulator share.
#pragma once

#include <cstddef>
#include <string>

#include <json/value.h>

namespace quillark_tools {

// Writes `bytes` to PATH.part and renames it over `path`, so a reader finds
// the old content or the new one, never half of it. Throws
// std::runtime_error naming the file and the system's reason.
void save_beside(const std::string& path, const std::string& bytes);

// Files handed to the tools are small: a settings object, an image.
constexpr std::size_t kMaxInputFile = 1024 * 1024;
constexpr int kMaxJsonDepth = 64;

// The whole content of a regular file of at most kMaxInputFile bytes. Never
// blocks on a FIFO or device. Throws std::runtime_error with the reason
// (the system's, or what is wrong with the file).
std::string read_small_file(const std::string& path);

// A JSON document nested at most kMaxJsonDepth deep; throws
// std::runtime_error with the parser's reason.
Json::Value parse_json(const std::string& text);

// Both of the above; the message names the file.
Json::Value read_json_file(const std::string& path);

// Runs `handler` on SIGINT and SIGTERM; it must be async-signal-safe.
void on_stop_signals(void (*handler)(int));

}  // namespace quillark_tools
