// A running fleet moved to a new configuration: what stayed the same goes on
// polling undisturbed, only what changed is stopped and started.
#include <algorithm>
#include <map>

#include "tools/agent/fleet/fleet.h"
#include "tools/agent/fleet/link_unit.h"

namespace quillark_agent {

std::string ReloadSummary::describe() const {
    auto counts = [](int in, int out, int changed, int same) {
        return std::to_string(in) + " added, " + std::to_string(out) + " removed, " +
               std::to_string(changed) + " changed, " + std::to_string(same) + " unchanged";
    };
    return "units: " + counts(units_added, units_removed, units_changed, units_unchanged) +
           "; links: " + counts(links_added, links_removed, links_changed, links_unchanged);
}

void LinkWorker::stage(const std::vector<UnitConfig>& units, const quillark_kit::Plugin& plugin,
                       const OpenAlarms& open) {
    const std::vector<UnitConfig> running = unit_configs();
    auto change = std::make_unique<Change>();
    for (const UnitConfig& unit : units) {
        if (unit.link != config_.name) continue;
        change->order.push_back(unit.name);
        auto was = std::find_if(running.begin(), running.end(),
                                [&](const UnitConfig& r) { return r.name == unit.name; });
        if (was != running.end() && same_unit(*was, unit)) continue;
        if (was != running.end()) change->out.insert(unit.name);  // changed: a fresh driver
        change->in.push_back(std::make_unique<Unit>(unit, config_.name, plugin));
        change->in.back()->restore(open);
    }
    for (const UnitConfig& unit : running)
        if (std::find(change->order.begin(), change->order.end(), unit.name) == change->order.end())
            change->out.insert(unit.name);
    staged_ = std::move(change);
}

void LinkWorker::take_out() {
    if (!staged_ || staged_->out.empty()) return;
    auto change = std::make_unique<Change>();
    change->out.swap(staged_->out);
    hand_over(std::move(change));
}

void LinkWorker::put_in() {
    if (!staged_) return;
    std::unique_ptr<Change> change = std::move(staged_);
    if (change->in.empty()) {
        std::lock_guard<std::mutex> lock(mutex_);
        bool same_order = change->order.size() == units_.size();
        for (std::size_t i = 0; same_order && i < units_.size(); ++i)
            same_order = units_[i]->config.name == change->order[i];
        if (same_order) return;
    }
    hand_over(std::move(change));
}

void LinkWorker::hand_over(std::unique_ptr<Change> change) {
    std::lock_guard<std::mutex> lock(mutex_);
    change_ = std::move(change);
    if (!thread_.joinable()) apply_change();
    wake_.notify_all();
}

void LinkWorker::settle() {
    std::vector<std::unique_ptr<Unit>> gone;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !change_; });
        gone.swap(taken_out_);
    }
    for (auto& unit : gone) reject_writes(*unit, "the unit was reloaded before it was sent");
    gone.clear();  // deletes their drivers, which no thread uses any more
}

// Between rounds, so no unit is in the middle of one.
void LinkWorker::apply_change() {
    Change& change = *change_;
    for (auto& unit : units_)
        if (change.out.count(unit->config.name) != 0) taken_out_.push_back(std::move(unit));
    units_.erase(std::remove(units_.begin(), units_.end(), nullptr), units_.end());
    const auto now = std::chrono::steady_clock::now();
    for (auto& unit : change.in) {
        unit->next_due = now;
        units_.push_back(std::move(unit));
    }
    if (!change.order.empty()) {
        std::map<std::string, std::size_t> place;
        for (std::size_t i = 0; i < change.order.size(); ++i) place[change.order[i]] = i;
        std::stable_sort(units_.begin(), units_.end(), [&](const auto& a, const auto& b) {
            return place[a->config.name] < place[b->config.name];
        });
    }
    change_.reset();
}

