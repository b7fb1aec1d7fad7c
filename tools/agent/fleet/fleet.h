// The units the agent polls: one worker thread per link, the units of a link
// taking turns on it, one request in flight per link.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tools/agent/config/config.h"
#include "tools/agent/fleet/gateway_link.h"
#include "tools/agent/fleet/publisher.h"
#include "tools/agent/fleet/unit_view.h"
#include "host/standin/master.h"
#include "host/standin/modbus_transport.h"
#include "hostkit/plugin.h"
#include "quillark/points.h"
#include "host/standin/wakeup.h"

namespace quillark_agent {

// Alarms raised and not cleared: (unit, point id) -> when first seen raised.
using OpenAlarms = std::map<std::pair<std::string, std::string>, double>;

class LinkWorker {
public:
    // Writes waiting for one unit, at most one per register; a write beyond
    // them is refused at once.
    static constexpr std::size_t kMaxQueuedWrites = 8;
    // Gateway requests waiting for the link; one more gets exception 6.
    static constexpr std::size_t kMaxGatewayQueue = 16;

    // Creates the drivers of the link's units; throws on a driver the plug-in cannot make.
    LinkWorker(const LinkConfig& link, const std::vector<UnitConfig>& units,
               const quillark_kit::Plugin& plugin, Publisher& publisher);
    ~LinkWorker();  // stops the thread and deletes the drivers
    LinkWorker(const LinkWorker&) = delete;
    LinkWorker& operator=(const LinkWorker&) = delete;

    void start();
    void stop();  // a write still queued gets "rejected" as its result
    const LinkConfig& config() const { return config_; }
    std::vector<UnitConfig> unit_configs() const;
    bool has_unit(const std::string& name) const;
    // Queues a register write for the unit's next turn; "" when queued, else
    // why not ("rejected: ..."): the unit is offline, or already has
    // kMaxQueuedWrites waiting. A newer value for a register that still waits
    // takes the older one's place, which gets "rejected: superseded" from
    // the link thread.
    std::string queue_write(const std::string& unit, int reg, std::uint16_t value);
    void views(std::vector<UnitView>& units, std::vector<LinkView>& links) const;
    // How long the link thread has been in one round or write (opening the
    // link included), 0 while it waits between them: a thread that stays
    // busy far past any round's length is hung.
    std::chrono::steady_clock::duration busy_for() const;
    void restore_alarms(const OpenAlarms& open);

    // Hands a gateway client's request to the link. Its `answer` is called
    // once: at once when the request cannot pass (no unit with that id, not
    // allowed, kMaxGatewayQueue already waiting, the link stopping), else from
    // the link thread once the unit answered or failed to. Any thread.
    void gateway_request(GatewayRequest request);
    // Keeps `companion` while the link runs; stop() ends it first.
    void attach(std::unique_ptr<LinkCompanion> companion);

    // A new configuration for a running link, whose own settings stay:
    // `stage` makes the drivers of the units that are new or changed (and
    // may throw, leaving the link as it was); `take_out` then `put_in` hand
    // the link thread the units that go and the ones that come, and `settle`
    // returns once the round in progress has ended and the thread has taken
    // them. Units that stay keep polling to their rhythm with their state.
    // A unit that starts afresh keeps the alarms in `open` (see restore_alarms).
    void stage(const std::vector<UnitConfig>& units, const quillark_kit::Plugin& plugin,
               const OpenAlarms& open);
    void take_out();
    void put_in();
    void settle();

private:
    struct Unit;
    struct Write {
        int reg = 0;
        std::uint16_t value = 0;
        std::uint32_t superseded = 0;  // older writes it replaced, their results not told yet
    };
    // Units that go and units that come, for the link thread to take between rounds.
    struct Change {
        std::set<std::string> out;
        std::vector<std::unique_ptr<Unit>> in;
        std::vector<std::string> order;  // every unit's name afterwards; empty: as it is
    };
    void hand_over(std::unique_ptr<Change> change);
    void apply_change();  // with mutex_ held
    void tell_superseded();
    void reject_writes(Unit& unit, const std::string& why);
    void run();
    // With mutex_ held; null when there is none.
    Unit* earliest_unit(const std::chrono::steady_clock::time_point* since = nullptr) const;
    Unit* take_write(Write& write);  // with mutex_ held; the units take turns
    void round(Unit& unit);
    void poll(Unit& unit);
    bool record_round(Unit& unit, bool complete, double took,
                      std::shared_ptr<const std::string> status, double now,
                      std::vector<Event>& events);
    void link_event(const char* kind, Json::Value extra = Json::Value());
    void announce(Unit& unit, bool was_online);
    void send_write(Unit& unit, const Write& write);
    void note_link(const standin::Outcome& outcome);
    void note_load();
    // The link thread's turns for the gateway: between the agent's own
    // requests within the round's budget, or one at a time while no round is due.
    void serve_gateway_in_round();
    // With `lock` on mutex_: serves one waiting request if no round is due; false if none went.
    bool gateway_idle_turn(std::unique_lock<std::mutex>& lock, const Unit* next);
    standin::Outcome serve_gateway(GatewayRequest& request);
    standin::Outcome relay_to(Unit& unit, const GatewayRequest& request, standin::Bytes& answer);
    void note_gateway_write(const Unit& unit, const standin::Bytes& pdu,
                            const standin::Bytes& answer);
    Unit* unit_with_id(int unit_id) const;

