#include "tools/agent/service.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <stdexcept>

#include <systemd/sd-daemon.h>

#include "tools/agent/log.h"
#include "quillark/record.h"

namespace quillark_agent::service {

namespace {

// Open files: each link holds its connection or serial port and the pipe
// that ends its waits (three descriptors); the agent's own (the standard
// ones, the HTTP listener and its connections, the MQTT client's three,
// files read at a reload) stay well within the reserve.
constexpr long kPerLink = 3;
constexpr long kReserve = 128;

// A link that cannot open its connection for want of descriptors would only
// ever report itself down: said once per configuration instead.
void check_open_files(const AgentConfig& config) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return;
    const long needed = kReserve + kPerLink * static_cast<long>(config.links.size());
    if (needed <= static_cast<long>(limit.rlim_cur)) return;
    log::warning(std::to_string(config.links.size()) + " links need up to " +
                 std::to_string(needed) + " open files, more than the agent's limit of " +
                 std::to_string(limit.rlim_cur) +
                 " (LimitNOFILE=): some links will not open; split the links over several agents");
}

std::string seconds(Clock::duration d) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", std::chrono::duration<double>(d).count());
    return text;
}

std::string count(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

void route_driver_output(const std::string& file) {
    std::cout.flush();
    std::fflush(stdout);
    const char* path = file.empty() ? "/dev/null" : file.c_str();
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd == -1) throw std::runtime_error("--driver-output " + file + ": " + std::strerror(errno));
    if (fd == STDOUT_FILENO) {
        fcntl(fd, F_SETFD, 0);  // standard output stays open across exec, as it always is
    } else {
        const bool moved = dup2(fd, STDOUT_FILENO) != -1;
        const int error = errno;
        close(fd);
        if (!moved)
            throw std::runtime_error("--driver-output: " + std::string(std::strerror(error)));
    }
    // Whole lines: a file read while the agent runs never ends mid-line.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
}

Clock::duration longest_round(const LinkConfig& link) {
    const auto timeout = std::chrono::milliseconds(link.settings.timeout_ms);
    const auto tries = 1 + std::max(0, link.settings.retries);
    return timeout * tries * static_cast<int>(quillark::kPollReads.size());
}

Clock::duration hung_limit(const AgentConfig& config) {
    Clock::duration longest = Clock::duration::zero();
    for (const LinkConfig& link : config.links) longest = std::max(longest, longest_round(link));
    return 2 * longest + std::chrono::seconds(30);
}

int wait_for_signal(const sigset_t& signals, Clock::time_point until) {
    const auto left = std::max(Clock::duration::zero(), until - Clock::now());
    const auto whole = std::chrono::duration_cast<std::chrono::seconds>(left);
    timespec wait{};
    wait.tv_sec = static_cast<time_t>(whole.count());
    wait.tv_nsec = static_cast<long>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(left - whole).count());
    const int got = sigtimedwait(&signals, nullptr, &wait);
    return got > 0 ? got : 0;  // EAGAIN: the time came; EINTR: another signal, none of ours
}

Supervisor::Supervisor(double hung_after_s) : hung_after_s_(hung_after_s) {
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        watchdog_ = std::chrono::microseconds(usec);
        tick_ = std::min<Clock::duration>(tick_, watchdog_ / 3);
    }
}

void Supervisor::notify(const std::string& message) { sd_notify(0, message.c_str()); }

void Supervisor::applied(const AgentConfig& config, const std::string& file) {
    summary_ = "polling " + count(config.units.size(), "unit", "units") + " on " +
               count(config.links.size(), "link", "links");
    if (hung_after_s_ <= 0) {
        limit_ = hung_limit(config);
    } else {
        limit_ = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(hung_after_s_));
        for (const LinkConfig& link : config.links)
            if (longest_round(link) > limit_)
                log::warning("link " + link.name + ": a round may take up to " +
                             seconds(longest_round(link)) +
                             " with its timeout and retries, longer than --hung-after " +
                             seconds(limit_) + ": such a round will count as a hang");
    }
    check_open_files(config);
    if (config.units.empty())
        log::warning("no units configured" + (file.empty() ? std::string() : " in " + file) +
                     ": polling nothing. Add a [[link]] for each gateway or serial port and a "
                     "[[unit]] for each unit on it, then reload (systemctl reload "
                     "quillark-agent, or SIGHUP)");
}

void Supervisor::ready() {
    std::string message = "READY=1\nSTATUS=" + summary_;
    if (watchdog_.count() > 0)
        message += "\nWATCHDOG=1\nWATCHDOG_USEC=" + std::to_string(watchdog_.count());
    notify(message);
}

void Supervisor::reloading() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long usec = static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
    std::string message = "RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec);
    if (watchdog_.count() > 0) {
        const auto allowed =
            std::chrono::duration_cast<std::chrono::microseconds>(limit_) + watchdog_;
        message += "\nWATCHDOG=1\nWATCHDOG_USEC=" + std::to_string(allowed.count());
    }
    notify(message);
}

void Supervisor::stopping() { notify("STOPPING=1"); }

void Supervisor::check(const std::vector<std::string>& hung) {
    const std::set<std::string> now(hung.begin(), hung.end());
    for (const std::string& link : now)
        if (hung_.count(link) == 0)
            log::error(
                "link " + link + " has been busy in one round or write for longer than " +
                seconds(limit_) + ": taken as hung" +
                (watchdog_.count() > 0 ? "; the service watchdog is not fed while it is" : ""));
    for (const std::string& link : hung_)
        if (now.count(link) == 0) log::info("link " + link + " is no longer hung");
    const bool changed = now != hung_;
    hung_ = now;
    if (!hung_.empty()) {
        if (changed) {
            std::string names;
            for (const std::string& link : hung_) names += (names.empty() ? "" : ", ") + link;
            notify("STATUS=hung: " + names);
        }
        return;
    }
    std::string message = watchdog_.count() > 0 ? "WATCHDOG=1" : "";
    if (changed) message += (message.empty() ? "" : "\n") + ("STATUS=" + summary_);
    if (!message.empty()) notify(message);
}

}  // namespace quillark_agent::service