namespace {

// What runs now, by name.
struct Running {
    std::map<std::string, UnitConfig> units;
    std::map<std::string, LinkWorker*> links;
};

void count_units(const Running& running, const AgentConfig& next,
                 const std::set<std::string>& kept_links, ReloadSummary& summary) {
    std::set<std::string> named;
    for (const UnitConfig& unit : next.units) {
        named.insert(unit.name);
        auto was = running.units.find(unit.name);
        if (was == running.units.end()) ++summary.units_added;
        else if (kept_links.count(unit.link) != 0 && same_unit(was->second, unit))
            ++summary.units_unchanged;
        else ++summary.units_changed;
    }
    for (const auto& [name, unit] : running.units) {
        if (named.count(name) != 0) continue;
        ++summary.units_removed;
        summary.removed.push_back(name);
    }
}

}  // namespace

ReloadSummary Fleet::reload(const AgentConfig& next, const quillark_kit::Plugin& plugin,
                            Publisher& publisher) {
    // Only this thread changes links_, so it reads it without the lock.
    Running running;
    for (const auto& link : links_) {
        running.links[link->config().name] = link.get();
        for (UnitConfig& unit : link->unit_configs()) running.units[unit.name] = std::move(unit);
    }
    // A unit that starts afresh (its settings or its link's changed) has the
    // same alarms as before: they keep their "since" and are not told again.
    const OpenAlarms open = open_alarms();
    ReloadSummary summary;
    // Every new driver and link first: one the plug-in cannot make changes nothing.
    std::set<std::string> kept;
    std::map<std::string, std::unique_ptr<LinkWorker>> fresh;
    for (const LinkConfig& link : next.links) {
        auto was = running.links.find(link.name);
        if (was != running.links.end() && same_link(was->second->config(), link)) {
            was->second->stage(next.units, plugin, open);
            kept.insert(link.name);
            ++summary.links_unchanged;
        } else {
            fresh[link.name] = std::make_unique<LinkWorker>(link, next.units, plugin, publisher);
            fresh[link.name]->restore_alarms(open);
            ++(was == running.links.end() ? summary.links_added : summary.links_changed);
        }
    }
    summary.links_removed =
        static_cast<int>(running.links.size()) - summary.links_unchanged - summary.links_changed;
    count_units(running, next, kept, summary);

    // Units leave before any arrives: a unit moved to another link is never
    // polled, nor published, by two links at once.
    for (const auto& link : links_)
        if (kept.count(link->config().name) == 0) link->stop();
    for (const auto& link : links_)
        if (kept.count(link->config().name) != 0) link->take_out();
    for (const auto& link : links_) link->settle();
    for (const auto& link : links_)
        if (kept.count(link->config().name) != 0) link->put_in();
    for (const auto& link : links_) link->settle();

    std::vector<std::unique_ptr<LinkWorker>> links;
    std::vector<LinkWorker*> starting;
    for (const LinkConfig& link : next.links) {
        if (kept.count(link.name) != 0) continue;
        starting.push_back(fresh[link.name].get());
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const LinkConfig& link : next.links) {
            if (fresh.count(link.name) != 0) {
                links.push_back(std::move(fresh[link.name]));
                continue;
            }
            for (auto& was : links_)
                if (was && was->config().name == link.name) links.push_back(std::move(was));
        }
        links_.swap(links);  // `links` now holds the stopped links that are gone
    }
    links.clear();
    for (LinkWorker* link : starting) start_link(*link);
    return summary;
}

void LinkWorker::Unit::restore(const OpenAlarms& open) {
    std::size_t a = 0;
    for (const quillark::Point& point : quillark::kPoints) {
        if (point.kind != quillark::PointKind::Alarm) continue;
        const auto it = open.find({config.name, point.id});
        restored_since[a++] = it == open.end() ? 0 : it->second;
    }
}

// What a restart brings back from the event journal.
void LinkWorker::restore_alarms(const OpenAlarms& open) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& unit : units_) unit->restore(open);
}

OpenAlarms Fleet::open_alarms() const {
    std::vector<UnitView> units;
    std::vector<LinkView> links;
    views(units, links);
    OpenAlarms open;
    for (const UnitView& unit : units) {
        std::size_t a = 0;
        for (const quillark::Point& point : quillark::kPoints) {
            if (point.kind != quillark::PointKind::Alarm) continue;
            if (const double since = unit.alarm_since[a++]; since > 0)
                open[{unit.name, point.id}] = since;
        }
    }
    return open;
}

void Fleet::restore_alarms(const OpenAlarms& open) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& link : links_) link->restore_alarms(open);
}

}  // namespace quillark_agent
