// Notifications: [[notify]] rules that run a command for the events they
// select, held back until an alarm or an outage has lasted `hold` seconds and
// told again every `repeat` seconds while it lasts. Commands run in a thread
// of their own, a bounded number at once and each within a time limit, so
// nothing they do can slow a link.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tools/agent/config/config.h"
#include "tools/agent/events/journal.h"

namespace quillark_agent {

struct NotifyLimits {
    int concurrent = 4;        // commands running at once
    std::size_t queued = 256;  // commands waiting to run; beyond: dropped, counted as failures
    double time_limit_s = 30;  // then the command is killed
};

// Shell-style pattern with '*' and '?', nothing else special.
bool pattern_match(const std::string& pattern, const std::string& text);
// Whether `rule` selects the event by kind, unit and point.
bool rule_selects(const NotifyRule& rule, const Event& event);

class Notifier {
public:
    using Log = std::function<void(const std::string&)>;
    Notifier(std::vector<NotifyRule> rules, NotifyLimits limits, Log warn);
    ~Notifier();  // kills the commands still running
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // Takes an event for every rule; returns at once.
    void event(const Event& event);
    std::uint64_t failures() const { return failures_.load(); }
    std::uint64_t runs() const { return runs_.load(); }

private:
    using Clock = std::chrono::steady_clock;
    // What lasts: an alarm of a unit's point, or a unit or link away.
    struct Lasting {
        Event event;             // the event that began it
        Clock::time_point next;  // when it is to be told (again)
        bool told = false;
    };
    using LastingKey = std::tuple<std::size_t, std::string, std::string, std::string>;

    // The notifier's thread and what it alone calls.
    void run();
    void take(std::size_t rule, const Event& event);
    void due(Clock::time_point now);
    void start_command(std::size_t rule, const Event& event);
    void start_waiting();
    void reap(bool kill_all);  // and those past their time limit

    const std::vector<NotifyRule> rules_;
    const NotifyLimits limits_;
    const Log warn_;
    std::mutex mutex_;  // guards incoming_ and stopping_
    std::condition_variable wake_;
    std::deque<std::pair<std::size_t, Event>> incoming_;
    bool stopping_ = false;
    // The notifier thread's own.
    std::deque<std::pair<std::size_t, Event>> waiting_;  // commands not yet started
    std::map<LastingKey, Lasting> lasting_;
    struct Running {
        int pid;
        Clock::time_point deadline;
        std::string what;
    };
    std::vector<Running> running_;
    std::atomic<std::uint64_t> failures_{0};
    std::atomic<std::uint64_t> runs_{0};
    std::thread thread_;
};

}  // namespace quillark_agent
