// What the fleet shows of its units and links to the API, the metrics and
// the page: copies, taken under each link's lock.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "quillark/points.h"

namespace quillark_agent {

// Upper bounds, in seconds, of the round-duration histogram: from a TCP
// round on the same switch (a few ms) to a serial round at 9,600 baud with
// retries (tens of seconds), so that either shows its spread.
inline constexpr std::array<double, 13> kDurationBuckets{0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5,
                                                         1,     2,    5,    10,   30,  60};

// What HTTP and metrics show of a unit; copied out under the link's lock.
struct UnitView {
    std::string name;
    std::string link;
    int unit_id = 0;
    double interval_s = 0;
    bool online = false;
    double online_since_unix = 0;  // when online last changed; 0: not known yet
    double last_round_unix = 0;    // 0: no complete round yet
    double last_duration = 0;      // of the last round, complete or not
    // Per alarm, in point order: when this agent first saw it raised in the
    // current stretch of raised rounds; 0 while it is normal.
    std::array<double, quillark::kAlarmCount> alarm_since{};
    std::uint64_t rounds_complete = 0;
    std::uint64_t rounds_failed = 0;
    std::array<std::uint64_t, kDurationBuckets.size()>
        duration_counts{};  // per bucket, not cumulative
    std::uint64_t duration_count = 0;
    double duration_sum = 0;
    std::vector<std::uint8_t> record;  // of the last complete round
    // The status document of the last complete round, shared by the views
    // handed out (null before the first): one copy however often it is asked.
    std::shared_ptr<const std::string> status;
};

// What became of a request to the link's gateway.
enum class GatewayOutcome : std::uint8_t {
    Answered,   // the unit's normal answer went back
    Exception,  // the unit's own exception answer went back
    Refused,    // not passed on: a function or register the gateway does not pass, or malformed
    Busy,       // not passed on: too many requests waited for the link (exception 6)
    NoAnswer,   // no unit with that id, or no answer in time (exception 0x0B)
    LinkDown,   // the link was down or stopping (exception 0x0A)
};
inline constexpr std::size_t kGatewayOutcomes = 6;
inline constexpr std::array<const char*, kGatewayOutcomes> kGatewayOutcomeNames{
    "answered", "exception", "refused", "busy", "no_answer", "link_down"};

struct LinkView {
    std::string name;
    std::uint64_t retries = 0;
    std::uint64_t reconnects = 0;
    double load = 0;       // time the units' rounds take per second of their intervals
    bool gateway = false;  // the link has a gateway
    std::array<std::uint64_t, kGatewayOutcomes> gateway_requests{};  // by GatewayOutcome
};

}  // namespace quillark_agent
