// One unit of a link as its worker keeps it: the driver and the unit's
// running state. Shared by the worker's polling, writes and reload.
#pragma once

#include <array>
#include <chrono>
#include <deque>
#include <memory>
#include <string>

#include "hostkit/driver.h"
#include "tools/agent/fleet/fleet.h"
#include "tools/agent/log.h"

namespace quillark_agent {

struct LinkWorker::Unit {
    // Creates and initialises the unit's driver; throws on a driver the plug-in cannot make.
    Unit(const UnitConfig& config, const std::string& link, const quillark_kit::Plugin& plugin);

    UnitConfig config;
    std::unique_ptr<quillark_kit::Driver> driver;
    std::chrono::steady_clock::time_point next_due{};
    std::chrono::steady_clock::time_point began{};  // its last round
    int misses = 0;
    bool announced = false;  // availability published at least once
    std::string alarms;      // alarm set last published (raised_alarms)
    double last_duration = 0;
    std::deque<Write> writes;  // guarded by the link's mutex
    UnitView view;             // guarded by the link's mutex
    // Per alarm, when the event journal last saw it raised and not cleared
    // (from before a restart); taken by the first complete round.
    std::array<double, quillark::kAlarmCount> restored_since{};
    // Takes from `open` the alarms raised for this unit before it started.
    void restore(const OpenAlarms& open);
};

// Log lines that come in floods, summarised past a few a second for all
// links together: write results, and the links' losses and reopenings.
log::Throttle& write_log();
log::Throttle& link_log();

}  // namespace quillark_agent