    LinkConfig config_;
    Publisher& publisher_;
    standin::ModbusTransport transport_;
    GatewayTurns turns_;  // the master's transport: transport_, with the gateway's turns
    standin::Master master_;
    standin::Wakeup stopping_;  // ends the wait for an answer when the link stops
    // Changed by the link thread alone (or before it starts), under mutex_:
    // other threads read it under mutex_, the link thread at will.
    std::vector<std::unique_ptr<Unit>> units_;
    std::unique_ptr<Change> staged_;   // the reloading thread's, until handed over
    std::vector<char> status_buffer_;  // the link thread's, for the units' status texts
    // The link thread's: whose write goes next, and what it last said of the link.
    std::size_t write_turn_ = 0;
    standin::LinkStats seen_;
    // The link thread's: gateway time spent in the round in progress.
    std::chrono::steady_clock::duration gateway_spent_{};
    std::unique_ptr<LinkCompanion> companion_;

    mutable std::mutex mutex_;  // guards the views, the write queues, stop_ and the fields below
    std::condition_variable wake_;
    std::condition_variable changed_;  // change_ was taken
    std::unique_ptr<Change> change_;
    // Superseded writes whose result the link thread has yet to tell.
    std::size_t untold_ = 0;
    std::vector<std::unique_ptr<Unit>> taken_out_;  // for the reloading thread to delete
    bool stop_ = false;
    bool overloaded_ = false;
    std::deque<GatewayRequest> gateway_queue_;
    std::array<std::uint64_t, kGatewayOutcomes> gateway_counts_{};
    standin::LinkStats stats_;  // a copy of the transport's, for other threads
    // When the round or write in progress began (steady clock, in its own
    // ticks); 0 between them. Read by the watchdog without the lock.
    std::atomic<std::chrono::steady_clock::rep> busy_since_{0};
    double load_ = 0;
    std::thread thread_;
};

// What a reload did, counted against the running configuration. A unit is
// unchanged only if its own settings and its link's are.
struct ReloadSummary {
    int units_added = 0, units_removed = 0, units_changed = 0, units_unchanged = 0;
    int links_added = 0, links_removed = 0, links_changed = 0, links_unchanged = 0;
    std::vector<std::string> removed;  // names of units no longer configured
    // "2 units added, 1 removed, 1 changed, 47 unchanged; links: ..."
    std::string describe() const;
};

// All links of the running configuration.
// Makes what runs beside a link with a gateway (its server); may return null.
using CompanionMaker = std::function<std::unique_ptr<LinkCompanion>(LinkWorker&)>;

class Fleet {
public:
    Fleet(const AgentConfig& config, const quillark_kit::Plugin& plugin, Publisher& publisher,
          CompanionMaker companions = {});
    void start();
    void stop();
    // Moves to `next` touching only what changed: a link whose settings
    // changed is closed and opened anew with its units; on the other links
    // only new and changed units start afresh. Throws, changing nothing,
    // when a new driver cannot be made.
    ReloadSummary reload(const AgentConfig& next, const quillark_kit::Plugin& plugin,
                         Publisher& publisher);
    std::string queue_write(const std::string& unit, int reg, std::uint16_t value);
    bool has_unit(const std::string& unit) const;
    void views(std::vector<UnitView>& units, std::vector<LinkView>& links) const;
    // Names of the links whose thread has been busy in one round or write
    // for longer than `limit`.
    std::vector<std::string> hung_links(std::chrono::steady_clock::duration limit) const;
    // Alarms raised before a restart and not cleared, (unit, point id) ->
    // when raised: a unit's first round keeps that time instead of its own
    // and does not tell it again. Before start().
    void restore_alarms(const OpenAlarms& open);
    // The alarms raised now, as the units' views have them.
    OpenAlarms open_alarms() const;

private:
    void start_link(LinkWorker& link);

    mutable std::mutex mutex_;  // guards links_ against readers; only reload changes it
    std::vector<std::unique_ptr<LinkWorker>> links_;
    CompanionMaker companions_;
};

}  // namespace quillark_agent
