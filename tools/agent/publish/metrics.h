// The Prometheus text the agent shows over HTTP.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "tools/agent/fleet/fleet.h"

namespace quillark_agent {

// Takes a piece of the text; false when the client is gone, which ends the rest.
using MetricsSink = std::function<bool(const char* data, std::size_t size)>;

// The Prometheus text exposition of every unit's points and health, handed
// to `sink` in pieces of some 32 KiB as it is made: a hall of units is some
// megabytes of text, never held whole.
void render_metrics(const std::vector<UnitView>& units, const std::vector<LinkView>& links,
                    const MetricsSink& sink);
// The same, whole (for tests and tools).
std::string render_metrics(const std::vector<UnitView>& units, const std::vector<LinkView>& links);

}  // namespace quillark_agent
