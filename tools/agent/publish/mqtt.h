// The agent's MQTT side: retained unit topics, the agent's own availability
// with a last will, and register writes for the registers a unit allows.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>

#include "tools/agent/config/config.h"
#include "tools/agent/fleet/fleet.h"
#include "tools/agent/publish/mqtt_events.h"
#include "tools/agent/publish/mqtt_message.h"
#include "tools/agent/publish/mqtt_points.h"

struct mosquitto;
struct mosquitto_message;

namespace quillark_agent {

// Whether a unit is this agent's, and handing it a write: "" when queued,
// "rejected: ..." when refused.
using OwnsUnit = std::function<bool(const std::string& unit)>;
using WriteHandler =
    std::function<std::string(const std::string& unit, int reg, std::uint16_t value)>;
// Where a unit is, for people ("link gw1, unit id 3"), or "".
using DescribeUnit = std::function<std::string(const std::string& unit)>;

// One thread does all of a client's network work: connecting (TLS handshake
// included), reading, writing and waiting between attempts. Other threads
// only hand it messages. While the broker is away a retained topic keeps
// only its newest payload and nothing is handed to libmosquitto, so memory
// stays flat however long the broker is gone.
// The retained message of <prefix>/<unit>/alarms: the alarms raised in a
// record, by point id, and when.
std::string alarms_payload(const std::vector<std::uint8_t>& record, double when);

class MqttClient : public Publisher {
public:
    // Sets the client up; throws on a password or TLS file it cannot use.
    MqttClient(const MqttConfig& config, OwnsUnit owns, WriteHandler writes,
               DescribeUnit describe = nullptr);
    // Publishes "offline" (units first when units_offline() was called) and
    // disconnects, once connect() was called.
    ~MqttClient() override;
    // Connects in the background, reconnecting with back-off for as long as it runs.
    void connect();
    MqttClient(const MqttClient&) = delete;
    MqttClient& operator=(const MqttClient&) = delete;

    // Decides whether the round's status goes out (on change, or the
    // heartbeat) and sends the point topics that changed.
    void unit_round(const std::string& unit, const std::vector<std::uint8_t>* record,
                    double when) override;
    // Sent when the round's record asked for it (or no record came before it).
    void unit_status(const std::string& unit, const std::string& text) override;
    void unit_alarms(const std::string& unit, const std::vector<std::uint8_t>& record,
                     double when) override;
    void unit_availability(const std::string& unit, bool online) override;
    void write_result(const std::string& unit, int reg, const std::string& text) override;
    // Sends what the journal holds beyond what the broker was handed (the
    // event is in the journal already).
    void event(const Event& event) override;

    // Sends the journal's events after `after` on the events topics, not
    // retained; before connect().
    void follow_events(EventFeed feed, std::uint64_t after);
    // Sends no more events; returns the last one handed to the broker, for
    // the client that takes over.
    std::uint64_t retire_events();

    // Empties the unit's retained topics (a unit taken out of the configuration).
    void clear_unit(const std::string& unit);
    // Every unit's availability "offline": the agent stops.
    void units_offline();
    // The units' retained topics below the prefix ("ac01/status": payload),
    // to hand to a client that takes over; adopt() retains them below its own
    // prefix; clear_units() empties them all.
    std::map<std::string, std::string> unit_topics();
    void adopt(const std::map<std::string, std::string>& topics);
    void clear_units();
    // Empties the discovery configs of every unit (discovery moved or ended).
    void clear_discovery();
    const MqttConfig& config() const { return config_; }
    // Connection attempts that failed or did not hold, so far.
    long failures() const { return failures_.load(); }

private:
    using Clock = std::chrono::steady_clock;
    // Messages handed to libmosquitto and not yet sent or acknowledged; the
    // rest wait here, a retained topic as its newest payload only, an event
    // in the journal.
    static constexpr int kInFlight = 64;
    // Write results waiting for the broker: while it is away, or while a flood
    // of writes brings results faster than it acknowledges them. Every write
    // gets its result in a flood the links' queues allow (at most eight per
    // unit wait, the rest are refused at once); past this bound the oldest go.
    static constexpr std::size_t kResults = 1024;
    static void on_connect(mosquitto*, void* self, int rc);
    static void on_message(mosquitto*, void* self, const mosquitto_message* message);
    static void on_disconnect(mosquitto*, void* self, int rc);
    static void on_publish(mosquitto*, void* self, int mid);
    static void on_log(mosquitto*, void* self, int level, const char* text);
    void handle_write(const std::string& topic, const std::string& payload, bool retained);
    void retain(const std::string& topic, const std::string& payload);
    void offer(const std::string& topic, const std::string& payload, bool retained);
    bool hand_over(const std::string& topic, const std::string& payload,
                   bool retained);  // mutex_ held
    void flush();                   // mutex_ held
    void flush_events();            // mutex_ held
    void flush_discovery();         // mutex_ held
    // Status and point topics go with status_qos, the rest with qos.
    int qos_for(const std::string& topic) const;
    void discover(const std::string& unit, const std::string& description);
    void handle_discovery_status(const std::string& payload);
    // A libmosquitto client with options, credentials, TLS, the last will and
    // the callbacks; nullptr with `why` when one cannot be had.
    mosquitto* make_client(std::string& why);

