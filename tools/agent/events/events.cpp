#include "tools/agent/events/events.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <set>
#include <stdexcept>
#include <tuple>

#include <json/writer.h>

#include "tools/agent/log.h"
#include "tools/agent/clock.h"

namespace quillark_agent {
namespace {

std::shared_ptr<Notifier> make_notifier(const std::vector<NotifyRule>& rules) {
    if (rules.empty()) return nullptr;
    return std::make_shared<Notifier>(rules, NotifyLimits{},
                                      [](const std::string& line) { log::warning(line); });
}

}  // namespace

ScratchStateDir::ScratchStateDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/quillark-agent-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot make a directory for the event journal in " +
                                 pattern.substr(0, pattern.rfind('/')) + ": " +
                                 std::strerror(errno));
    path_ = pattern;
}

namespace {

// The journal's files and the history's folder of files, and the folders
// themselves. readdir64: on a 32-bit controller plain readdir ends at the
// first entry whose inode number does not fit 32 bits, as on many a modern
// file system, and the directory would be left behind.
void remove_tree(const std::string& path, int depth) {
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent64* entry = ::readdir64(dir)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            const std::string inner = path + "/" + name;
            if (::unlink(inner.c_str()) != 0 && errno == EISDIR && depth > 0)
                remove_tree(inner, depth - 1);
        }
        ::closedir(dir);
    }
    ::rmdir(path.c_str());
}

}  // namespace

ScratchStateDir::~ScratchStateDir() { remove_tree(path_, 2); }

std::string state_directory(const AgentConfig& config) {
    if (!config.state_dir.empty()) return config.state_dir;
    // systemd may name several, separated by ':'; the first is ours.
    const char* made = std::getenv("STATE_DIRECTORY");
    if (made == nullptr) return {};
    const std::string dirs(made);
    return dirs.substr(0, dirs.find(':'));
}

EventDesk::EventDesk(const std::string& state_dir, const std::vector<NotifyRule>& rules,
                     Publisher& next)
    : RelayPublisher(next),
      journal_(std::make_shared<Journal>(state_dir, JournalLimits{},
                                         [](const std::string& line) { log::warning(line); })),
      notifier_(make_notifier(rules)) {
    link_->desk = this;
}

// The journal may outlive the desk in an MQTT client still sending from it;
// what the desk took is on disk when the desk goes.
EventDesk::~EventDesk() {
    {
        std::lock_guard<std::mutex> lock(link_->mutex);
        link_->desk = nullptr;
    }
    journal_->flush();
}

EventFeed EventDesk::feed() {
    std::shared_ptr<Journal> journal = journal_;
    std::shared_ptr<Link> link = link_;
    return {journal_, [journal, link](const Event& event) {
                std::lock_guard<std::mutex> lock(link->mutex);
                if (link->desk != nullptr) link->desk->record(event);
                else journal->append(event);
            }};
}

Event EventDesk::record(const Event& event) {
    const Event kept = journal_->append(event);
    std::shared_ptr<Notifier> notifier;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        notifier = notifier_;
    }
    if (notifier) notifier->event(kept);
    return kept;
}

void EventDesk::event(const Event& event) { next_.event(record(event)); }

void EventDesk::agent_event(const char* kind, Json::Value extra) {
    Event e;
    e.kind = kind;
    e.time = unix_now();
    e.extra = std::move(extra);
    event(e);
}

void EventDesk::set_rules(const std::vector<NotifyRule>& rules) {
    std::shared_ptr<Notifier> next = make_notifier(rules);
    std::shared_ptr<Notifier> old;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        old = std::move(notifier_);
        notifier_ = std::move(next);
        if (old) retired_failures_ += old->failures();
    }
    // The old rules' commands end (or meet their limit) outside the lock.
    old.reset();
}

std::uint64_t EventDesk::notify_failures() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return retired_failures_ + (notifier_ ? notifier_->failures() : 0);
}

bool same_rules(const std::vector<NotifyRule>& a, const std::vector<NotifyRule>& b) {
    auto fields = [](const NotifyRule& r) {
        return std::tie(r.events, r.units, r.points, r.command, r.hold_s, r.repeat_s);
    };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](const NotifyRule& x, const NotifyRule& y) {
               return fields(x) == fields(y);
           });
}

std::string notify_metrics(std::uint64_t failures) {
    return "# HELP quillark_notify_failures_total Notify commands that failed, timed out or could not run\n"
           "# TYPE quillark_notify_failures_total counter\n"
           "quillark_notify_failures_total " +
           std::to_string(failures) + "\n";
}

Json::Value event_json_utc(const Event& event) {
    Json::Value item = event_json(event);
    item["time"] = iso_time(event.time);
    return item;
}

std::string render_events(const Journal& journal, const std::string& unit, const std::string& kind,
                          double since, std::size_t limit) {
    std::set<std::string> kinds;
    for (std::size_t at = 0; !kind.empty() && at <= kind.size();) {
        const std::size_t comma = std::min(kind.find(',', at), kind.size());
        kinds.insert(kind.substr(at, comma - at));
        at = comma + 1;
    }
    const auto events = journal.recent(
        [&](const Event& e) {
            return (unit.empty() || e.unit == unit) && (kinds.empty() || kinds.count(e.kind) > 0) &&
                   e.time >= since;
        },
        limit);
    const std::set<std::uint64_t> raised = journal.raised_now();
    Json::Value list(Json::arrayValue);
    for (const Event& e : events) {
        Json::Value item = event_json_utc(e);
        if (raised.count(e.seq) > 0) item["still_raised"] = true;
        list.append(item);
    }
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, list);
}

}  // namespace quillark_agent
