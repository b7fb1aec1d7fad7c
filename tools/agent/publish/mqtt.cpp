#include "tools/agent/publish/mqtt.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include "tools/agent/log.h"

namespace quillark_agent {
namespace {

using namespace std::chrono_literals;

constexpr int kKeepAlive = 30;  // seconds
// How long a stopping client waits for the broker to take its last messages:
// the agent stops within a second.
constexpr auto kFlushLimit = 500ms;
// Pauses between connection attempts: doubled on every failure, back to the
// first only after a connection held for kHeld.
constexpr auto kFirstPause = 1s;
constexpr auto kLongestPause = 30s;
constexpr auto kHeld = 10s;
// A connection the broker has not accepted within this is given up.
constexpr auto kAcceptLimit = std::chrono::seconds(kKeepAlive);
// The network thread looks at its stop flag at least this often.
constexpr int kLoopWaitMs = 100;

struct Library {
    Library() { mosquitto_lib_init(); }
    ~Library() { mosquitto_lib_cleanup(); }
};

std::string read_password(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line))
        throw std::runtime_error(path + ": cannot read the password");
    return line;
}

// A failure that a later attempt may not have: the message stays waiting.
bool passing(int rc) {
    return rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_NOMEM;
}

std::string reason(int rc, int error) {
    std::string text = rc == MOSQ_ERR_ERRNO ? std::strerror(error) : mosquitto_strerror(rc);
    if (!text.empty() && text.back() == '.') text.pop_back();  // it goes inside a sentence of ours
    return text;
}

// Why a connection not yet accepted has already failed, or "". libmosquitto
// goes on trying to write a TLS handshake to a socket whose connection was
// refused, and its loop then returns at once, again and again.
std::string socket_failure(mosquitto* client) {
    const int socket = mosquitto_socket(client);
    if (socket < 0) return {};
    pollfd watch{socket, 0, 0};
    if (poll(&watch, 1, 0) != 1 || (watch.revents & (POLLERR | POLLHUP)) == 0) return {};
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length);
    return error != 0 ? std::strerror(error)
                      : "the connection was closed before the broker accepted it";
}

}  // namespace

MqttClient::MqttClient(const MqttConfig& config, OwnsUnit owns, WriteHandler writes,
                       DescribeUnit describe)
    : config_(config),
      owns_(std::move(owns)),
      writes_(std::move(writes)),
      describe_(std::move(describe)),
      events_(config.prefix, config.client_id) {
    static Library library;
    if (!config_.username.empty() && !config_.password_file.empty())
        password_ = read_password(config_.password_file);
    std::string why;
    mosquitto* probe =
        make_client(why);  // what is wrong with the settings shows now, not in the background
    if (probe == nullptr) throw std::runtime_error("mqtt: " + why);
    mosquitto_destroy(probe);
}

