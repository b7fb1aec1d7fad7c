// A unit's history on disk, in the state directory: a header naming the
// series, then minutes and rounds appended as they are made, so that a save
// writes only what is new (a controller's flash wears with every write). A
// later copy of a minute replaces an earlier one. When the appends have grown
// the file past a few days' worth, it is written anew, whole, beside it and
// renamed over it. A file cut short (the agent killed mid-write) keeps every
// whole record before the cut.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/agent/history/unit_history.h"

namespace quillark_agent {

class HistoryFile {
public:
    explicit HistoryFile(std::string path) : path_(std::move(path)) {}
    const std::string& path() const { return path_; }

    // Takes into `history` what the file kept of the day before `now`; a
    // file of another kind is left as it is and history starts empty.
    // Returns "" or what was wrong with the file.
    std::string load(UnitHistory& history, double now);

    // Under the unit's lock: the bytes to write for what was made since the
    // last save; `all` takes the minute still being filled too (at a stop).
    std::string take_new(const UnitHistory& history, bool all);
    // Without the lock: writes them. Returns "" or what went wrong.
    std::string write(const std::string& bytes);

    // Whole records from `bytes` into `history` (for the loader and the fuzzer).
    static void decode(const std::string& bytes, UnitHistory& history, double now);
    static std::string encode_all(const UnitHistory& history);

private:
    std::string path_;
    std::uint32_t saved_minute_ = 0;  // the newest minute written
    std::uint64_t saved_rounds_ = 0;  // rounds_added() at the last save
    std::size_t size_ = 0;            // bytes in the file
    bool whole_ = false;              // next write replaces the file
};

}  // namespace quillark_agent
