#include "tools/agent/publish/mqtt_events.h"

#include <chrono>

#include <json/writer.h>

#include "tools/agent/events/events.h"
#include "tools/agent/publish/mqtt.h"

namespace quillark_agent {
namespace {

std::string compact(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value);
}

}  // namespace

EventRelay::EventRelay(std::string prefix, std::string client_id)
    : prefix_(std::move(prefix)), agent_topic_(prefix_ + "/agent/" + client_id + "/events") {}

void EventRelay::follow(EventFeed feed, std::uint64_t after) {
    feed_ = std::move(feed);
    handed_ = after;
}

std::uint64_t EventRelay::retire() {
    retired_ = true;
    return handed_;
}

void EventRelay::reconnected() {
    if (!feed_.journal || retired_) return;
    const std::uint64_t last = feed_.journal->last_seq();
    if (last > handed_ + kReplay) skip_to(last - kReplay);
}

// The notice is an event of the journal's own, after the newest: the broker
// gets it after the events that were sent.
void EventRelay::skip_to(std::uint64_t seq) {
    Event notice;
    notice.kind = "events_dropped";
    notice.time =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    notice.extra["count"] = Json::UInt64(seq - handed_);
    notice.extra["first_seq"] = Json::UInt64(handed_ + 1);
    notice.extra["last_seq"] = Json::UInt64(seq);
    handed_ = seq;
    if (feed_.record) feed_.record(notice);
}

void EventRelay::flush(std::size_t room, const Hand& hand) {
    if (!feed_.journal || retired_) return;
    while (room > 0 && feed_.journal->last_seq() > handed_) {
        const std::vector<Event> events = feed_.journal->since(handed_, room);
        if (events.empty()) return;
        // Events that left the in-memory ring before the broker could take
        // them (a flood while it acknowledged slowly) are told as dropped.
        if (events.front().seq > handed_ + 1) {
            skip_to(events.front().seq - 1);
            continue;
        }
        for (const Event& event : events) {
            if (!hand(topic(event), payload(event))) return;
            handed_ = event.seq;
            --room;
        }
    }
}

std::string EventRelay::topic(const Event& event) const {
    return event.unit.empty() ? agent_topic_ : prefix_ + "/" + event.unit + "/events";
}

std::string EventRelay::payload(const Event& event) { return compact(event_json_utc(event)); }

// The MQTT client's side of it: events go out only while connected, and
// share the bound of messages in flight with the retained topics.
void MqttClient::follow_events(EventFeed feed, std::uint64_t after) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.follow(std::move(feed), after);
}

std::uint64_t MqttClient::retire_events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.retire();
}

void MqttClient::event(const Event&) {
    std::lock_guard<std::mutex> lock(mutex_);
    flush_events();
}

void MqttClient::flush_events() {
    if (!connected_ || client_ == nullptr || in_flight_ >= kInFlight) return;
    events_.flush(static_cast<std::size_t>(kInFlight - in_flight_),
                  [this](const std::string& topic, const std::string& payload) {
                      return hand_over(topic, payload, false);
                  });
}

}  // namespace quillark_agent
