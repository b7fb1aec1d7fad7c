// The simulated unit's behaviour towards its Modbus master: which requests it
// answers, late or not at all, which it refuses, and the register map it
// answers from.
#pragma once

#include <chrono>
#include <cstdint>
#include <random>
#include <set>
#include <string>

#include "hostkit/simunit/round_log.h"
#include "hostkit/simunit/unit_image.h"

struct _modbus_mapping_t;

namespace quillark_sim {

// Faults to inject, for testing a master against a misbehaving unit.
struct FaultPlan {
    long mute_after = -1;  // answer this many requests, then fall silent (-1: never)
    long mute_for = 0;     // stay silent for this many requests, then answer again (0: for good)
    int delay_ms = 0;      // hold each answer back this long
    long delay_count = 0;  // only the first this many answers are held back (0: all)
    std::set<int> fail_addresses;  // requests touching these get an illegal data address exception
    double drop_rate = 0;          // leave each request unanswered with this probability
    std::uint64_t seed = 1;        // of the drops, so that a run can be repeated
    long raise_after = -1;         // after this many requests, set input bit raise_bit (-1: never)
    int raise_bit = 0;
};

// One request as the unit sees it.
struct Request {
    int function = 0;
    int address = 0;
    int count = 0;  // 1 for a single-register write

    bool touches(int a) const { return a >= address && a < address + count; }
};

// Function, address and count of a request frame whose PDU starts at `pdu`.
Request parse_request(const std::uint8_t* pdu, int pdu_length);

struct Reply {
    enum Kind { Answer, Refuse, Silence };
    Kind kind = Answer;
    int delay_ms = 0;
    int exception_code = 0;  // for Refuse
};

// Counts requests and decides, for each, by the fault plan.
class FaultSchedule {
public:
    explicit FaultSchedule(FaultPlan plan) : plan_(std::move(plan)), random_(plan_.seed) {}
    Reply next(const Request& request);
    long requests() const { return requests_; }

private:
    FaultPlan plan_;
    long requests_ = 0;
    long answered_ = 0;
    long silenced_ = 0;
    std::mt19937_64 random_;
    std::bernoulli_distribution drop_{plan_.drop_rate};
};

class SimulatedUnit {
public:
    // `steady`: no drift, every value stays as the image sets it.
    SimulatedUnit(const Image& image, bool steady, FaultPlan faults);
    ~SimulatedUnit();
    SimulatedUnit(const SimulatedUnit&) = delete;
    SimulatedUnit& operator=(const SimulatedUnit&) = delete;

    // Decides how to treat a request and brings the register map up to date
    // for the answer.
    Reply decide(const Request& request);
    _modbus_mapping_t* mapping() { return map_; }
    // Rounds mode: values unique to address and round, logged as served.
    void set_round_log(RoundLog* log) { round_log_ = log; }
    // Sees every request to this unit, after decide() and before the answer.
    void observe(const std::uint8_t* pdu, int pdu_length) {
        if (round_log_ != nullptr) round_log_->on_request(pdu, pdu_length, map_);
    }
    long requests() const { return schedule_.requests(); }
    // Moves the drift on by this much, so units of one simulator differ.
    void advance(double seconds) {
        start_ -= std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(seconds));
    }

private:
    Image image_;
    bool steady_;
    FaultSchedule schedule_;
    long raise_after_;
    int raise_bit_;
    _modbus_mapping_t* map_ = nullptr;
    RoundLog* round_log_ = nullptr;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace quillark_sim
