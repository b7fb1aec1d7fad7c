// The Prometheus text the agent shows over HTTP.
#pragma once

#include <string>
#include <vector>

#include "tools/agent/fleet/fleet.h"

namespace quillark_agent {

// The Prometheus text exposition of every unit's points and health.
std::string render_metrics(const std::vector<UnitView>& units, const std::vector<LinkView>& links);

}  // namespace quillark_agent
