// The agent's log: one line per event on stderr. Under systemd each line
// starts with its syslog priority ("<3>", "<4>", "<6>"), which the journal
// takes as the line's priority, so `journalctl -p warning` finds problems.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace quillark_agent::log {

enum class Priority { Error = 3, Warning = 4, Info = 6 };

// Decided once, from the environment systemd gives a service whose output
// goes to the journal (JOURNAL_STREAM); a test may force it.
bool priority_prefixes();
void set_priority_prefixes(bool on);

// Writes "quillark-agent: <text>" as one line, whole, whatever other
// threads write at the same time.
void line(Priority priority, const std::string& text);
inline void error(const std::string& text) { line(Priority::Error, text); }
inline void warning(const std::string& text) { line(Priority::Warning, text); }
inline void info(const std::string& text) { line(Priority::Info, text); }

// Lines of one kind (writes, reconnections) that may come in floods: up to
// `per_window` lines in each window are logged as they come; the rest are
// counted and told as one summary line when the next window starts or at
// flush(). A flood costs a few lines a second, never one line per event.
class Throttle {
public:
    Throttle(std::string what, int per_window = 5,
             std::chrono::milliseconds window = std::chrono::seconds(1));
    ~Throttle();
    Throttle(const Throttle&) = delete;
    Throttle& operator=(const Throttle&) = delete;
    void say(Priority priority, const std::string& text);
    // Tells what was held back, if anything; for a caller's periodic tick.
    void flush();

private:
    void flush_locked(std::chrono::steady_clock::time_point now);

    const std::string what_;
    const int per_window_;
    const std::chrono::milliseconds window_;
    std::mutex mutex_;
    std::chrono::steady_clock::time_point window_start_{};
    int in_window_ = 0;
    std::uint64_t held_back_ = 0;
    Priority held_priority_ = Priority::Info;
};

// flush() of every Throttle there is, for the main thread's regular tick: a
// flood's count is told within a window of its end even when no further line
// of its kind comes.
void flush_throttles();

}  // namespace quillark_agent::log
