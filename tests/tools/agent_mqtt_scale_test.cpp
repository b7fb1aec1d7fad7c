// MQTT at hall scale against a real broker: the status only when something
// changed (or the heartbeat is due), deadbands, the per-point topics, and
// Home Assistant's discovery configs checked against the messages a real
// unit's rounds bring.
#include <csignal>
#include <set>

#include <json/value.h>

#include "quillark/points.h"
#include "quillark/record.h"
#include "tests/tools/agent_fixtures.h"
#include "tools/agent/config/config.h"
#include "tools/agent/publish/mqtt.h"

using namespace agent_tests;

namespace {

std::size_t point_index(const std::string& id) {
    for (std::size_t p = 0; p < quillark::kPoints.size(); ++p)
        if (id == quillark::kPoints[p].id) return p;
    ADD_FAILURE() << "no point " << id;
    return 0;
}

// A record the client is handed as a round's, with points set by id.
struct Record {
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(sizeof(Quillark_Data_t), 0);
    void word(const std::string& id, std::uint16_t value) {
        const std::size_t at = quillark::kPointOffsets[point_index(id)];
        bytes[at] = static_cast<std::uint8_t>(value & 0xff);
        bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
    }
    void bit(const std::string& id, bool on) {
        bytes[quillark::kPointOffsets[point_index(id)]] = on ? 1 : 0;
    }
};

std::vector<std::string> statuses(Subscriber& watch, const std::string& topic) {
    std::vector<std::string> sent;
    for (const std::string& line : watch.log())
        if (line.compare(0, topic.size() + 1, topic + " ") == 0)
            sent.push_back(line.substr(topic.size() + 1));
    return sent;
}

quillark_agent::MqttClient client_for(const std::string& toml) {
    return quillark_agent::MqttClient(
        quillark_agent::parse_config(toml, "scale.toml").mqtt,
        [](const std::string&) { return false; },
        [](const std::string&, int, std::uint16_t) { return std::string(); });
}

class AgentMqttScaleTest : public AgentTest {};

}  // namespace

// Rounds handed to the client as the fleet hands them: the status goes out
// when a point moved past its deadband since the status last sent, or when
// the heartbeat is due; each point's topic when its own value moved.
TEST_F(AgentMqttScaleTest, TheStatusGoesOutOnChangeAndOnTheHeartbeatOnly) {
    Broker broker(dir);
    Subscriber watch(broker.port());
    ASSERT_TRUE(watch.subscribed());
    const std::string section =
        mqtt(broker.port(), "scale") +
        "heartbeat = 60\nstatus_qos = 0\npoints = true\n[mqtt.deadband]\nscaled = 0.2\n"
        "indoor_return_air_temperature_measured = 0.3\n";
    auto client = client_for(section);
    client.connect();
    Record record;
    record.word("indoor_return_air_temperature_measured", 231);
    record.word("indoor_return_air_humidity_measured", 450);
    record.word("unit_state", 1);
    // Connected first: a client waiting for its broker keeps only the newest
    // status, and every one that went out is to be seen here.
    ASSERT_TRUE(watch.wait_for("quillark/agent/scale/availability", "online"));
    const std::string topic = "quillark/ac01/status";
    // A status held back would show in the log before the next one sent.
    auto round = [&](double when, const std::string& status, bool sent) {
        client.unit_round("ac01", &record.bytes, when);
        client.unit_status("ac01", status);
        if (sent) {
            EXPECT_TRUE(watch.wait_for(topic, status)) << status;
        }
    };
    round(1000, "first", true);
    round(1001, "nothing changed", false);
    record.bit("alarm_water_leak", true);
    round(1002, "alarm raised", true);
    record.word("indoor_return_air_temperature_measured", 233);  // 0.2 of its own 0.3
    record.word("indoor_return_air_humidity_measured", 451);     // 0.1 of the kind's 0.2
    round(1003, "jitter", false);
    record.word("indoor_return_air_temperature_measured", 235);  // 0.4 from what was sent
    round(1004, "drifted past", true);
    round(1063, "quiet", false);
    round(1064, "heartbeat", true);
    EXPECT_EQ(statuses(watch, topic),
              (std::vector<std::string>{"first", "alarm raised", "drifted past", "heartbeat"}));
    // The status and point topics at status_qos, the rest at qos.
    EXPECT_EQ(watch.qos(topic), 0);
    EXPECT_EQ(watch.qos("quillark/agent/scale/availability"), 1);

    // Each point on its own topic as a plain value, sent when it moved.
    const std::string point = "quillark/ac01/point/";
    EXPECT_EQ(statuses(watch, point + "indoor_return_air_temperature_measured"),
              (std::vector<std::string>{"23.1", "23.5"}));
    EXPECT_EQ(watch.latest(point + "indoor_return_air_humidity_measured"), "45");
    EXPECT_EQ(watch.latest(point + "alarm_water_leak"), "true");
    EXPECT_EQ(watch.latest(point + "water_leak_detector"), "false");
    EXPECT_EQ(watch.latest(point + "unit_state"), quillark::kUnitStateLabels[1].label);
    EXPECT_EQ(watch.latest(point + "working_mode"), quillark::kWorkingModeLabels[0].label);
    EXPECT_EQ(watch.latest(point + "unit_running_state"), quillark::kValveLabels.zero);
    EXPECT_EQ(watch.latest(point + "middle_supply_air_temperature"), "0");
    EXPECT_EQ(watch.qos(point + "unit_state"), 0);
    std::size_t topics = 0;
    for (const auto& [name, payload] : watch.topics()) topics += name.rfind(point, 0) == 0;
    EXPECT_EQ(topics, quillark::kPoints.size());
}

