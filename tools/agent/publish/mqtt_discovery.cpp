#include "tools/agent/publish/mqtt_discovery.h"

#include <json/value.h>
#include <json/writer.h>

#include "hostkit/common/version.h"
#include "quillark/point_values.h"
#include "tools/agent/publish/mqtt_points.h"

namespace quillark_agent {
namespace {

using quillark::PointKind;

const char* component(PointKind kind) {
    switch (kind) {
        case PointKind::NetworkedUnit: return nullptr;
        case PointKind::Contact:
        case PointKind::Valve:
        case PointKind::Pump:
        case PointKind::Power:
        case PointKind::Alarm: return "binary_sensor";
        default: return "sensor";
    }
}

const std::string& agent_version() {
    static const std::string version = [] {
        const std::string tool = "quillark-agent ";
        const std::string line = quillark_tools::version_line("quillark-agent");
        return line.substr(tool.size());
    }();
    return version;
}

Json::Value device(const MqttConfig& config, const std::string& unit,
                   const std::string& description) {
    Json::Value device(Json::objectValue);
    device["identifiers"].append(config.client_id + "." + unit);
    device["name"] = description.empty() ? unit : unit + " (" + description + ")";
    device["model"] = "in-row precision air-conditioning unit";
    device["sw_version"] = agent_version();
    return device;
}

Json::Value availability(const MqttConfig& config, const std::string& unit) {
    Json::Value list(Json::arrayValue);
    list.append(Json::Value(Json::objectValue))["topic"] =
        config.prefix + "/" + unit + "/availability";
    list.append(Json::Value(Json::objectValue))["topic"] =
        config.prefix + "/agent/" + config.client_id + "/availability";
    return list;
}

// Where the entity's state comes from: the point's own topic, or the status
// document's member by its key.
void state_source(Json::Value& entity, const MqttConfig& config, const std::string& unit,
                  std::size_t p) {
    const quillark::Point& point = quillark::kPoints[p];
    if (config.points) {
        entity["state_topic"] = config.prefix + "/" + unit + "/point/" + point.id;
        return;
    }
    entity["state_topic"] = config.prefix + "/" + unit + "/status";
    entity["value_template"] = std::string("{{ value_json['") + point.key + "'] }}";
}

// On and off as the state topic carries them: the same text a round gives.
void binary_payloads(Json::Value& entity, const MqttConfig& config, std::size_t p) {
    const PointKind kind = quillark::kPoints[p].kind;
    entity["payload_on"] = config.points ? point_payload(p, 1) : quillark::label_at(kind, 1);
    entity["payload_off"] = config.points ? point_payload(p, 0) : quillark::label_at(kind, 0);
    if (kind == PointKind::Alarm) entity["device_class"] = "problem";
}

}  // namespace

std::string discovery_topic(const MqttConfig& config, const std::string& unit, std::size_t p) {
    const char* kind = component(quillark::kPoints[p].kind);
    if (kind == nullptr) return {};
    return config.discovery_prefix + "/" + kind + "/" + config.client_id + "/" + unit + "__" +
           quillark::kPoints[p].id + "/config";
}

std::string discovery_config(const MqttConfig& config, const std::string& unit,
                             const std::string& description, std::size_t p) {
    const quillark::Point& point = quillark::kPoints[p];
    Json::Value entity(Json::objectValue);
    entity["name"] = point.meaning;
    entity["unique_id"] = config.client_id + "." + unit + "." + point.id;
    entity["object_id"] = unit + "_" + point.id;
    state_source(entity, config, unit, p);
    if (std::string(component(point.kind)) == "binary_sensor") binary_payloads(entity, config, p);
    else if (!quillark::is_label_kind(point.kind)) {
        entity["state_class"] = "measurement";
        if (point.kind != PointKind::Raw) entity["suggested_display_precision"] = 1;
    }
    entity["availability"] = availability(config, unit);
    entity["availability_mode"] = "all";
    entity["device"] = device(config, unit, description);
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    writer["emitUTF8"] = true;
    return Json::writeString(writer, entity);
}

}  // namespace quillark_agent
