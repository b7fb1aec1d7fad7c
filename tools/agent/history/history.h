// The history of every configured unit, fed by the fleet's rounds on their
// way to the event desk and MQTT, kept in memory and saved to the state
// directory every few minutes and at a stop, and asked by the HTTP API.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/agent/config/config.h"
#include "tools/agent/fleet/publisher.h"
#include "tools/agent/history/history_file.h"
#include "tools/agent/history/history_query.h"

namespace quillark_agent {

struct HistoryAnswer {
    int status = 200;
    std::string body;
    const char* type = "application/json; charset=utf-8";
};

class History : public RelayPublisher {
public:
    // `dir` empty: kept in memory only, lost at a stop. Throws when the
    // directory cannot be made.
    History(std::string dir, double save_every_s, Publisher& next);
    ~History() override;

    // The units to keep a history of: a new one starts from its file, one
    // that left is saved and let go. Before the fleet polls them.
    void configure(const std::vector<UnitConfig>& units);
    void start();  // saves every save_every_s from now on
    void stop();   // saves what is new, the minutes being filled too

    HistoryAnswer answer(const std::string& unit, const HistoryParams& params, bool csv,
                         double now) const;
    std::size_t bytes() const;  // what the units' histories take in memory

    void unit_round(const std::string& unit, const std::vector<std::uint8_t>* record,
                    double when) override;

private:
    struct Unit {
        Unit(double interval_s, std::string path) : history(interval_s), file(std::move(path)) {}
        mutable std::mutex mutex;  // guards the history and the file's cursor
        std::mutex saving;         // one save of the unit at a time
        UnitHistory history;
        HistoryFile file;
    };
    std::shared_ptr<Unit> find(const std::string& name) const;
    void save(Unit& unit, bool all) const;
    void save_all(bool all) const;
    void run();

    const std::string dir_;
    const std::chrono::duration<double> save_every_;
    mutable std::shared_mutex mutex_;  // guards units_; held shared by each round
    std::map<std::string, std::shared_ptr<Unit>> units_;
    std::mutex wake_mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread saver_;
};

}  // namespace quillark_agent
