#include "mqtt.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <stdexcept>

#include <mosquitto.h>

#include "log.h"

namespace quillark_agent {
namespace {

constexpr int kKeepAlive = 30;  // seconds
// How long a stopping client waits for the broker to take its last messages:
// the agent stops within a second.
constexpr auto kFlushLimit = std::chrono::milliseconds(500);

void say(const std::string& line) { log::info("mqtt: " + line); }
void warn(const std::string& line) { log::warning("mqtt: " + line); }

struct Library {
    Library() { mosquitto_lib_init(); }
    ~Library() { mosquitto_lib_cleanup(); }
};

std::string read_password(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) throw std::runtime_error(path + ": cannot read the password");
    return line;
}

}  // namespace

std::string check_write_value(const std::string& payload, std::uint16_t& value) {
    if (payload.empty() || payload.size() > 5 ||
        payload.find_first_not_of("0123456789") != std::string::npos)
        return payload.size() > 5 && payload.find_first_not_of("0123456789") == std::string::npos
                   ? "rejected: value out of range 0..65535"
                   : "rejected: the value is not a plain decimal number";
    const unsigned long number = std::stoul(payload);
    if (number > 65535) return "rejected: value out of range 0..65535";
    value = static_cast<std::uint16_t>(number);
    return {};
}

MqttClient::MqttClient(const MqttConfig& config, OwnsUnit owns, WriteHandler writes)
    : config_(config), owns_(std::move(owns)), writes_(std::move(writes)) {
    static Library library;
    client_ = mosquitto_new(config_.client_id.c_str(), true, this);
    if (client_ == nullptr) throw std::runtime_error("mqtt: cannot create the client");
    try {
        set_up();
    } catch (...) {
        mosquitto_destroy(client_);  // no destructor runs for a constructor that throws
        throw;
    }
}

void MqttClient::set_up() {
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    if (!config_.username.empty()) {
        const std::string password = config_.password_file.empty() ? "" : read_password(config_.password_file);
        mosquitto_username_pw_set(client_, config_.username.c_str(),
                                  config_.password_file.empty() ? nullptr : password.c_str());
    }
    if (config_.tls || !config_.ca_file.empty()) {
        const int rc = mosquitto_tls_set(client_, config_.ca_file.empty() ? nullptr : config_.ca_file.c_str(),
                                         nullptr,
                                         config_.cert_file.empty() ? nullptr : config_.cert_file.c_str(),
                                         config_.key_file.empty() ? nullptr : config_.key_file.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) throw std::runtime_error(std::string("mqtt: tls: ") + mosquitto_strerror(rc));
    }
    const std::string agent = config_.prefix + "/agent/" + config_.client_id + "/availability";
    mosquitto_will_set(client_, agent.c_str(), 7, "offline", config_.qos, true);
    mosquitto_connect_callback_set(client_, on_connect);
    mosquitto_disconnect_callback_set(client_, on_disconnect);
    mosquitto_publish_callback_set(client_, on_publish);
    mosquitto_message_callback_set(client_, on_message);
    mosquitto_reconnect_delay_set(client_, 1, 30, true);
}

void MqttClient::connect() {
    retain(config_.prefix + "/agent/" + config_.client_id + "/availability", "online");
    started_ = true;
    mosquitto_loop_start(client_);
    const int rc = mosquitto_connect_async(client_, config_.host.c_str(), config_.port, kKeepAlive);
    if (rc != MOSQ_ERR_SUCCESS) {
        warn("broker " + config_.host + ":" + std::to_string(config_.port) + " not reached yet (" +
            mosquitto_strerror(rc) + "); trying again");
        connector_ = std::thread([this] { first_connect(); });
    }
}

void MqttClient::first_connect() {
    auto pause = std::chrono::seconds(1);
    std::unique_lock<std::mutex> lock(connector_mutex_);
    while (!connector_wake_.wait_for(lock, pause, [this] { return stopping_; })) {
        if (mosquitto_connect_async(client_, config_.host.c_str(), config_.port, kKeepAlive) ==
            MOSQ_ERR_SUCCESS)
            return;
        pause = std::min(pause * 2, std::chrono::seconds(30));
    }
}