// Every round when asked for, whatever changed; point topics only when asked for.
TEST_F(AgentMqttScaleTest, EveryRoundSendsEveryStatus) {
    Broker broker(dir);
    Subscriber watch(broker.port());
    ASSERT_TRUE(watch.subscribed());
    Record record;
    auto every = client_for(mqtt(broker.port(), "every") + "status = \"every-round\"\n");
    every.connect();
    ASSERT_TRUE(watch.wait_for("quillark/agent/every/availability", "online"));
    for (const char* status : {"one", "two", "three"}) {
        every.unit_round("ac02", &record.bytes, 2000);
        every.unit_status("ac02", status);
        EXPECT_TRUE(watch.wait_for("quillark/ac02/status", status));
    }
    EXPECT_EQ(statuses(watch, "quillark/ac02/status"),
              (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(watch.count("quillark/ac02/point/unit_state"), 0u);  // points are opt-in
}

namespace {

// The key a template of ours looks up: {{ value_json['<key>'] }}.
// (Plain string checks: GCC 12 warns inside <regex> in the sanitizer builds.)
std::string template_key(const std::string& text) {
    const std::string head = "{{ value_json['", tail = "'] }}";
    if (text.size() <= head.size() + tail.size() || text.compare(0, head.size(), head) != 0 ||
        text.compare(text.size() - tail.size(), tail.size(), tail) != 0)
        return {};
    std::string key = text.substr(head.size(), text.size() - head.size() - tail.size());
    return key.find('\'') == std::string::npos ? key : std::string();
}

// The value an entity shows from what its state topic carries now, as Home
// Assistant renders it; "" when the message or the template yields none.
std::string rendered(const Json::Value& config, const std::map<std::string, std::string>& seen) {
    const auto message = seen.find(config["state_topic"].asString());
    if (message == seen.end() || message->second.empty()) return {};
    if (!config.isMember("value_template")) return message->second;
    const std::string key = template_key(config["value_template"].asString());
    const Json::Value doc = parse_json(message->second);
    if (key.empty() || !doc.isMember(key)) return {};
    const Json::Value& value = doc[key];
    return value.isString() ? value.asString() : value.toStyledString();
}

std::size_t entities() {
    std::size_t n = 0;
    for (const quillark::Point& point : quillark::kPoints)
        n += point.kind != quillark::PointKind::NetworkedUnit;
    return n;
}

// Every config as Home Assistant needs it, its state shown from the
// messages a real round brought.
void check_configs(Subscriber& configs, Subscriber& states, const std::string& unit) {
    const auto seen = states.topics();
    std::set<std::string> ids;
    std::size_t count = 0;
    for (const auto& [topic, payload] : configs.topics()) {
        if (topic.find("/" + unit + "__") == std::string::npos || payload.empty()) continue;
        ++count;
        const Json::Value config = parse_json(payload);
        SCOPED_TRACE(topic + " " + payload);
        const bool binary = topic.rfind("homeassistant/binary_sensor/", 0) == 0;
        EXPECT_TRUE(binary || topic.rfind("homeassistant/sensor/", 0) == 0);
        EXPECT_TRUE(ids.insert(config["unique_id"].asString()).second);
        EXPECT_GT(config["device"]["identifiers"].size(), 0u);
        EXPECT_NE(config["device"]["name"].asString().find("unit id"), std::string::npos);
        ASSERT_EQ(config["availability"].size(), 2u);
        EXPECT_EQ(config["availability"][0]["topic"].asString(),
                  "quillark/" + unit + "/availability");
        EXPECT_EQ(config["availability_mode"].asString(), "all");
        const std::string value = rendered(config, seen);
        EXPECT_FALSE(value.empty());
        if (binary) {
            EXPECT_TRUE(value == config["payload_on"].asString() ||
                        value == config["payload_off"].asString());
        } else if (config.isMember("state_class")) {
            EXPECT_NO_THROW((void)std::stod(value));
        }
    }
    EXPECT_EQ(count, entities());
}

}  // namespace

// Discovery from a running agent: every entity's state from the status
// document's template or from its own point topic, the configs again when
// Home Assistant comes online, and emptied when the unit leaves.
TEST_F(AgentMqttScaleTest, DiscoveryConfigsShowARealUnitsValues) {
    Broker broker(dir);
    Sim sim(dir, "sim", {"--steady"});
    for (const bool points : {false, true}) {
        SCOPED_TRACE(points ? "per-point topics" : "status template");
        Subscriber states(broker.port());
        Subscriber configs(broker.port(), "homeassistant/#");
        ASSERT_TRUE(states.subscribed());
        const std::string name = points ? "points" : "template";
        const std::string head = http(free_port()) + mqtt(broker.port(), "row1") +
                                 "discovery_prefix = \"homeassistant\"\n" +
                                 (points ? "points = true\n" : "") + link("gw1", sim.port);
        auto agent = run_agent(dir, name, head + unit(name, "gw1", 1) + unit("other", "gw1", 2));
        const auto all_there = [&] {
            std::size_t n = 0;
            for (const auto& [topic, payload] : configs.topics())
                n += topic.find("/" + name + "__") != std::string::npos && !payload.empty();
            return n == entities();
        };
        ASSERT_TRUE(wait_until(all_there, kLimit)) << agent->err();
        ASSERT_TRUE(states.wait_for_any("quillark/" + name + "/status"));
        if (points) {
            ASSERT_TRUE(states.wait_for_any("quillark/" + name + "/point/unit_state"));
        }
        check_configs(configs, states, name);

        const std::string one =
            "homeassistant/sensor/row1/" + name + "__indoor_return_air_temperature_measured/config";
        const std::size_t before = configs.count(one);
        configs.publish("homeassistant/status", "online");
        EXPECT_TRUE(wait_until([&] { return configs.count(one) > before; }, kLimit));

        // The unit leaves: its configs and point topics are emptied.
        write_file(dir.file(name + ".toml"), head + unit("other", "gw1", 2));
        agent->signal(SIGHUP);
        EXPECT_TRUE(configs.wait_for(one, "")) << agent->err();
        EXPECT_TRUE(states.wait_for("quillark/" + name + "/status", ""));
        if (points) {
            EXPECT_TRUE(states.wait_for("quillark/" + name + "/point/unit_state", ""));
        }
        agent->signal(SIGTERM);
        EXPECT_EQ(agent->wait(kLimit), 0);
    }
}
