// The event journal: what happened to the units (alarms raised and cleared,
// units and links lost and back, writes, reloads), appended as JSON Lines to
// a file in the agent's state directory and read back at start, so that the
// night's events survive a restart and an alarm keeps its "since".
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <json/value.h>

#include "tools/agent/fleet/publisher.h"

namespace quillark_agent {

// One line of JSON without the line feed, and back; false for a line that is
// not an event (torn by a power cut, or not ours).
Json::Value event_json(const Event& event);
std::string event_line(const Event& event);
bool parse_event_line(const std::string& line, Event& event);

struct JournalLimits {
    // The file is rotated past this size: at most twice it on disk.
    std::uintmax_t file_bytes = 4u << 20;
    // The newest events kept in memory for the page and the API.
    std::size_t in_memory = 2000;
    // How long an event may wait in memory before it is written.
    int flush_ms = 1000;
};

class Journal {
public:
    // Reads back DIR/events.1.jsonl then DIR/events.jsonl, skipping torn or
    // foreign lines (`warn` is told how many), and starts the writer.
    // Throws std::runtime_error when DIR cannot be written. An empty DIR
    // keeps the events in memory only.
    Journal(std::string dir, JournalLimits limits = {},
            std::function<void(const std::string&)> warn = {});
    ~Journal();  // writes what is still in memory
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Takes the event's seq and keeps it; on disk within flush_ms.
    Event append(Event event);
    void flush();

    // The newest kept events that `keep` accepts, newest first, at most `limit`.
    std::vector<Event> recent(const std::function<bool(const Event&)>& keep,
                              std::size_t limit) const;
    // Events after `seq`, oldest first, at most `limit` (for a broker that returns).
    std::vector<Event> since(std::uint64_t seq, std::size_t limit) const;
    std::uint64_t last_seq() const;
    // The seq of each alarm_raised whose alarm has not been cleared since
    // (the newest per unit and point).
    std::set<std::uint64_t> raised_now() const;
    // Alarms raised and not cleared in what was read back: (unit, point) -> when raised.
    std::map<std::pair<std::string, std::string>, double> open_alarms() const;
    const std::string& path() const { return path_; }

private:
    void read_back(const std::string& file, std::size_t& torn);
    void keep(const Event& event);  // with mutex_ held
    void write_pending();           // with write_mutex_ held
    void run();

    const std::string dir_;
    const std::string path_;
    const JournalLimits limits_;
    mutable std::mutex mutex_;  // guards the fields below
    std::deque<Event> kept_;
    std::vector<std::string> pending_;  // lines not yet on disk
    std::map<std::pair<std::string, std::string>, double> open_alarms_;
    std::map<std::pair<std::string, std::string>, std::uint64_t> raised_seq_;
    std::uint64_t seq_ = 0;
    bool stopping_ = false;
    std::condition_variable wake_;
    std::mutex write_mutex_;  // one writer of the file at a time
    std::thread writer_;
};

// Where the MQTT clients take the events from: the journal, and what records
// an event of their own (events_dropped) in it and tells the notify rules.
struct EventFeed {
    std::shared_ptr<const Journal> journal;
    std::function<void(const Event&)> record;
};

}  // namespace quillark_agent