mosquitto* MqttClient::make_client(std::string& why) {
    mosquitto* client = mosquitto_new(config_.client_id.c_str(), true, this);
    if (client == nullptr) {
        why = "cannot create the client";
        return nullptr;
    }
    mosquitto_threaded_set(client, true);
    mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    int rc = MOSQ_ERR_SUCCESS;
    if (!config_.username.empty())
        rc = mosquitto_username_pw_set(client, config_.username.c_str(),
                                       config_.password_file.empty() ? nullptr : password_.c_str());
    const char* cert = config_.cert_file.empty() ? nullptr : config_.cert_file.c_str();
    const char* key = config_.key_file.empty() ? nullptr : config_.key_file.c_str();
    if (rc == MOSQ_ERR_SUCCESS && !config_.ca_file.empty())
        rc = mosquitto_tls_set(client, config_.ca_file.c_str(), nullptr, cert, key, nullptr);
    else if (rc == MOSQ_ERR_SUCCESS && config_.tls) {
        // No CA of its own: the broker's certificate is checked against the system's store.
        rc = mosquitto_int_option(client, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        if (rc == MOSQ_ERR_SUCCESS && cert != nullptr)
            rc = mosquitto_tls_set(client, nullptr, "/etc/ssl/certs", cert, key, nullptr);
    }
    const std::string agent = config_.prefix + "/agent/" + config_.client_id + "/availability";
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_will_set(client, agent.c_str(), 7, "offline", config_.qos, true);
    if (rc != MOSQ_ERR_SUCCESS) {
        why = std::string("tls: ") + mosquitto_strerror(rc);
        mosquitto_destroy(client);
        return nullptr;
    }
    mosquitto_connect_callback_set(client, on_connect);
    mosquitto_disconnect_callback_set(client, on_disconnect);
    mosquitto_publish_callback_set(client, on_publish);
    mosquitto_message_callback_set(client, on_message);
    mosquitto_log_callback_set(client, on_log);
    return client;
}

void MqttClient::connect() {
    retain(config_.prefix + "/agent/" + config_.client_id + "/availability", "online");
    network_ = std::thread([this] { run(); });
}

MqttClient::~MqttClient() {
    if (!network_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    network_.join();
}

void MqttClient::run() {
    const std::string where = config_.host + ":" + std::to_string(config_.port);
    auto pause = std::chrono::duration_cast<std::chrono::seconds>(kFirstPause);
    while (true) {
        std::string why;
        bool accepted = false;
        const bool held = attempt(why, accepted);
        std::unique_lock<std::mutex> lock(mutex_);
        if (stopping_) return;
        if (held) pause = std::chrono::duration_cast<std::chrono::seconds>(kFirstPause);
        else ++failures_;
        if (accepted) note(true, "lost the broker " + where + ": " + why + "; connecting again");
        else
            note(true, "cannot connect to the broker " + where + ": " + why +
                           "; trying again with growing pauses (up to 30 s)");
        if (wake_.wait_for(lock, pause, [this] { return stopping_; })) return;
        if (!held)
            pause = std::min(pause * 2,
                             std::chrono::duration_cast<std::chrono::seconds>(kLongestPause));
    }
}

// A new libmosquitto client for every attempt: whatever the last one still
// held for a lost connection goes with it, never to be sent stale.
bool MqttClient::attempt(std::string& why, bool& accepted) {
    {
        std::lock_guard<std::mutex> lock(log_mutex_);
        error_.clear();
    }
    mosquitto* client = make_client(why);
    if (client == nullptr) return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        client_ = client;
        connected_ = false;
        in_flight_ = 0;
    }
    Clock::time_point connected_at{};
    const int rc = mosquitto_connect_async(client, config_.host.c_str(), config_.port, kKeepAlive);
    const int error = errno;
    why = rc == MOSQ_ERR_SUCCESS ? drive(client, connected_at) : reason(rc, error);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        client_ = nullptr;  // no other thread reaches it after this
        connected_ = false;
    }
    mosquitto_destroy(client);
    {
        // What libmosquitto logged (the TLS library's reason, the broker's
        // refusal) tells more than its error code.
        std::lock_guard<std::mutex> lock(log_mutex_);
        if (!error_.empty()) why = error_;
    }
    accepted = connected_at != Clock::time_point{};
    return accepted && Clock::now() - connected_at >= kHeld;
}

// Reads and writes until the connection ends; returns why it ended.
std::string MqttClient::drive(mosquitto* client, Clock::time_point& connected_at) {
    const Clock::time_point began = Clock::now();
    while (true) {
        const int rc = mosquitto_loop(client, kLoopWaitMs, 1);
        const int error = errno;
        std::unique_lock<std::mutex> lock(mutex_);
        if (stopping_) {
            lock.unlock();
            if (rc == MOSQ_ERR_SUCCESS) finish(client);
            return "stopping";
        }
        if (rc != MOSQ_ERR_SUCCESS) return reason(rc, error);
        if (connected_) {
            if (connected_at == Clock::time_point{}) connected_at = Clock::now();
            flush();
        } else if (Clock::now() - began > kAcceptLimit) {
            return "no answer within " + std::to_string(kKeepAlive) + " s";
        } else if (std::string failed = socket_failure(client); !failed.empty()) {
            return failed;
        }
    }
}

// Whatever waits (the units' "offline" among it), then the agent's own
// "offline" as the last word, then a clean disconnect.
void MqttClient::finish(mosquitto* client) {
    const std::string agent = config_.prefix + "/agent/" + config_.client_id + "/availability";
    const Clock::time_point limit = Clock::now() + kFlushLimit;
    bool said = false;
    std::unique_lock<std::mutex> lock(mutex_);
    while (connected_ && Clock::now() < limit) {
        flush();
        if (!said && pending_.empty()) said = hand_over(agent, "offline", true);
        if (said && in_flight_ == 0) break;
        lock.unlock();
        const bool alive = mosquitto_loop(client, 20, 1) == MOSQ_ERR_SUCCESS;
        lock.lock();
        if (!alive) return;
    }
    lock.unlock();
    mosquitto_disconnect(client);
    for (int i = 0; i < 10 && mosquitto_loop(client, 20, 1) == MOSQ_ERR_SUCCESS; ++i) {
    }
}

void MqttClient::note(bool warning, const std::string& line) {
    {
        std::lock_guard<std::mutex> lock(log_mutex_);
        if (line == said_) return;
        said_ = line;
    }
    if (warning) log::warning("mqtt: " + line);
    else log::info("mqtt: " + line);
}

