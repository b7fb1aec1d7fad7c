// What the client sends: the retained state of every unit (status, alarms,
// availability, points), kept as the newest message per topic while the
// broker is away and handed over when it is back, the write results and the
// discovery configs.
#include <map>
#include <string>

#include "quillark/points.h"
#include "tools/agent/publish/mqtt.h"
#include "tools/agent/publish/mqtt_discovery.h"

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
    flush_discovery();
}

// The configs owed, made one by one as the outbox takes them.
void MqttClient::flush_discovery() {
    while (!discovery_due_.empty()) {
        auto due = discovery_due_.begin();
        const auto described = described_.find(due->first);
        std::size_t& p = due->second;
        while (described != described_.end() && p < quillark::kPoints.size()) {
            const std::string topic = discovery_topic(config_, due->first, p);
            if (!topic.empty() &&
                !hand_over(topic, discovery_config(config_, due->first, described->second, p),
                           true))
                return;
            ++p;
        }
        discovery_due_.erase(due);
    }
}

int MqttClient::qos_for(const std::string& topic) const {
    const std::size_t head = config_.prefix.size() + 1;
    if (topic.compare(0, head, config_.prefix + "/") != 0 || topic.compare(head, 6, "agent/") == 0)
        return config_.qos;
    const std::size_t slash = topic.find('/', head);
    if (slash == std::string::npos) return config_.qos;
    const bool status = topic.compare(slash, std::string::npos, "/status") == 0 ||
                        topic.compare(slash, 7, "/point/") == 0;
    return status ? config_.status_qos : config_.qos;
}

void MqttClient::discover(const std::string& unit, const std::string& description) {
    std::lock_guard<std::mutex> lock(mutex_);
    described_[unit] = description;
    discovery_due_[unit] = 0;
}

void MqttClient::handle_discovery_status(const std::string& payload) {
    if (payload != "online") return;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& unit : described_) discovery_due_[unit.first] = 0;
}

void MqttClient::clear_discovery() {
    std::map<std::string, std::string> units;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        units.swap(described_);
        discovery_due_.clear();
    }
    for (const auto& unit : units)
        for (std::size_t p = 0; p < quillark::kPoints.size(); ++p)
            if (std::string topic = discovery_topic(config_, unit.first, p); !topic.empty())
                retain(topic, "");
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

void MqttClient::unit_round(const std::string& unit, const std::vector<std::uint8_t>* record,
                            double when) {
    if (record == nullptr) return;
    std::vector<std::size_t> due;
    std::vector<std::string> payloads;
    bool described = false;
    std::string description;
    {
        std::lock_guard<std::mutex> lock(watch_mutex_);
        UnitWatch& watch = watches_[unit];
        watch_round(watch, config_, *record, when, due);
        for (const std::size_t p : due) payloads.push_back(point_payload(p, watch.points[p]));
        if (!config_.discovery_prefix.empty()) {
            // A unit seen for the first time, or moved to another link.
            description = describe_ ? describe_(unit) : std::string();
            described = !watch.described || watch.description != description;
            watch.described = true;
            watch.description = description;
        }
    }
    for (std::size_t i = 0; i < due.size(); ++i)
        retain(config_.prefix + "/" + unit + "/point/" + quillark::kPoints[due[i]].id, payloads[i]);
    if (described) discover(unit, description);
}

void MqttClient::unit_status(const std::string& unit, const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(watch_mutex_);
        const auto watch = watches_.find(unit);
        if (watch != watches_.end()) {
            const UnitWatch::Verdict verdict = watch->second.verdict;
            watch->second.verdict = UnitWatch::Verdict::Undecided;
            if (verdict == UnitWatch::Verdict::Hold) return;
        }
    }
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
    {
        std::lock_guard<std::mutex> lock(watch_mutex_);
        watches_.erase(unit);
    }
    for (const char* topic : {"/status", "/alarms", "/availability"})
        retain(config_.prefix + "/" + unit + topic, "");
    for (std::size_t p = 0; config_.points && p < quillark::kPoints.size(); ++p)
        retain(config_.prefix + "/" + unit + "/point/" + quillark::kPoints[p].id, "");
    if (config_.discovery_prefix.empty()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        described_.erase(unit);
        discovery_due_.erase(unit);
    }
    for (std::size_t p = 0; p < quillark::kPoints.size(); ++p)
        if (std::string topic = discovery_topic(config_, unit, p); !topic.empty())
            retain(topic, "");
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
