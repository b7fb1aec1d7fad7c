// The agent's MQTT side: retained unit topics, the agent's own availability
// with a last will, and register writes for the registers a unit allows.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
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
    // Connects in the background, reconnecting with back-off for as long as it runs.
    MqttClient(const MqttConfig& config, OwnsUnit owns, WriteHandler writes);
    ~MqttClient() override;  // publishes "offline" and disconnects
    MqttClient(const MqttClient&) = delete;
    MqttClient& operator=(const MqttClient&) = delete;

    void unit_status(const std::string& unit, const std::string& text) override;
    void unit_alarms(const std::string& unit, const std::string& json) override;
    void unit_availability(const std::string& unit, bool online) override;
    void write_result(const std::string& unit, int reg, const std::string& text) override;

    // Empties the unit's retained topics (a unit taken out of the configuration).
    void clear_unit(const std::string& unit);
    const MqttConfig& config() const { return config_; }

private:
    static void on_connect(mosquitto*, void* self, int rc);
    static void on_message(mosquitto*, void* self, const mosquitto_message* message);
    void handle_write(const std::string& topic, const std::string& payload, bool retained);
    void retain(const std::string& topic, const std::string& payload);
    void send(const std::string& topic, const std::string& payload, bool retained);
    void first_connect();

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
};

// Why a write payload is refused, or "" for a plain decimal number 0..65535.
std::string check_write_value(const std::string& payload, std::uint16_t& value);

}  // namespace quillark_agent