void MqttClient::on_connect(mosquitto*, void* self, int rc) {
    auto& me = *static_cast<MqttClient*>(self);
    if (rc != 0) {
        std::lock_guard<std::mutex> lock(me.log_mutex_);
        // Below 128 only an MQTT 3.1.1 broker's codes can be a refusal.
        me.error_ =
            std::string("the broker refused the connection: ") +
            (rc < 128 ? std::string(mosquitto_connack_string(rc)) + " (the agent needs MQTT 5)"
                      : mosquitto_reason_string(rc));
        return;
    }
    {
        std::lock_guard<std::mutex> lock(me.mutex_);
        me.connected_ = true;
        // The broker may have lost them: the newest of every retained topic.
        for (const auto& topic : me.retained_) me.pending_.insert(topic.first);
        me.events_.reconnected();
        // Writes come only from live messages: a retained one is neither
        // replayed on subscribing nor loses its flag on the way.
        const std::string writes = me.config_.prefix + "/+/set/+";
        mosquitto_subscribe_v5(me.client_, nullptr, writes.c_str(), me.config_.qos,
                               MQTT_SUB_OPT_SEND_RETAIN_NEVER | MQTT_SUB_OPT_RETAIN_AS_PUBLISHED,
                               nullptr);
        if (!me.config_.discovery_prefix.empty()) {
            // Home Assistant says "online" when it starts: it wants the
            // configs again. This connection sends them anyway.
            const std::string status = me.config_.discovery_prefix + "/status";
            mosquitto_subscribe_v5(me.client_, nullptr, status.c_str(), me.config_.qos,
                                   MQTT_SUB_OPT_SEND_RETAIN_NEVER, nullptr);
            for (const auto& unit : me.described_) me.discovery_due_[unit.first] = 0;
        }
    }
    me.note(false, "connected to " + me.config_.host + ":" + std::to_string(me.config_.port));
}

void MqttClient::on_disconnect(mosquitto*, void* self, int) {
    auto& me = *static_cast<MqttClient*>(self);
    std::lock_guard<std::mutex> lock(me.mutex_);
    me.connected_ = false;
}

// Called once a message is sent (QoS 0) or acknowledged (QoS 1 and 2).
void MqttClient::on_publish(mosquitto*, void* self, int) {
    auto& me = *static_cast<MqttClient*>(self);
    std::lock_guard<std::mutex> lock(me.mutex_);
    if (me.in_flight_ > 0) --me.in_flight_;
}

void MqttClient::on_log(mosquitto*, void* self, int level, const char* text) {
    if ((level & MOSQ_LOG_ERR) == 0 || text == nullptr) return;
    auto& me = *static_cast<MqttClient*>(self);
    std::lock_guard<std::mutex> lock(me.log_mutex_);
    if (me.error_.empty()) me.error_ = text;
}

void MqttClient::on_message(mosquitto*, void* self, const mosquitto_message* message) {
    if (message == nullptr || message->topic == nullptr) return;
    const std::string payload(
        static_cast<const char*>(message->payload),
        message->payload == nullptr ? 0 : static_cast<std::size_t>(message->payloadlen));
    auto& me = *static_cast<MqttClient*>(self);
    if (!me.config_.discovery_prefix.empty() &&
        message->topic == me.config_.discovery_prefix + "/status")
        me.handle_discovery_status(payload);
    else me.handle_write(message->topic, payload, message->retain);
}

void MqttClient::handle_write(const std::string& topic, const std::string& payload, bool retained) {
    SetRequest request = parse_set(config_.prefix, topic, payload, retained);
    if (request.kind == SetRequest::Kind::Ignore || request.kind == SetRequest::Kind::Clear) return;
    // Another agent's units share the broker: not ours to answer for.
    if (!owns_(request.unit)) return;
    if (request.kind == SetRequest::Kind::Write)
        request.result = writes_(request.unit, request.reg, request.value);
    if (!request.result.empty()) offer(topic + "/result", request.result, false);
}

// Hands one message to libmosquitto when connected and within the bound;
// false when it must wait. Called with mutex_ held.
bool MqttClient::hand_over(const std::string& topic, const std::string& payload, bool retained) {
    if (!connected_ || client_ == nullptr || in_flight_ >= kInFlight) return false;
    ++in_flight_;  // before publishing: the acknowledgement may come first
    const int rc =
        mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                          payload.empty() ? nullptr : payload.data(), qos_for(topic), retained);
    if (rc == MOSQ_ERR_SUCCESS) return true;
    --in_flight_;
    return !passing(rc);  // one libmosquitto will never take is dropped, not retried forever
}

}  // namespace quillark_agent
