// What the agent shows over HTTP: Prometheus text and the units as JSON.
#pragma once

#include <string>
#include <vector>

#include "fleet.h"

namespace quillark_agent {

// The Prometheus text exposition of every unit's points and health.
std::string render_metrics(const std::vector<UnitView>& units, const std::vector<LinkView>& links);

// [{"name", "link", "unit_id", "online", "last_round"}], last_round in UTC or null.
std::string render_units(const std::vector<UnitView>& units);

}  // namespace quillark_agent
