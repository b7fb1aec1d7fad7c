#include "tools/agent/log.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <utility>
#include <vector>

namespace quillark_agent::log {

namespace {

std::atomic<int> prefixes{-1};  // -1: not decided yet

// Every Throttle alive. Made on first use, so it outlives the throttles
// that are function-local statics.
struct Throttles {
    std::mutex mutex;
    std::vector<Throttle*> all;
};
Throttles& throttles() {
    static Throttles registry;
    return registry;
}

}  // namespace

bool priority_prefixes() {
    int on = prefixes.load(std::memory_order_relaxed);
    if (on < 0) {
        const char* stream = std::getenv("JOURNAL_STREAM");
        on = stream && *stream ? 1 : 0;
        prefixes.store(on, std::memory_order_relaxed);
    }
    return on == 1;
}

void set_priority_prefixes(bool on) { prefixes.store(on ? 1 : 0, std::memory_order_relaxed); }

void line(Priority priority, const std::string& text) {
    std::string out;
    out.reserve(text.size() + 24);
    if (priority_prefixes()) {
        out += '<';
        out += static_cast<char>('0' + static_cast<int>(priority));
        out += '>';
    }
    out += "quillark-agent: ";
    out += text;
    out += '\n';
    // One write(2) per line: lines from several threads never interleave.
    const char* p = out.data();
    std::size_t left = out.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n <= 0) return;  // nowhere to log to; the agent goes on
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

Throttle::Throttle(std::string what, int per_window, std::chrono::milliseconds window)
    : what_(std::move(what)), per_window_(per_window), window_(window) {
    Throttles& registry = throttles();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.all.push_back(this);
}

Throttle::~Throttle() {
    Throttles& registry = throttles();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.all.erase(std::remove(registry.all.begin(), registry.all.end(), this),
                       registry.all.end());
}

void Throttle::flush_locked(std::chrono::steady_clock::time_point now) {
    if (now - window_start_ < window_) return;
    if (held_back_ > 0) {
        line(held_priority_,
             std::to_string(held_back_) + " more " + what_ + " not logged one by one");
        held_back_ = 0;
        held_priority_ = Priority::Info;
    }
    window_start_ = now;
    in_window_ = 0;
}

void Throttle::say(Priority priority, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    flush_locked(std::chrono::steady_clock::now());
    if (in_window_ < per_window_) {
        ++in_window_;
        line(priority, text);
        return;
    }
    ++held_back_;
    if (static_cast<int>(priority) < static_cast<int>(held_priority_)) held_priority_ = priority;
}

void Throttle::flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    flush_locked(std::chrono::steady_clock::now());
}

void flush_throttles() {
    Throttles& registry = throttles();
    std::lock_guard<std::mutex> lock(registry.mutex);
    for (Throttle* throttle : registry.all) throttle->flush();
}

}  // namespace quillark_agent::log
