// Register writes on a link: queued per unit with bounds, so that whoever can
// publish to the broker cannot stop the polling, and sent in turns with the
// units' rounds. And what the link tells of itself: its log lines, which
// come in floods when something outside misbehaves, its events and its load.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "quillark/commands.h"
#include "tools/agent/fleet/fleet.h"
#include "tools/agent/fleet/link_unit.h"
#include "quillark/points.h"
#include "tools/agent/clock.h"

namespace quillark_agent {

log::Throttle& write_log() {
    static log::Throttle throttle("write results");
    return throttle;
}

log::Throttle& link_log() {
    static log::Throttle throttle("link losses and reopenings");
    return throttle;
}

std::string LinkWorker::queue_write(const std::string& name, int reg, std::uint16_t value) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = std::find_if(units_.begin(), units_.end(),
                                  [&](const auto& u) { return u->config.name == name; });
        if (found == units_.end()) return "rejected: no such unit";
        Unit& unit = **found;
        if (unit.config.writes.count(reg) == 0)
            return "rejected: register " + std::to_string(reg) + " is not writable on this unit";
        if (stop_) return "rejected: the unit's link is stopping";
        // Each write to a unit that does not answer costs the link a whole
        // timeout; one known to be offline gets none until it is back.
        if (unit.view.online_since_unix > 0 && !unit.view.online) return "rejected: unit offline";
        auto same = std::find_if(unit.writes.begin(), unit.writes.end(),
                                 [&](const Write& w) { return w.reg == reg; });
        if (same != unit.writes.end()) {
            // Only the newest value of a register is worth the link's time.
            // The link thread tells the older one's result: publishing is
            // never done from the thread that brings the write.
            same->value = value;
            ++same->superseded;
            ++untold_;
        } else if (unit.writes.size() >= kMaxQueuedWrites) {
            return "rejected: " + std::to_string(kMaxQueuedWrites) +
                   " writes already wait for this unit";
        } else {
            unit.writes.push_back({reg, value});
        }
    }
    wake_.notify_all();
    return {};
}

// One result per superseded write, counted on the write that took its place.
void LinkWorker::tell_superseded() {
    struct Told {
        std::string unit;
        int reg;
        std::uint32_t count;
    };
    std::vector<Told> told;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& unit : units_)
            for (Write& write : unit->writes)
                if (write.superseded > 0) {
                    told.push_back({unit->config.name, write.reg, write.superseded});
                    write.superseded = 0;
                }
        untold_ = 0;
    }
    for (const Told& t : told)
        for (std::uint32_t i = 0; i < t.count; ++i)
            publisher_.write_result(t.unit, t.reg, "rejected: superseded");
}

// A write that will never be sent still gets its result, after the results
// of those it superseded.
void LinkWorker::reject_writes(Unit& unit, const std::string& why) {
    std::deque<Write> writes;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        writes.swap(unit.writes);
        for (const Write& write : writes)
            untold_ -= std::min<std::size_t>(untold_, write.superseded);
    }
    for (const Write& write : writes) {
        for (std::uint32_t i = 0; i < write.superseded; ++i)
            publisher_.write_result(unit.config.name, write.reg, "rejected: superseded");
        publisher_.write_result(unit.config.name, write.reg, "rejected: " + why);
    }
}

// The units take turns, so a flood of writes to one unit does not hold back
// another unit's write.
LinkWorker::Unit* LinkWorker::take_write(Write& write) {
    const std::size_t count = units_.size();
    for (std::size_t i = 0; i < count; ++i) {
        Unit& unit = *units_[(write_turn_ + i) % count];
        if (unit.writes.empty()) continue;
        write_turn_ = (write_turn_ + i + 1) % count;
        write = unit.writes.front();
        unit.writes.pop_front();
        return &unit;
    }
    return nullptr;
}

void LinkWorker::send_write(Unit& unit, const Write& write) {
    transport_.set_unit(unit.config.unit_id);
    quillark_tools::RegisterWrite request;
    request.address = write.reg;
    request.values = {write.value};
    const quillark_kit::Driver::WriteResult sent = unit.driver->write(master_, request);
    std::string result;
    if (!sent.taken) {
        result = "rejected: the driver did not take the write";
    } else {
        note_link(sent.sent.outcome);
        result = sent.verdict == quillark::Confirmed      ? "confirmed"
                 : sent.verdict == quillark::NotConfirmed ? "not-confirmed"
                                                          : "unanswered";
    }
    write_log().say(log::Priority::Info, "unit " + unit.config.name + ": write " +
                                             std::to_string(write.reg) + "=" +
                                             std::to_string(write.value) + ": " + result);
    publisher_.write_result(unit.config.name, write.reg, result);
    Event event;
    event.kind = "write";
    event.unit = unit.config.name;
    event.time = unix_now();
    event.extra["register"] = write.reg;
    event.extra["value"] = write.value;
    event.extra["result"] = result;
    publisher_.event(event);
}

// What became of the link in the last round or write, for the log: lost,
// reopened, or an attempt to open it that failed. Floods of these (a
// gateway that drops every connection) are summarised.
void LinkWorker::note_link(const standin::Outcome& outcome) {
    const standin::LinkStats& now = transport_.stats();
    const bool open = transport_.is_open();
    const std::string head = "link " + config_.name + ": ";
    const std::string why = outcome.error.empty() ? "" : " (" + outcome.error + ")";
    if (now.reconnects > seen_.reconnects) {
        link_log().say(log::Priority::Info, head + "reopened");
        link_event("link_up");
    }
    // A request went out, so the link was open during the step.
    if (!open && now.requests > seen_.requests && outcome.status != standin::Status::Interrupted) {
        link_log().say(log::Priority::Warning, head + "lost" + why);
        Json::Value extra;
        if (!outcome.error.empty()) extra["cause"] = outcome.error;
        link_event("link_down", extra);
    }
    if (now.failed_opens > seen_.failed_opens)
        link_log().say(log::Priority::Warning, head + "cannot open" + why);
    seen_ = now;
}

// An event of the link itself; its units' events are the units' own.
void LinkWorker::link_event(const char* kind, Json::Value extra) {
    Event event;
    event.kind = kind;
    event.time = unix_now();
    event.extra = std::move(extra);
    event.extra["link"] = config_.name;
    publisher_.event(event);
}

// How much of the link's time the units' rounds take; above 1 the link
// cannot keep the intervals, which is said once each time it happens.
void LinkWorker::note_load() {
    double load = 0;
    for (const auto& unit : units_) load += unit->last_duration / unit->config.interval_s;
    const bool overloaded = load > 1.0;
    if (overloaded && !overloaded_) {
        char figure[32];
        std::snprintf(figure, sizeof figure, "%.2f", load);
        log::warning("link " + config_.name +
                     " cannot keep its units' intervals: their rounds take " + figure +
                     " s per second");
        Json::Value extra;
        extra["load"] = load;
        link_event("link_overloaded", extra);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    overloaded_ = overloaded;
    load_ = load;
}

}  // namespace quillark_agent
