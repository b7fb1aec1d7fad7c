// Where the fleet's events go besides MQTT: the event journal (on disk in
// the state directory) and the [[notify]] commands. It stands between the
// fleet and the publisher, passing everything else through.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "tools/agent/config/config.h"
#include "tools/agent/fleet/publisher.h"
#include "tools/agent/events/journal.h"
#include "tools/agent/events/notify.h"

namespace quillark_agent {

// Records every event in the journal and tells the [[notify]] commands,
// passing everything on.
class EventDesk : public RelayPublisher {
public:
    // `state_dir` empty: the events are kept in memory only. Throws
    // std::runtime_error when the directory cannot be written.
    EventDesk(const std::string& state_dir, const std::vector<NotifyRule>& rules, Publisher& next);
    ~EventDesk() override;

    void event(const Event& event) override;

    // An event of the agent itself ("agent_started", "config_reloaded", ...).
    void agent_event(const char* kind, Json::Value extra = Json::Value());
    // New [[notify]] rules for the events from now on.
    void set_rules(const std::vector<NotifyRule>& rules);

    const Journal& journal() const { return *journal_; }
    // For the MQTT clients, which send from the journal what the broker is
    // owed and record what they could not send. A client may outlive the
    // desk by its last messages: what it records then goes to the journal only.
    EventFeed feed();
    std::uint64_t notify_failures() const;

private:
    // Into the journal and the notify rules; what is kept, with its seq.
    Event record(const Event& event);
    // What a feed's record() reaches while the desk lives.
    struct Link {
        std::mutex mutex;
        EventDesk* desk = nullptr;
    };

    std::shared_ptr<Link> link_ = std::make_shared<Link>();
    std::shared_ptr<Journal> journal_;
    mutable std::mutex mutex_;  // guards notifier_
    std::shared_ptr<Notifier> notifier_;
    std::uint64_t retired_failures_ = 0;  // of notifiers replaced by set_rules
};

// A state directory of the agent's own for a run that has none (the
// built-in demo): made under $TMPDIR (else /tmp) at start and removed, with
// the journal in it, at stop. Throws std::runtime_error when it cannot be made.
class ScratchStateDir {
public:
    ScratchStateDir();
    ~ScratchStateDir();
    ScratchStateDir(const ScratchStateDir&) = delete;
    ScratchStateDir& operator=(const ScratchStateDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The state directory: [agent] state_dir, else the one systemd made for the
// service (STATE_DIRECTORY), else none.
std::string state_directory(const AgentConfig& config);

// Whether two lists of [[notify]] rules are the same (a reload keeps the
// running rules, and what they hold back, when they are).
bool same_rules(const std::vector<NotifyRule>& a, const std::vector<NotifyRule>& b);

// quillark_notify_failures_total, for /metrics.
std::string notify_metrics(std::uint64_t failures);

// An event as the API and MQTT give it: the journal's object with its time
// in UTC ("2026-12-08T14:10:25Z").
Json::Value event_json_utc(const Event& event);

// The events as the API gives them: newest first, filtered by unit, kind (one
// or several, separated by commas) and time (Unix seconds; 0: any), at most
// `limit`. An alarm_raised whose alarm has not been cleared since has
// "still_raised": true.
std::string render_events(const Journal& journal, const std::string& unit, const std::string& kind,
                          double since, std::size_t limit);

}  // namespace quillark_agent
