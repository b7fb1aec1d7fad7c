#include "tools/agent/events/notify.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

extern char** environ;

namespace quillark_agent {
namespace {

// The kind that ends what `kind` begins, or "" for an event that is over at once.
const char* end_of(const std::string& kind) {
    if (kind == "alarm_raised") return "alarm_cleared";
    if (kind == "unit_offline") return "unit_online";
    if (kind == "link_down") return "link_up";
    return "";
}

const char* begin_of(const std::string& kind) {
    if (kind == "alarm_cleared") return "alarm_raised";
    if (kind == "unit_online") return "unit_offline";
    if (kind == "link_up") return "link_down";
    return "";
}

std::string seconds_text(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

bool listed(const std::vector<std::string>& list, const std::string& kind) {
    return std::find(list.begin(), list.end(), kind) != list.end();
}

bool any_match(const std::vector<std::string>& patterns, const std::string& a,
               const std::string& b = std::string()) {
    if (patterns.empty()) return true;
    for (const std::string& p : patterns)
        if (pattern_match(p, a) || (!b.empty() && pattern_match(p, b))) return true;
    return false;
}

std::string link_of(const Event& event) {
    const Json::Value& link = event.extra.isObject() ? event.extra["link"] : Json::Value();
    return link.isString() ? link.asString() : std::string();
}

std::vector<std::string> environment(const Event& event) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "QUILLARK_", 9) != 0) env.emplace_back(*e);
    env.push_back("QUILLARK_EVENT=" + event.kind);
    env.push_back("QUILLARK_UNIT=" + event.unit);
    env.push_back("QUILLARK_POINT=" + event.point);
    env.push_back("QUILLARK_KEY=" + event.key);
    env.push_back("QUILLARK_MEANING=" + event.meaning);
    env.push_back("QUILLARK_TIME=" + std::to_string(static_cast<long long>(event.time)));
    return env;
}

}  // namespace

bool pattern_match(const std::string& pattern, const std::string& text) {
    std::size_t p = 0, t = 0, star = std::string::npos, mark = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++p, ++t;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = t;
        } else if (star != std::string::npos) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool rule_selects(const NotifyRule& rule, const Event& event) {
    // Points narrow the events that have one; a unit's or link's outage has none.
    return listed(rule.events, event.kind) && any_match(rule.units, event.unit) &&
           (event.point.empty() || any_match(rule.points, event.point, event.key));
}

Notifier::Notifier(std::vector<NotifyRule> rules, NotifyLimits limits, Log warn)
    : rules_(std::move(rules)), limits_(limits), warn_(std::move(warn)) {
    thread_ = std::thread([this] { run(); });
}

Notifier::~Notifier() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void Notifier::event(const Event& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t r = 0; r < rules_.size(); ++r) incoming_.emplace_back(r, event);
    wake_.notify_all();
}

// One rule's view of an event: what lasts is told once it has lasted `hold`;
// its end is told only if its beginning was (or the rule asks for ends alone).
void Notifier::take(std::size_t r, const Event& event) {
    const NotifyRule& rule = rules_[r];
    const std::string end = end_of(event.kind), begin = begin_of(event.kind);
    const LastingKey key{r, end.empty() ? begin : event.kind, event.unit,
                         event.point + "|" + link_of(event)};
    if (!end.empty()) {  // a beginning
        Event ended = event;
        ended.kind = end;
        if (!rule_selects(rule, event) && !rule_selects(rule, ended)) return;
        const auto now = Clock::now();
        const auto hold =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(rule.hold_s));
        lasting_[key] = Lasting{event, now + hold, false};
        if (rule.hold_s <= 0) due(now);
        return;
    }
    if (!begin.empty()) {  // an end
        const auto it = lasting_.find(key);
        const bool known = it != lasting_.end();
        const bool told = known && it->second.told;
        if (known) lasting_.erase(it);
        if (rule_selects(rule, event) && (!known || told)) start_command(r, event);
        return;
    }
    if (rule_selects(rule, event)) start_command(r, event);
}

void Notifier::due(Clock::time_point now) {
    for (auto& [key, lasting] : lasting_) {
        if (lasting.next > now) continue;
        const NotifyRule& rule = rules_[std::get<0>(key)];
        if (rule_selects(rule, lasting.event)) start_command(std::get<0>(key), lasting.event);
        lasting.told = true;
        lasting.next = rule.repeat_s > 0 && rule_selects(rule, lasting.event)
                           ? now + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(rule.repeat_s))
                           : Clock::time_point::max();
    }
}