MqttClient::~MqttClient() {
    {
        std::lock_guard<std::mutex> lock(connector_mutex_);
        stopping_ = true;
    }
    connector_wake_.notify_all();
    if (connector_.joinable()) connector_.join();
    if (!started_) {
        mosquitto_destroy(client_);
        return;
    }
    const std::string agent = config_.prefix + "/agent/" + config_.client_id + "/availability";
    send(agent, "offline", true);
    // Disconnecting drops what is still queued: emptied topics and the
    // "offline" itself (which the broker would then send only as the will).
    {
        std::unique_lock<std::mutex> lock(sent_mutex_);
        sent_.wait_for(lock, kFlushLimit, [this] { return !connected_ || unacknowledged_ == 0; });
    }
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
}

void MqttClient::on_connect(mosquitto*, void* self, int rc) {
    auto& me = *static_cast<MqttClient*>(self);
    if (rc != 0) {
        warn(std::string("broker refused the connection: ") + mosquitto_connack_string(rc));
        return;
    }
    say("connected to " + me.config_.host + ":" + std::to_string(me.config_.port));
    {
        std::lock_guard<std::mutex> lock(me.sent_mutex_);
        me.connected_ = true;
    }
    const std::string writes = me.config_.prefix + "/+/set/+";
    mosquitto_subscribe(me.client_, nullptr, writes.c_str(), me.config_.qos);
    std::lock_guard<std::mutex> lock(me.mutex_);
    for (const auto& [topic, payload] : me.retained_) me.send(topic, payload, true);
}

void MqttClient::on_disconnect(mosquitto*, void* self, int) {
    auto& me = *static_cast<MqttClient*>(self);
    std::lock_guard<std::mutex> lock(me.sent_mutex_);
    me.connected_ = false;
    me.sent_.notify_all();
}

// Called once a message is sent (QoS 0) or acknowledged (QoS 1 and 2).
void MqttClient::on_publish(mosquitto*, void* self, int) {
    auto& me = *static_cast<MqttClient*>(self);
    std::lock_guard<std::mutex> lock(me.sent_mutex_);
    if (me.unacknowledged_ > 0) --me.unacknowledged_;
    me.sent_.notify_all();
}

void MqttClient::on_message(mosquitto*, void* self, const mosquitto_message* message) {
    if (message == nullptr || message->topic == nullptr) return;
    const std::string payload(static_cast<const char*>(message->payload),
                              message->payload == nullptr ? 0 : static_cast<std::size_t>(message->payloadlen));
    static_cast<MqttClient*>(self)->handle_write(message->topic, payload, message->retain);
}

// <prefix>/<unit>/set/<register>
void MqttClient::handle_write(const std::string& topic, const std::string& payload, bool retained) {
    const std::string head = config_.prefix + "/";
    if (topic.compare(0, head.size(), head) != 0) return;
    const std::string rest = topic.substr(head.size());
    const std::size_t slash = rest.find("/set/");
    if (slash == std::string::npos) return;
    const std::string unit = rest.substr(0, slash);
    // Another agent's units share the broker: not ours to answer for.
    if (!owns_(unit)) return;
    std::uint16_t reg = 0;
    std::uint16_t value = 0;
    std::string result;
    if (!check_write_value(rest.substr(slash + 5), reg).empty())
        result = "rejected: the register is not a decimal number 0..65535";
    else if (retained)
        // A retained command would be carried out again on every reconnect.
        result = "rejected: a retained message is not a write";
    else if (result = check_write_value(payload, value); result.empty())
        result = writes_(unit, reg, value);
    if (!result.empty()) send(topic + "/result", result, false);
}

void MqttClient::retain(const std::string& topic, const std::string& payload) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (payload.empty()) retained_.erase(topic);
        else retained_[topic] = payload;
    }
    send(topic, payload, true);
}

