#include "tools/agent/fleet/fleet.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iostream>

#include <json/writer.h>

#include "quillark/commands.h"
#include "tools/agent/fleet/link_unit.h"
#include "tools/agent/log.h"
#include "quillark/points.h"
#include "tools/agent/clock.h"

namespace quillark_agent {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMissesForOffline = 3;

// Marks the link thread busy for as long as it lives: the watchdog's view of
// one step that talks to the link.
class BusyMark {
public:
    explicit BusyMark(std::atomic<Clock::rep>& since) : since_(since) {
        since_ = Clock::now().time_since_epoch().count();
    }
    ~BusyMark() { since_ = 0; }
    BusyMark(const BusyMark&) = delete;
    BusyMark& operator=(const BusyMark&) = delete;

private:
    std::atomic<Clock::rep>& since_;
};

// Which alarms a record raises, one character per alarm: cheap to compare
// every round, while the message is made only when the set changes.
std::string raised_alarms(const std::vector<std::uint8_t>& record) {
    std::string raised;
    raised.reserve(quillark::kAlarmCount);
    for (std::size_t p = 0; p < quillark::kPoints.size(); ++p) {
        if (quillark::kPoints[p].kind != quillark::PointKind::Alarm) continue;
        const std::size_t offset = quillark::kPointOffsets[p];
        raised += offset < record.size() && record[offset] != 0 ? '1' : '0';
    }
    return raised;
}

// Keeps the time each raised alarm was first seen; a normal one forgets it.
Event unit_event(const char* kind, const std::string& unit, double now) {
    Event event;
    event.kind = kind;
    event.unit = unit;
    event.time = now;
    return event;
}

// Keeps each alarm's first time in the current stretch of raised rounds, and
// tells each change as an event. An alarm the journal saw raised before a
// restart keeps that time, and is not told again; one that cleared while the
// agent was away is told cleared.
void note_alarms(UnitView& view, double now, std::vector<Event>& events,
                 std::array<double, quillark::kAlarmCount>& restored) {
    std::size_t a = 0;
    for (std::size_t p = 0; p < quillark::kPoints.size(); ++p) {
        const quillark::Point& point = quillark::kPoints[p];
        if (point.kind != quillark::PointKind::Alarm) continue;
        const std::size_t offset = quillark::kPointOffsets[p];
        const bool raised = offset < view.record.size() && view.record[offset] != 0;
        double& since = view.alarm_since[a];
        const double before = restored[a++];
        if (since == 0 && before > 0) {
            since = before;
            if (raised) continue;
        }
        if (raised == (since != 0)) continue;
        Event event = unit_event(raised ? "alarm_raised" : "alarm_cleared", view.name, now);
        event.point = point.id;
        event.key = point.key;
        event.meaning = point.meaning;
        if (!raised) event.extra["lasted_s"] = now - since;
        events.push_back(std::move(event));
        since = raised ? now : 0;
    }
    restored.fill(0);
}

}  // namespace

LinkWorker::Unit::Unit(const UnitConfig& unit, const std::string& link,
                       const quillark_kit::Plugin& plugin)
    : config(unit),
      driver(std::make_unique<quillark_kit::Driver>(plugin, unit.device_id, unit.settings)) {
    view.name = unit.name;
    view.link = link;
    view.unit_id = unit.unit_id;
    view.interval_s = unit.interval_s;
}

LinkWorker::LinkWorker(const LinkConfig& link, const std::vector<UnitConfig>& units,
                       const quillark_kit::Plugin& plugin, Publisher& publisher)
    : config_(link),
      publisher_(publisher),
      transport_(link.settings),
      turns_(transport_, [this] { serve_gateway_in_round(); }),
      master_(turns_, link.settings.retries) {
    transport_.set_wakeup(&stopping_);
    for (const UnitConfig& config : units)
        if (config.link == link.name)
            units_.push_back(std::make_unique<Unit>(config, link.name, plugin));
}

LinkWorker::~LinkWorker() {
    stop();
    units_.clear();  // the drivers' code lives in the plug-in, which outlives us
}

// The thread runs even with no units, so that a reload can give it some.
void LinkWorker::start() {
    thread_ = std::thread([this] { run(); });
}