    // The network thread and its parts.
    void run();
    // One connection, until it ends; true when it held. `accepted`: the
    // broker accepted it, however briefly.
    bool attempt(std::string& why, bool& accepted);
    std::string drive(mosquitto* client, Clock::time_point& connected_at);
    void finish(mosquitto* client);  // the last messages, then a clean disconnect
    void note(bool warning, const std::string& line);

    MqttConfig config_;
    OwnsUnit owns_;
    WriteHandler writes_;
    DescribeUnit describe_;
    std::string password_;
    std::thread network_;
    std::atomic<long> failures_{0};

    std::mutex mutex_;  // guards what follows
    std::condition_variable wake_;
    mosquitto* client_ =
        nullptr;              // the connection tried or held; replaced by the network thread only
    bool connected_ = false;  // the broker accepted this connection
    bool stopping_ = false;
    int in_flight_ = 0;  // handed to libmosquitto, not yet sent (QoS 0) or acknowledged
    std::map<std::string, std::string> retained_;  // republished on every connect
    // Retained topics whose newest payload (in retained_, "" when absent)
    // is not yet handed over.
    std::set<std::string> pending_;
    std::deque<std::pair<std::string, std::string>>
        results_;        // write results waiting for a connection
    EventRelay events_;  // the events the broker is owed: a position in the journal
    // The units discovery tells of, with their descriptions, and those whose
    // configs are owed, with the next point to send: made as they go out,
    // at most kInFlight at a time, so that no unit's configs wait in memory.
    std::map<std::string, std::string> described_;
    std::map<std::string, std::size_t> discovery_due_;

    std::mutex watch_mutex_;  // guards watches_; taken before mutex_, never inside it
    std::map<std::string, UnitWatch> watches_;

    std::mutex log_mutex_;  // guards the two below: libmosquitto may log from any thread
    std::string error_;     // libmosquitto's first error line of the current attempt
    std::string said_;      // the last connection state logged
};

// What the links publish to for the agent's whole life: the MQTT client of
// the running configuration, or nothing without one. A changed [mqtt] section
// gets a new client while the units keep polling, and the new client starts
// with every unit's retained topics.
class MqttSwitch : public Publisher {
public:
    MqttSwitch(OwnsUnit owns, WriteHandler writes, DescribeUnit describe = nullptr);
    // A client for `config`, not yet connected (nullptr when MQTT is off);
    // throws on a password or TLS file it cannot use.
    std::unique_ptr<MqttClient> prepare(const MqttConfig& config) const;
    // Puts `next` in the running client's place, then disconnects the old
    // one and connects `next`. Topics left behind (another broker or prefix,
    // or MQTT turned off) are emptied first. Called from one thread only.
    void replace(std::unique_ptr<MqttClient> next);
    void close();  // every unit and the agent "offline", then disconnects

    void unit_round(const std::string& unit, const std::vector<std::uint8_t>* record,
                    double when) override;
    void unit_status(const std::string& unit, const std::string& text) override;
    void unit_alarms(const std::string& unit, const std::vector<std::uint8_t>& record,
                     double when) override;
    void unit_availability(const std::string& unit, bool online) override;
    void write_result(const std::string& unit, int reg, const std::string& text) override;
    void event(const Event& event) override;
    void clear_unit(const std::string& unit);
    // The event journal the clients send the events topics from; before
    // the first client is prepared.
    void follow_events(EventFeed feed);

private:
    OwnsUnit owns_;
    WriteHandler writes_;
    DescribeUnit describe_;
    EventFeed feed_;
    std::shared_mutex mutex_;  // guards client_: held shared while publishing
    std::unique_ptr<MqttClient> client_;
};

}  // namespace quillark_agent
