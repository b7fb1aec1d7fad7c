// The units as JSON for the HTTP API and the live page.
#pragma once

#include <string>
#include <vector>

#include "tools/agent/clock.h"
#include "tools/agent/fleet/fleet.h"

namespace quillark_agent {

// One object per unit: name, link, unit_id, online, last_round (UTC or null),
// and what a tile of the overview shows.
std::string render_units(const std::vector<UnitView>& units, double now);

// Everything the unit page shows: health, the raised alarms with when they
// were first seen, and every point by group. `link` may be null.
std::string render_unit(const UnitView& unit, const LinkView* link, double now);

}  // namespace quillark_agent