void Notifier::start_command(std::size_t r, const Event& event) {
    if (waiting_.size() >= limits_.queued) {
        ++failures_;
        if (warn_)
            warn_("notify: " + std::to_string(limits_.queued) +
                  " commands already waiting; one for " + event.kind + " dropped");
        return;
    }
    waiting_.emplace_back(r, event);
}

namespace {

// Starts `argv` in a process group of its own with the event in its
// environment and as one JSON line on its standard input; 0 when it could not.
int spawn(const std::vector<std::string>& argv, const Event& event, std::string& why) {
    int in[2];
    if (::pipe2(in, O_CLOEXEC) != 0) {
        why = std::strerror(errno);
        return 0;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);  // the agent's threads block its signals
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> env = environment(event);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(in[0]);
    if (rc != 0) {
        ::close(in[1]);
        why = std::strerror(rc);
        return 0;
    }
    // One short line: it fits the pipe's buffer, so the write never waits on
    // a command that does not read it.
    const std::string line = event_line(event) + "\n";
    ::fcntl(in[1], F_SETFL, O_NONBLOCK);
    if (::write(in[1], line.data(), line.size()) < 0) {
        // A command that closed its input does not want the line.
    }
    ::close(in[1]);
    return pid;
}

}  // namespace

void Notifier::reap(bool kill_all) {
    const auto now = Clock::now();
    for (auto it = running_.begin(); it != running_.end();) {
        int status = 0;
        const pid_t done = ::waitpid(it->pid, &status, WNOHANG);
        if (done == 0) {
            if (kill_all || now >= it->deadline) {
                ::kill(-it->pid, SIGKILL);
                ::waitpid(it->pid, &status, 0);
                ++failures_;
                if (warn_)
                    warn_("notify: " + it->what +
                          (kill_all
                               ? " killed: the agent stops"
                               : " killed after " + seconds_text(limits_.time_limit_s) + " s"));
                it = running_.erase(it);
                continue;
            }
            ++it;
            continue;
        }
        if (done == it->pid && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
            ++failures_;
            if (warn_)
                warn_("notify: " + it->what +
                      (WIFEXITED(status) ? " exited with " + std::to_string(WEXITSTATUS(status))
                                         : " ended by signal " + std::to_string(WTERMSIG(status))));
        }
        it = running_.erase(it);
    }
}

void Notifier::run() {
    // A command that exits before reading its line makes the write fail;
    // that must not end the process that runs it.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        std::deque<std::pair<std::size_t, Event>> incoming;
        incoming.swap(incoming_);
        const bool stopping = stopping_;
        // Everything else is this thread's own: the links that hand events
        // in never wait for a command to start.
        lock.unlock();
        for (const auto& [rule, event] : incoming) take(rule, event);
        due(Clock::now());
        // Stopping ends what still runs: the agent stops within a second.
        reap(stopping);
        if (stopping) {
            waiting_.clear();
            lasting_.clear();
        }
        start_waiting();
        auto next = Clock::now() + std::chrono::seconds(3600);
        for (const auto& entry : lasting_) next = std::min(next, entry.second.next);
        // Running commands are looked at every 50 ms: their end, or their limit.
        if (!running_.empty()) next = std::min(next, Clock::now() + std::chrono::milliseconds(50));
        lock.lock();
        if (stopping && running_.empty()) return;
        wake_.wait_until(lock, next, [this] { return !incoming_.empty() || stopping_; });
    }
}

void Notifier::start_waiting() {
    while (!waiting_.empty() && running_.size() < static_cast<std::size_t>(limits_.concurrent)) {
        const auto [rule, event] = waiting_.front();
        waiting_.pop_front();
        std::string why;
        const std::string what = "'" + rules_[rule].command.front() + "' for " + event.kind +
                                 (event.unit.empty() ? "" : " of " + event.unit);
        ++runs_;
        if (const int pid = spawn(rules_[rule].command, event, why)) {
            const auto limit = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(limits_.time_limit_s));
            running_.push_back({pid, Clock::now() + limit, what});
        } else {
            ++failures_;
            if (warn_) warn_("notify: cannot run " + what + ": " + why);
        }
    }
}

}  // namespace quillark_agent
