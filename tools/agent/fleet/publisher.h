// What the fleet tells of what it sees, and to whom: the results of rounds
// and writes, and the events. Events and publishing implement Publisher; the
// fleet knows nothing of MQTT, HTTP or the journal.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

namespace quillark_agent {

// What happened: an alarm raised or cleared, a unit or link lost or back, a
// write sent, a reload.
struct Event {
    std::uint64_t seq = 0;  // the journal's own order, from 1
    double time = 0;        // Unix seconds, UTC
    std::string kind;       // "alarm_raised", "unit_offline", "write", ...
    std::string unit;       // empty for the agent's own events
    std::string point;      // the point's id, for alarms and writes
    std::string key;        // its status document key
    std::string meaning;    // its meaning from the point table
    Json::Value extra;      // the kind's own fields (an object, or null)
};

// Where the results of rounds and writes go (MQTT, or nowhere).
class Publisher {
public:
    virtual ~Publisher() = default;
    // Every round of a unit, complete or not, before what follows from it:
    // `record` is the round's record, or null when the round did not complete.
    virtual void unit_round(const std::string& unit, const std::vector<std::uint8_t>* record,
                            double when) {
        (void)unit, (void)record, (void)when;
    }
    virtual void unit_status(const std::string& unit, const std::string& text) = 0;
    // The unit's record of the round in which its set of raised alarms changed.
    virtual void unit_alarms(const std::string& unit, const std::vector<std::uint8_t>& record,
                             double when) = 0;
    virtual void unit_availability(const std::string& unit, bool online) = 0;
    virtual void write_result(const std::string& unit, int reg, const std::string& text) = 0;
    // What happened, for the event journal and whoever is told of events:
    // alarms raised and cleared, units and links lost and back, writes sent.
    virtual void event(const Event& event) { (void)event; }
};

// A publisher in a chain (the history, then the event desk, then MQTT):
// passes on to the next whatever it does not take up itself.
class RelayPublisher : public Publisher {
public:
    explicit RelayPublisher(Publisher& next) : next_(next) {}
    void unit_round(const std::string& unit, const std::vector<std::uint8_t>* record,
                    double when) override {
        next_.unit_round(unit, record, when);
    }
    void unit_status(const std::string& unit, const std::string& text) override {
        next_.unit_status(unit, text);
    }
    void unit_alarms(const std::string& unit, const std::vector<std::uint8_t>& record,
                     double when) override {
        next_.unit_alarms(unit, record, when);
    }
    void unit_availability(const std::string& unit, bool online) override {
        next_.unit_availability(unit, online);
    }
    void write_result(const std::string& unit, int reg, const std::string& text) override {
        next_.write_result(unit, reg, text);
    }
    void event(const Event& event) override { next_.event(event); }

protected:
    Publisher& next_;
};

}  // namespace quillark_agent