void LinkWorker::stop() {
    companion_.reset();  // no gateway request comes any more
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    stopping_.notify();  // a request waiting for its answer ends now
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    for (const auto& unit : units_)
        reject_writes(*unit, "the unit's link stopped before it was sent");
    std::deque<GatewayRequest> waiting;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        waiting.swap(gateway_queue_);
        gateway_counts_[static_cast<std::size_t>(GatewayOutcome::LinkDown)] += waiting.size();
    }
    for (GatewayRequest& request : waiting)
        request.answer(standin::exception_pdu(request.pdu[0], standin::kPathUnavailable));
}

std::vector<UnitConfig> LinkWorker::unit_configs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<UnitConfig> configs;
    for (const auto& unit : units_) configs.push_back(unit->config);
    return configs;
}

bool LinkWorker::has_unit(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& unit : units_)
        if (unit->config.name == name) return true;
    return false;
}

void LinkWorker::views(std::vector<UnitView>& units, std::vector<LinkView>& links) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& unit : units_) units.push_back(unit->view);
    links.push_back({config_.name, static_cast<std::uint64_t>(stats_.retries),
                     static_cast<std::uint64_t>(stats_.reconnects), load_,
                     config_.gateway.port != 0, gateway_counts_});
}

// The unit whose round is due first; with `since`, only among the units due
// now that have had no round since then.
LinkWorker::Unit* LinkWorker::earliest_unit(const Clock::time_point* since) const {
    const Clock::time_point now = since ? Clock::now() : Clock::time_point{};
    Unit* next = nullptr;
    for (const auto& unit : units_) {
        if (since && (unit->next_due > now || unit->began >= *since)) continue;
        if (next == nullptr || unit->next_due < next->next_due) next = unit.get();
    }
    return next;
}

// A write waits only for the round in progress; after each write, every
// round that is due goes before the next write, each unit's once. So the
// link is shared fairly: a flood of writes postpones a round by one write's
// timeout at most, and the units' rounds cannot hold back writes for good
// even on a link that cannot keep up.
void LinkWorker::run() {
    const Clock::time_point start = Clock::now();
    for (std::size_t i = 0; i < units_.size(); ++i) units_[i]->next_due = start;
    bool rounds_first = false;
    Clock::time_point written{};
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        if (change_) {
            apply_change();
            changed_.notify_all();
            continue;
        }
        if (untold_ > 0) {
            lock.unlock();
            tell_superseded();
            lock.lock();
            continue;
        }
        if (rounds_first) {
            if (Unit* due = earliest_unit(&written)) {
                lock.unlock();
                round(*due);
                lock.lock();
                continue;
            }
            rounds_first = false;
        }
        Write write;
        if (Unit* writer = take_write(write)) {
            lock.unlock();
            {
                const BusyMark busy(busy_since_);
                send_write(*writer, write);
            }
            link_log().flush();
            lock.lock();
            rounds_first = true;
            written = Clock::now();
            continue;
        }
        Unit* next = earliest_unit();
        if (gateway_idle_turn(lock, next)) continue;
        if (next == nullptr) {
            wake_.wait(lock);
        } else if (Clock::now() < next->next_due) {
            wake_.wait_until(lock, next->next_due);
        } else {
            lock.unlock();
            round(*next);
            lock.lock();
        }
    }
}

void LinkWorker::round(Unit& unit) {
    unit.began = Clock::now();
    gateway_spent_ = Clock::duration::zero();
    {
        const BusyMark busy(busy_since_);
        poll(unit);
    }
    // A late round is not made up: the next one keeps to the unit's rhythm.
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(unit.config.interval_s));
    const auto now = Clock::now();
    unit.next_due += interval;
    if (unit.next_due <= now) unit.next_due += ((now - unit.next_due) / interval + 1) * interval;
    note_load();
    write_log().flush();
    link_log().flush();
}

