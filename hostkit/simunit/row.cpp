#include "hostkit/simunit/row.h"

namespace quillark_sim {

UnitRow::UnitRow(const Image& image, int count, bool steady, const FaultPlan& faults,
                 bool steady_first) {
    for (int i = 0; i < count; ++i) {
        units_.push_back(
            std::make_unique<SimulatedUnit>(image, steady || (steady_first && i == 0), faults));
        units_.back()->advance(kSpacing_s * i);
    }
}

std::vector<SimulatedUnit*> UnitRow::units() const {
    std::vector<SimulatedUnit*> all;
    for (const auto& unit : units_) all.push_back(unit.get());
    return all;
}

long UnitRow::requests() const {
    long total = 0;
    for (const auto& unit : units_) total += unit->requests();
    return total;
}

}  // namespace quillark_sim
