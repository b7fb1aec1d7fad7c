#include "tools/agent/publish/mqtt.h"

#include <json/writer.h>

#include "quillark/points.h"
#include "tools/agent/clock.h"

namespace quillark_agent {

std::string alarms_payload(const std::vector<std::uint8_t>& record, double when) {
    Json::Value raised(Json::objectValue);
    for (std::size_t p = 0; p < quillark::kPoints.size(); ++p) {
        const quillark::Point& point = quillark::kPoints[p];
        const std::size_t offset = quillark::kPointOffsets[p];
        if (point.kind == quillark::PointKind::Alarm && offset < record.size() &&
            record[offset] != 0)
            raised[point.id] = true;
    }
    Json::Value doc(Json::objectValue);
    doc["alarms"] = raised;
    doc["time"] = iso_time(when);
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    return Json::writeString(writer, doc);
}

MqttSwitch::MqttSwitch(OwnsUnit owns, WriteHandler writes, DescribeUnit describe)
    : owns_(std::move(owns)), writes_(std::move(writes)), describe_(std::move(describe)) {}

std::unique_ptr<MqttClient> MqttSwitch::prepare(const MqttConfig& config) const {
    if (!config.enabled) return nullptr;
    auto client = std::make_unique<MqttClient>(config, owns_, writes_, describe_);
    // The events from now on; one that takes over goes on where the old one was.
    if (feed_.journal) client->follow_events(feed_, feed_.journal->last_seq());
    return client;
}

void MqttSwitch::follow_events(EventFeed feed) { feed_ = std::move(feed); }

void MqttSwitch::replace(std::unique_ptr<MqttClient> next) {
    std::unique_ptr<MqttClient> old;
    bool left_behind = false;
    bool discovery_behind = false;
    {
        std::unique_lock<std::shared_mutex> lock(mutex_);
        old = std::move(client_);
        client_ = std::move(next);
        if (old) {
            const MqttConfig& was = old->config();
            left_behind = !client_ || client_->config().host != was.host ||
                          client_->config().port != was.port ||
                          client_->config().prefix != was.prefix;
            // Configs of another broker, discovery prefix or client id (the
            // entities' ids) would name entities nobody keeps up any more.
            discovery_behind = !was.discovery_prefix.empty() &&
                               (left_behind || client_->config().client_id != was.client_id ||
                                client_->config().discovery_prefix != was.discovery_prefix);
            if (client_) client_->adopt(old->unit_topics());
            // The old client sends no more events, so the broker gets none twice.
            const std::uint64_t handed = old->retire_events();
            if (client_ && feed_.journal) client_->follow_events(feed_, handed);
        }
    }
    // From here on the units publish to the new client, which keeps what it
    // gets until it is connected. The old one goes first: "offline" (and its
    // last will) must not come after the new client's "online".
    if (old && left_behind) old->clear_units();
    if (old && discovery_behind) old->clear_discovery();
    old.reset();
    if (client_) client_->connect();  // only this thread changes client_
}

void MqttSwitch::close() {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    // The units stop being polled with the agent: a subscriber to one unit
    // is told so, not only one to the agent's own topic.
    if (client_) client_->units_offline();
    client_.reset();
}

void MqttSwitch::unit_round(const std::string& unit, const std::vector<std::uint8_t>* record,
                            double when) {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    if (client_) client_->unit_round(unit, record, when);
}
void MqttSwitch::unit_status(const std::string& unit, const std::string& text) {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    if (client_) client_->unit_status(unit, text);
}
void MqttSwitch::unit_alarms(const std::string& unit, const std::vector<std::uint8_t>& record,
                             double when) {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    if (client_) client_->unit_alarms(unit, record, when);
}
void MqttSwitch::unit_availability(const std::string& unit, bool online) {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    if (client_) client_->unit_availability(unit, online);
}
void MqttSwitch::write_result(const std::string& unit, int reg, const std::string& text) {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    if (client_) client_->write_result(unit, reg, text);
}
void MqttSwitch::event(const Event& event) {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    if (client_) client_->event(event);
}
void MqttSwitch::clear_unit(const std::string& unit) {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    if (client_) client_->clear_unit(unit);
}

}  // namespace quillark_agent