void LinkWorker::poll(Unit& unit) {
    transport_.set_unit(unit.config.unit_id);
    const auto began = Clock::now();
    const quillark_kit::Driver::Round done = unit.driver->run_round(master_);
    const double took = std::chrono::duration<double>(Clock::now() - began).count();
    note_link(done.result.outcome);
    const bool complete = done.complete;
    unit.last_duration = took;

    std::shared_ptr<const std::string> status;
    if (complete)
        status = std::make_shared<const std::string>(unit.driver->status_text(status_buffer_));
    const double now = unix_now();
    std::vector<Event> events;
    const bool was_online = record_round(unit, complete, took, status, now, events);
    publisher_.unit_round(unit.config.name, complete ? &unit.driver->last_record() : nullptr, now);
    for (const Event& event : events) publisher_.event(event);
    if (complete) {
        publisher_.unit_status(unit.config.name, *status);
        std::string alarms = raised_alarms(unit.driver->last_record());
        if (alarms != unit.alarms) {
            unit.alarms = alarms;
            publisher_.unit_alarms(unit.config.name, unit.driver->last_record(), now);
        }
    }
    announce(unit, was_online);
}

// The round in the unit's view, for other threads; returns whether the unit
// was online before it.
bool LinkWorker::record_round(Unit& unit, bool complete, double took,
                              std::shared_ptr<const std::string> status, double now,
                              std::vector<Event>& events) {
    unit.misses = complete ? 0 : unit.misses + 1;
    std::lock_guard<std::mutex> lock(mutex_);
    stats_ = transport_.stats();
    UnitView& v = unit.view;
    const bool was_online = v.online;
    (complete ? v.rounds_complete : v.rounds_failed) += 1;
    std::size_t b = 0;
    while (b < kDurationBuckets.size() && took > kDurationBuckets[b]) ++b;
    if (b < kDurationBuckets.size()) ++v.duration_counts[b];
    ++v.duration_count;
    v.duration_sum += took;
    v.last_duration = took;
    const bool known = v.online_since_unix > 0;
    if (complete) {
        if (!v.online || !known) v.online_since_unix = now;
        v.online = true;
        v.last_round_unix = now;
        v.record = unit.driver->last_record();
        v.status = std::move(status);
        note_alarms(v, now, events, unit.restored_since);
    } else if (unit.misses >= kMissesForOffline) {
        if (v.online || !known) v.online_since_unix = now;
        v.online = false;
    }
    return was_online;
}

void LinkWorker::announce(Unit& unit, bool was_online) {
    const bool online = unit.view.online;  // only this thread writes it
    const bool first_offline = !unit.announced && unit.misses >= kMissesForOffline;
    if (online == was_online && !first_offline) return;
    publisher_.unit_availability(unit.config.name, online);
    publisher_.event(
        unit_event(online ? "unit_online" : "unit_offline", unit.config.name, unix_now()));
    unit.announced = true;
    if (online) {
        log::info("unit " + unit.config.name + " online");
        return;
    }
    log::warning("unit " + unit.config.name + " offline");
    // Each would cost the link a whole timeout for nothing.
    reject_writes(unit, "unit offline");
}

Fleet::Fleet(const AgentConfig& config, const quillark_kit::Plugin& plugin, Publisher& publisher,
             CompanionMaker companions)
    : companions_(std::move(companions)) {
    for (const LinkConfig& link : config.links)
        links_.push_back(std::make_unique<LinkWorker>(link, config.units, plugin, publisher));
}

void Fleet::start() {
    for (auto& link : links_) start_link(*link);
}

void Fleet::start_link(LinkWorker& link) {
    link.start();
    if (companions_) link.attach(companions_(link));
}

void Fleet::stop() {
    for (auto& link : links_) link->stop();
}

std::string Fleet::queue_write(const std::string& unit, int reg, std::uint16_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& link : links_)
        if (link->has_unit(unit)) return link->queue_write(unit, reg, value);
    return "rejected: no such unit";
}

bool Fleet::has_unit(const std::string& unit) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& link : links_)
        if (link->has_unit(unit)) return true;
    return false;
}

void Fleet::views(std::vector<UnitView>& units, std::vector<LinkView>& links) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& link : links_) link->views(units, links);
}

Clock::duration LinkWorker::busy_for() const {
    const Clock::rep since = busy_since_.load();
    if (since == 0) return Clock::duration::zero();
    return Clock::now() - Clock::time_point(Clock::duration(since));
}

std::vector<std::string> Fleet::hung_links(Clock::duration limit) const {
    std::vector<std::string> hung;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& link : links_)
        if (link->busy_for() > limit) hung.push_back(link->config().name);
    return hung;
}

}  // namespace quillark_agent
