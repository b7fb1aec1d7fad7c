// The agent's MQTT side: retained unit topics, the agent's own availability
// with a last will, and register writes for the registers a unit allows.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>

#include "config.h"
#include "fleet.h"

struct mosquitto;
struct mosquitto_message;

namespace quillark_agent {

// Whether a unit is this agent's, and handing it a write: "" when queued,
// "rejected: ..." when refused.
using OwnsUnit = std::function<bool(const std::string& unit)>;
using WriteHandler = std::function<std::string(const std::string& unit, int reg, std::uint16_t value)>;

class MqttClient : public Publisher {
public:
    // Sets the client up; throws on a password or TLS file it cannot use.
    MqttClient(const MqttConfig& config, OwnsUnit owns, WriteHandler writes);
    ~MqttClient() override;  // publishes "offline" and disconnects, once connect() was called
    // Connects in the background, reconnecting with back-off for as long as it runs.
    void connect();
    MqttClient(const MqttClient&) = delete;
    MqttClient& operator=(const MqttClient&) = delete;

    void unit_status(const std::string& unit, const std::string& text) override;
    void unit_alarms(const std::string& unit, const std::string& json) override;
    void unit_availability(const std::string& unit, bool online) override;
    void write_result(const std::string& unit, int reg, const std::string& text) override;

    // Empties the unit's retained topics (a unit taken out of the configuration).
    void clear_unit(const std::string& unit);
    // The units' retained topics below the prefix ("ac01/status": payload),
    // to hand to a client that takes over; adopt() retains them below its own
    // prefix; clear_units() empties them all.
    std::map<std::string, std::string> unit_topics();
    void adopt(const std::map<std::string, std::string>& topics);
    void clear_units();
    const MqttConfig& config() const { return config_; }

private:
    static void on_connect(mosquitto*, void* self, int rc);
    static void on_message(mosquitto*, void* self, const mosquitto_message* message);
    static void on_disconnect(mosquitto*, void* self, int rc);
    static void on_publish(mosquitto*, void* self, int mid);
    void handle_write(const std::string& topic, const std::string& payload, bool retained);
    void retain(const std::string& topic, const std::string& payload);
    void send(const std::string& topic, const std::string& payload, bool retained);
    void first_connect();
    void set_up();  // options, credentials, TLS and the last will

    MqttConfig config_;
    OwnsUnit owns_;
    WriteHandler writes_;
    mosquitto* client_ = nullptr;
    std::mutex mutex_;  // guards retained_
    std::map<std::string, std::string> retained_;  // republished on every connect
    // libmosquitto's own thread reconnects only once a first connection was
    // made; until then this thread keeps trying.
    std::thread connector_;
    std::mutex connector_mutex_;
    std::condition_variable connector_wake_;
    bool stopping_ = false;  // guarded by connector_mutex_
    bool started_ = false;   // connect() was called
    std::mutex sent_mutex_;  // guards the two below
    std::condition_variable sent_;
    bool connected_ = false;
    long unacknowledged_ = 0;  // messages handed to libmosquitto and not yet taken by the broker
};

// What the links publish to for the agent's whole life: the MQTT client of
// the running configuration, or nothing without one. A changed [mqtt] section
// gets a new client while the units keep polling, and the new client starts
// with every unit's retained topics.
class MqttSwitch : public Publisher {
public:
    MqttSwitch(OwnsUnit owns, WriteHandler writes);
    // A client for `config`, not yet connected (nullptr when MQTT is off);
    // throws on a password or TLS file it cannot use.
    std::unique_ptr<MqttClient> prepare(const MqttConfig& config) const;
    // Puts `next` in the running client's place, then disconnects the old
    // one and connects `next`. Topics left behind (another broker or prefix,
    // or MQTT turned off) are emptied first. Called from one thread only.
    void replace(std::unique_ptr<MqttClient> next);
    void close();  // the client publishes "offline" and disconnects

    void unit_status(const std::string& unit, const std::string& text) override;
    void unit_alarms(const std::string& unit, const std::string& json) override;
    void unit_availability(const std::string& unit, bool online) override;
    void write_result(const std::string& unit, int reg, const std::string& text) override;
    void clear_unit(const std::string& unit);

private:
    OwnsUnit owns_;
    WriteHandler writes_;
    std::shared_mutex mutex_;  // guards client_: held shared while publishing
    std::unique_ptr<MqttClient> client_;
};

// Why a write payload is refused, or "" for a plain decimal number 0..65535.
std::string check_write_value(const std::string& payload, std::uint16_t& value);

}  // namespace quillark_agent
