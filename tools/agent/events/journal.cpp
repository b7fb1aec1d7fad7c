#include "tools/agent/events/journal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>

#include <json/reader.h>
#include <json/writer.h>

namespace quillark_agent {
namespace {

constexpr const char* kFile = "events.jsonl";
constexpr const char* kRotated = "events.1.jsonl";

void set_text(Json::Value& out, const char* name, const std::string& text) {
    if (!text.empty()) out[name] = text;
}

std::string text_of(const Json::Value& in, const char* name) {
    const Json::Value& value = in[name];
    return value.isString() ? value.asString() : std::string();
}

std::uintmax_t file_size(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uintmax_t>(st.st_size) : 0;
}

bool ends_with_line_feed(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in || in.tellg() <= 0) return true;
    in.seekg(-1, std::ios::end);
    return in.get() == '\n';
}

}  // namespace

Json::Value event_json(const Event& event) {
    Json::Value out(Json::objectValue);
    out["seq"] = Json::UInt64(event.seq);
    out["time"] = event.time;
    out["kind"] = event.kind;
    set_text(out, "unit", event.unit);
    set_text(out, "point", event.point);
    set_text(out, "key", event.key);
    set_text(out, "meaning", event.meaning);
    if (event.extra.isObject())
        for (const std::string& name : event.extra.getMemberNames())
            if (!out.isMember(name)) out[name] = event.extra[name];
    return out;
}

std::string event_line(const Event& event) {
    const Json::Value out = event_json(event);
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, out);
}

bool parse_event_line(const std::string& line, Event& event) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["stackLimit"] = 20;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value in;
    std::string errors;
    if (!reader->parse(line.data(), line.data() + line.size(), &in, &errors) || !in.isObject())
        return false;
    const Json::Value& seq = in["seq"];
    const Json::Value& time = in["time"];
    const Json::Value& kind = in["kind"];
    if (!seq.isUInt64() || seq.asUInt64() == 0 || !time.isNumeric() || !kind.isString())
        return false;
    event = Event{};
    event.seq = seq.asUInt64();
    event.time = time.asDouble();
    event.kind = kind.asString();
    event.unit = text_of(in, "unit");
    event.point = text_of(in, "point");
    event.key = text_of(in, "key");
    event.meaning = text_of(in, "meaning");
    for (const char* name : {"seq", "time", "kind", "unit", "point", "key", "meaning"})
        in.removeMember(name);
    if (!in.empty()) event.extra = in;
    return true;
}

Journal::Journal(std::string dir, JournalLimits limits,
                 std::function<void(const std::string&)> warn)
    : dir_(std::move(dir)),
      path_(dir_.empty() ? std::string() : dir_ + "/" + kFile),
      limits_(limits) {
    if (dir_.empty()) return;  // kept in memory only
    std::size_t torn = 0;
    read_back(dir_ + "/" + kRotated, torn);
    read_back(path_, torn);
    if (torn > 0 && warn)
        warn("event journal " + path_ + ": " + std::to_string(torn) +
             " unreadable line(s) skipped (cut short by a power loss?)");
    if (::access(dir_.c_str(), W_OK) != 0)
        throw std::runtime_error("event journal: cannot write to " + dir_ + ": " +
                                 std::strerror(errno));
    writer_ = std::thread([this] { run(); });
}

Journal::~Journal() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (writer_.joinable()) writer_.join();
    flush();
}

// Reads one file. An unreadable last line (a write cut short by a power
// loss) is cut off the file, and the file is left ending in a line feed, so
// that the next line appended starts on a line of its own.
void Journal::read_back(const std::string& file, std::size_t& torn) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return;
    std::string line;
    std::streamoff good_end = 0;
    bool cut_short = false;
    while (std::getline(in, line)) {
        const bool last_without_feed = in.eof();
        Event event;
        if (parse_event_line(line, event)) {
            std::lock_guard<std::mutex> lock(mutex_);
            keep(event);
            if (event.seq > seq_) seq_ = event.seq;
        } else if (!line.empty()) {
            ++torn;
            cut_short = last_without_feed;
        }
        if (!last_without_feed) good_end = in.tellg();
    }
    in.close();
    if (cut_short && ::truncate(file.c_str(), good_end) != 0) {
        // Kept as it is; the line feed below still separates it.
    }
    if (!ends_with_line_feed(file)) {
        if (FILE* out = std::fopen(file.c_str(), "ae")) {
            std::fputc('\n', out);
            std::fclose(out);
        }
    }
}

void Journal::keep(const Event& event) {
    kept_.push_back(event);
    while (kept_.size() > limits_.in_memory) kept_.pop_front();
    const auto where = std::make_pair(event.unit, event.point);
    if (event.kind == "alarm_raised") {
        open_alarms_.emplace(where, event.time);
        raised_seq_[where] = event.seq;
    } else if (event.kind == "alarm_cleared") {
        open_alarms_.erase(where);
        raised_seq_.erase(where);
    }
}

Event Journal::append(Event event) {
    std::lock_guard<std::mutex> lock(mutex_);
    event.seq = ++seq_;
    keep(event);
    if (!dir_.empty()) pending_.push_back(event_line(event));
    return event;
}

void Journal::flush() {
    std::lock_guard<std::mutex> lock(write_mutex_);
    write_pending();
}

void Journal::write_pending() {
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lines.swap(pending_);
    }
    if (lines.empty()) return;
    // Rotated before the line that would take the file past its size, so
    // neither file is ever larger than file_bytes (a longer line aside).
    std::uintmax_t size = file_size(path_);
    std::string text;
    auto write = [&] {
        if (text.empty()) return;
        if (FILE* out = std::fopen(path_.c_str(), "ae")) {
            std::fwrite(text.data(), 1, text.size(), out);
            std::fclose(out);
        }
        text.clear();
    };
    for (const std::string& line : lines) {
        if (size > 0 && size + line.size() + 1 > limits_.file_bytes) {
            write();
            std::rename(path_.c_str(), (dir_ + "/" + kRotated).c_str());
            size = 0;
        }
        text += line;
        text += '\n';
        size += line.size() + 1;
    }
    write();
}

void Journal::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        wake_.wait_for(lock, std::chrono::milliseconds(limits_.flush_ms));
        lock.unlock();
        flush();
        lock.lock();
    }
}

std::vector<Event> Journal::recent(const std::function<bool(const Event&)>& keep,
                                   std::size_t limit) const {
    std::vector<Event> out;
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = kept_.rbegin(); it != kept_.rend() && out.size() < limit; ++it)
        if (!keep || keep(*it)) out.push_back(*it);
    return out;
}

std::vector<Event> Journal::since(std::uint64_t seq, std::size_t limit) const {
    std::vector<Event> out;
    std::lock_guard<std::mutex> lock(mutex_);
    // In seq order: asked after every event while a broker is connected.
    auto it = std::upper_bound(kept_.begin(), kept_.end(), seq,
                               [](std::uint64_t s, const Event& e) { return s < e.seq; });
    for (; it != kept_.end() && out.size() < limit; ++it) out.push_back(*it);
    return out;
}

std::uint64_t Journal::last_seq() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seq_;
}

std::set<std::uint64_t> Journal::raised_now() const {
    std::set<std::uint64_t> out;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& raised : raised_seq_) out.insert(raised.second);
    return out;
}

std::map<std::pair<std::string, std::string>, double> Journal::open_alarms() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_alarms_;
}

}  // namespace quillark_agent
