// Home Assistant's MQTT discovery: one device per unit, an entity per point
// that means something to a person (the networked units' communication
// bytes aside), each from the point table.
#pragma once

#include <cstddef>
#include <string>

#include "tools/agent/config/config.h"

namespace quillark_agent {

// <discovery_prefix>/<component>/<client_id>/<unit>__<point id>/config, or
// "" for a point without an entity. A point id never holds "__", so the
// last one parts a unit's name from the point's.
std::string discovery_topic(const MqttConfig& config, const std::string& unit, std::size_t p);

// The entity's config: state from the point's own topic when `points` is on,
// else from the status document with a template; available while both the
// unit and the agent are.
std::string discovery_config(const MqttConfig& config, const std::string& unit,
                             const std::string& description, std::size_t p);

}  // namespace quillark_agent
