// Simulated units behind one simulated gateway, each at its own point of the
// drift, so that a row of them does not move in step.
#pragma once

#include <memory>
#include <vector>

#include "hostkit/simunit/unit.h"

namespace quillark_sim {

class UnitRow {
public:
    // Seconds of drift between one unit and the next.
    static constexpr double kSpacing_s = 37.0;

    // `steady_first`: the first unit keeps still even when the others drift
    // (rounds mode logs it).
    UnitRow(const Image& image, int count, bool steady, const FaultPlan& faults,
            bool steady_first = false);
    std::vector<SimulatedUnit*> units() const;
    SimulatedUnit& front() { return *units_.front(); }
    long requests() const;

private:
    std::vector<std::unique_ptr<SimulatedUnit>> units_;
};

}  // namespace quillark_sim
