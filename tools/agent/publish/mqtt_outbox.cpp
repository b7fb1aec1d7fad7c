// What the client sends: the retained state of every unit (status, alarms,
// availability), kept as the newest message per topic while the broker is
// away and handed over when it is back, and the write results.
#include <map>
#include <string>

#include "tools/agent/publish/mqtt.h"

namespace quillark_agent {

void MqttClient::flush() {
    while (!pending_.empty()) {
        const auto newest = retained_.find(*pending_.begin());
        if (!hand_over(*pending_.begin(),
                       newest == retained_.end() ? std::string() : newest->second, true))
            break;
        pending_.erase(pending_.begin());
    }
    while (!results_.empty() && hand_over(results_.front().first, results_.front().second, false))
        results_.pop_front();
    flush_events();
}

void MqttClient::offer(const std::string& topic, const std::string& payload, bool retained) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (retained) {
        if (payload.empty()) retained_.erase(topic);
        else retained_[topic] = payload;
        // An older payload still waiting must not overtake this one.
        if (pending_.count(topic) == 0 && hand_over(topic, payload, true)) return;
        pending_.insert(topic);
    } else if (!results_.empty() || !hand_over(topic, payload, false)) {
        results_.emplace_back(topic, payload);
        if (results_.size() > kResults) results_.pop_front();
    }
}

void MqttClient::retain(const std::string& topic, const std::string& payload) {
    offer(topic, payload, true);
}

void MqttClient::unit_status(const std::string& unit, const std::string& text) {
    retain(config_.prefix + "/" + unit + "/status", text);
}
void MqttClient::unit_alarms(const std::string& unit, const std::vector<std::uint8_t>& record,
                             double when) {
    retain(config_.prefix + "/" + unit + "/alarms", alarms_payload(record, when));
}
void MqttClient::unit_availability(const std::string& unit, bool online) {
    retain(config_.prefix + "/" + unit + "/availability", online ? "online" : "offline");
}
void MqttClient::write_result(const std::string& unit, int reg, const std::string& text) {
    offer(config_.prefix + "/" + unit + "/set/" + std::to_string(reg) + "/result", text, false);
}

void MqttClient::clear_unit(const std::string& unit) {
    for (const char* topic : {"/status", "/alarms", "/availability"})
        retain(config_.prefix + "/" + unit + topic, "");
}

void MqttClient::units_offline() {
    const std::string tail = "/availability";
    for (const auto& [topic, payload] : unit_topics())
        if (topic.size() > tail.size() &&
            topic.compare(topic.size() - tail.size(), tail.size(), tail) == 0)
            retain(config_.prefix + "/" + topic, "offline");
}

std::map<std::string, std::string> MqttClient::unit_topics() {
    const std::string head = config_.prefix + "/";
    std::map<std::string, std::string> topics;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [topic, payload] : retained_)
        if (topic.compare(0, head.size(), head) == 0 &&
            topic.compare(head.size(), 6, "agent/") != 0)
            topics[topic.substr(head.size())] = payload;
    return topics;
}

void MqttClient::adopt(const std::map<std::string, std::string>& topics) {
    for (const auto& [topic, payload] : topics) retain(config_.prefix + "/" + topic, payload);
}

void MqttClient::clear_units() {
    for (const auto& topic : unit_topics()) retain(config_.prefix + "/" + topic.first, "");
}

}  // namespace quillark_agent
