#include "tools/agent/history/history.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "tools/agent/clock.h"
#include "tools/agent/log.h"

namespace quillark_agent {

History::History(std::string dir, double save_every_s, Publisher& next)
    : RelayPublisher(next), dir_(std::move(dir)), save_every_(save_every_s) {
    if (!dir_.empty() && ::mkdir(dir_.c_str(), 0750) != 0 && errno != EEXIST)
        throw std::runtime_error("history: cannot make " + dir_ + ": " + std::strerror(errno));
}

History::~History() { stop(); }

void History::configure(const std::vector<UnitConfig>& units) {
    std::map<std::string, std::shared_ptr<Unit>> next;
    for (const UnitConfig& config : units) {
        std::shared_ptr<Unit> unit = find(config.name);
        if (unit) {
            std::lock_guard<std::mutex> lock(unit->mutex);
            unit->history.set_interval(config.interval_s);
        } else {
            const std::string path = dir_.empty() ? "" : dir_ + "/" + config.name + ".history";
            unit = std::make_shared<Unit>(config.interval_s, path);
            if (!path.empty()) {
                const std::string problem = unit->file.load(unit->history, unix_now());
                if (!problem.empty()) log::warning("history: " + problem);
            }
        }
        next.emplace(config.name, std::move(unit));
    }
    std::map<std::string, std::shared_ptr<Unit>> gone;
    {
        std::unique_lock<std::shared_mutex> lock(mutex_);
        units_.swap(next);
        for (auto& [name, unit] : next)
            if (units_.count(name) == 0) gone.emplace(name, unit);
    }
    for (auto& [name, unit] : gone) save(*unit, true);
}

void History::start() {
    if (dir_.empty() || saver_.joinable()) return;
    stop_ = false;
    saver_ = std::thread([this] { run(); });
}

void History::run() {
    std::unique_lock<std::mutex> lock(wake_mutex_);
    while (!stop_) {
        if (wake_.wait_for(lock, save_every_, [this] { return stop_; })) break;
        lock.unlock();
        save_all(false);
        lock.lock();
    }
}

void History::stop() {
    {
        std::lock_guard<std::mutex> lock(wake_mutex_);
        if (stop_) return;
        stop_ = true;
    }
    wake_.notify_all();
    if (saver_.joinable()) saver_.join();
    save_all(true);
}

void History::save(Unit& unit, bool all) const {
    if (unit.file.path().empty()) return;
    std::lock_guard<std::mutex> saving(unit.saving);
    std::string bytes;
    {
        std::lock_guard<std::mutex> lock(unit.mutex);
        bytes = unit.file.take_new(unit.history, all);
    }
    const std::string problem = unit.file.write(bytes);
    if (!problem.empty()) log::warning("history: cannot save: " + problem);
}

void History::save_all(bool all) const {
    std::vector<std::shared_ptr<Unit>> units;
    {
        std::shared_lock<std::shared_mutex> lock(mutex_);
        for (const auto& entry : units_) units.push_back(entry.second);
    }
    for (const auto& unit : units) save(*unit, all);
}

std::shared_ptr<History::Unit> History::find(const std::string& name) const {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    const auto it = units_.find(name);
    return it == units_.end() ? nullptr : it->second;
}

HistoryAnswer History::answer(const std::string& name, const HistoryParams& params, bool csv,
                              double now) const {
    HistoryAnswer out;
    const std::shared_ptr<Unit> unit = find(name);
    HistoryQuery query;
    const std::string problem = unit ? make_query(params, now, query) : "no such unit";
    if (!problem.empty()) {
        out.status = unit ? 400 : 404;
        out.body = "{\"error\":\"" + problem + "\"}";
        return out;
    }
    HistoryTable table;
    {
        std::lock_guard<std::mutex> lock(unit->mutex);
        fill_table(unit->history, query, table);
    }
    if (!csv) {
        out.body = render_json(name, query, table);
        return out;
    }
    out.body = render_csv(query, table);
    out.type = "text/csv; charset=utf-8; header=present";
    return out;
}

std::size_t History::bytes() const {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    std::size_t total = 0;
    for (const auto& entry : units_) {
        std::lock_guard<std::mutex> unit_lock(entry.second->mutex);
        total += entry.second->history.bytes();
    }
    return total;
}

// The round path: a lookup under a shared lock and the unit's own lock, and
// nothing allocated.
void History::unit_round(const std::string& name, const std::vector<std::uint8_t>* record,
                         double when) {
    {
        std::shared_lock<std::shared_mutex> lock(mutex_);
        const auto it = units_.find(name);
        if (it != units_.end()) {
            std::lock_guard<std::mutex> unit_lock(it->second->mutex);
            it->second->history.add(record, when);
        }
    }
    next_.unit_round(name, record, when);
}

}  // namespace quillark_agent