void MqttClient::send(const std::string& topic, const std::string& payload, bool retained) {
    {
        std::lock_guard<std::mutex> lock(sent_mutex_);
        ++unacknowledged_;  // before publishing: the answer may come first
    }
    const int rc = mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                     payload.empty() ? nullptr : payload.data(), config_.qos, retained);
    if (rc != MOSQ_ERR_SUCCESS) {
        std::lock_guard<std::mutex> lock(sent_mutex_);
        if (unacknowledged_ > 0) --unacknowledged_;
    }
}

void MqttClient::unit_status(const std::string& unit, const std::string& text) {
    retain(config_.prefix + "/" + unit + "/status", text);
}
void MqttClient::unit_alarms(const std::string& unit, const std::string& json) {
    retain(config_.prefix + "/" + unit + "/alarms", json);
}
void MqttClient::unit_availability(const std::string& unit, bool online) {
    retain(config_.prefix + "/" + unit + "/availability", online ? "online" : "offline");
}
void MqttClient::write_result(const std::string& unit, int reg, const std::string& text) {
    send(config_.prefix + "/" + unit + "/set/" + std::to_string(reg) + "/result", text, false);
}

void MqttClient::clear_unit(const std::string& unit) {
    for (const char* topic : {"/status", "/alarms", "/availability"}) retain(config_.prefix + "/" + unit + topic, "");
}

std::map<std::string, std::string> MqttClient::unit_topics() {
    const std::string head = config_.prefix + "/";
    std::map<std::string, std::string> topics;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [topic, payload] : retained_)
        if (topic.compare(0, head.size(), head) == 0 && topic.compare(head.size(), 6, "agent/") != 0)
            topics[topic.substr(head.size())] = payload;
    return topics;
}

void MqttClient::adopt(const std::map<std::string, std::string>& topics) {
    for (const auto& [topic, payload] : topics) retain(config_.prefix + "/" + topic, payload);
}

void MqttClient::clear_units() {
    for (const auto& topic : unit_topics()) retain(config_.prefix + "/" + topic.first, "");
}

MqttSwitch::MqttSwitch(OwnsUnit owns, WriteHandler writes)
    : owns_(std::move(owns)), writes_(std::move(writes)) {}

std::unique_ptr<MqttClient> MqttSwitch::prepare(const MqttConfig& config) const {
    return config.enabled ? std::make_unique<MqttClient>(config, owns_, writes_) : nullptr;
}

void MqttSwitch::replace(std::unique_ptr<MqttClient> next) {
    std::unique_ptr<MqttClient> old;
    bool left_behind = false;
    {
        std::unique_lock<std::shared_mutex> lock(mutex_);
        old = std::move(client_);
        client_ = std::move(next);
        if (old) {
            const MqttConfig& was = old->config();
            left_behind = !client_ || client_->config().host != was.host ||
                          client_->config().port != was.port || client_->config().prefix != was.prefix;
            if (client_) client_->adopt(old->unit_topics());
        }
    }
    // From here on the units publish to the new client, which keeps what it
    // gets until it is connected. The old one goes first: "offline" (and its
    // last will) must not come after the new client's "online".
    if (old && left_behind) old->clear_units();
    old.reset();
    if (client_) client_->connect();  // only this thread changes client_
}

void MqttSwitch::close() {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    client_.reset();
}

void MqttSwitch::unit_status(const std::string& unit, const std::string& text) {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    if (client_) client_->unit_status(unit, text);
}
void MqttSwitch::unit_alarms(const std::string& unit, const std::string& json) {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    if (client_) client_->unit_alarms(unit, json);
}
void MqttSwitch::unit_availability(const std::string& unit, bool online) {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    if (client_) client_->unit_availability(unit, online);
}
void MqttSwitch::write_result(const std::string& unit, int reg, const std::string& text) {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    if (client_) client_->write_result(unit, reg, text);
}
void MqttSwitch::clear_unit(const std::string& unit) {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    if (client_) client_->clear_unit(unit);
}

}  // namespace quillark_agent
