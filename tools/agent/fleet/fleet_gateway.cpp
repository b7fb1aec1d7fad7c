// The link's gateway requests: the bounded queue they wait in, the checks
// made again before they go, and their turns on the link. A gateway request
// waits for the request in flight, not for a round: the link thread lets
// waiting ones go before each of the agent's own requests, up to one
// response timeout of gateway time per round, so a client that floods
// cannot stretch a unit's round by more; past that budget they wait for the
// round's end, and while no round is due they go at once. Their answers go
// back to the gateway alone: they are relayed into buffers of their own and
// never handed to a driver.
#include <algorithm>

#include "tools/agent/clock.h"
#include "tools/agent/fleet/fleet.h"
#include "tools/agent/fleet/link_unit.h"

namespace quillark_agent {

namespace {

using Clock = std::chrono::steady_clock;

unsigned word_at(const standin::Bytes& pdu, std::size_t at) {
    return static_cast<unsigned>((pdu[at] << 8) | pdu[at + 1]);
}

}  // namespace

LinkWorker::Unit* LinkWorker::unit_with_id(int unit_id) const {
    for (const auto& unit : units_)
        if (unit->config.unit_id == unit_id) return unit.get();
    return nullptr;
}

void LinkWorker::gateway_request(GatewayRequest request) {
    std::uint8_t code = 0;
    GatewayOutcome outcome = GatewayOutcome::Refused;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const Unit* unit = unit_with_id(request.unit);
        if (request.pdu.empty()) {
            code = standin::kIllegalFunction;
            request.pdu = {0};
        } else if (stop_) {
            code = standin::kPathUnavailable;
            outcome = GatewayOutcome::LinkDown;
        } else if (unit == nullptr) {
            code = standin::kTargetFailed;
            outcome = GatewayOutcome::NoAnswer;
        } else if (const int refusal =
                       gateway_refusal(request.pdu, config_.gateway.writes, unit->config.writes)) {
            code = static_cast<std::uint8_t>(refusal);
        } else if (gateway_queue_.size() >= kMaxGatewayQueue) {
            code = standin::kServerBusy;
            outcome = GatewayOutcome::Busy;
        } else {
            gateway_queue_.push_back(std::move(request));
        }
        if (code != 0) ++gateway_counts_[static_cast<std::size_t>(outcome)];
    }
    if (code == 0) {
        wake_.notify_all();
        return;
    }
    request.answer(standin::exception_pdu(request.pdu[0], code));
}

void LinkWorker::attach(std::unique_ptr<LinkCompanion> companion) {
    companion_ = std::move(companion);
}

bool LinkWorker::gateway_idle_turn(std::unique_lock<std::mutex>& lock, const Unit* next) {
    if (gateway_queue_.empty() || (next != nullptr && Clock::now() >= next->next_due)) return false;
    GatewayRequest request = std::move(gateway_queue_.front());
    gateway_queue_.pop_front();
    lock.unlock();
    busy_since_ = Clock::now().time_since_epoch().count();  // for the watchdog, as a round
    note_link(serve_gateway(request));
    busy_since_ = 0;
    link_log().flush();
    lock.lock();
    return true;
}

// Between two of the agent's requests in a round (or write), on the link thread.
void LinkWorker::serve_gateway_in_round() {
    const auto budget = std::chrono::milliseconds(config_.settings.timeout_ms);
    while (gateway_spent_ < budget) {
        GatewayRequest request;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (gateway_queue_.empty()) return;
            request = std::move(gateway_queue_.front());
            gateway_queue_.pop_front();
        }
        const auto began = Clock::now();
        serve_gateway(request);
        gateway_spent_ += Clock::now() - began;
    }
}

// One request on the link, for the unit it names, and its answer to the
// client; the unit the agent was talking to is addressed again afterwards.
standin::Outcome LinkWorker::serve_gateway(GatewayRequest& request) {
    standin::Outcome outcome{standin::Status::NoAnswer, "no unit with that id"};
    standin::Bytes answer;
    GatewayOutcome counted = GatewayOutcome::NoAnswer;
    // Checked again: a reload may have changed the units since it was queued.
    Unit* unit = unit_with_id(request.unit);
    const int refusal =
        unit ? gateway_refusal(request.pdu, config_.gateway.writes, unit->config.writes) : 0;
    if (refusal != 0) {
        answer = standin::exception_pdu(request.pdu[0], static_cast<std::uint8_t>(refusal));
        outcome = {standin::Status::Exception, "refused by the gateway"};
        counted = GatewayOutcome::Refused;
    } else if (unit != nullptr) {
        outcome = relay_to(*unit, request, answer);
        counted = outcome.status == standin::Status::Answered    ? GatewayOutcome::Answered
                  : outcome.status == standin::Status::Exception ? GatewayOutcome::Exception
                  : outcome.status == standin::Status::NoAnswer  ? GatewayOutcome::NoAnswer
                                                                 : GatewayOutcome::LinkDown;
    }
    if (counted == GatewayOutcome::NoAnswer)
        answer = standin::exception_pdu(request.pdu[0], standin::kTargetFailed);
    else if (counted == GatewayOutcome::LinkDown)
        answer = standin::exception_pdu(request.pdu[0], standin::kPathUnavailable);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++gateway_counts_[static_cast<std::size_t>(counted)];
    }
    request.answer(std::move(answer));
    return outcome;
}

standin::Outcome LinkWorker::relay_to(Unit& unit, const GatewayRequest& request,
                                      standin::Bytes& answer) {
    const int agents_unit = transport_.settings().unit;
    transport_.set_unit(request.unit);
    const standin::Outcome outcome = transport_.relay(request.pdu, answer);
    transport_.set_unit(agents_unit);
    if (is_gateway_write(request.pdu[0])) note_gateway_write(unit, request.pdu, answer);
    return outcome;
}

// A write that passed is told as MQTT's writes are, with where it came from.
void LinkWorker::note_gateway_write(const Unit& unit, const standin::Bytes& pdu,
                                    const standin::Bytes& answer) {
    // An echo repeats the request's address and value (or count).
    const bool echoed = answer.size() == 5 && std::equal(answer.begin(), answer.end(), pdu.begin());
    const std::string result = answer.empty() ? "unanswered"
                               : echoed       ? "confirmed"
                                              : "not-confirmed";
    const unsigned address = word_at(pdu, 1);
    Event event;
    event.kind = "write";
    event.unit = unit.config.name;
    event.time = unix_now();
    event.extra["register"] = address;
    event.extra["via"] = "gateway";
    event.extra["function"] = pdu[0];
    if (pdu[0] == 6) event.extra["value"] = word_at(pdu, 3);
    else event.extra["count"] = pdu[0] == 5 ? 1 : word_at(pdu, 3);
    event.extra["result"] = result;
    write_log().say(log::Priority::Info, "unit " + unit.config.name + ": gateway write " +
                                             std::to_string(address) + " (function " +
                                             std::to_string(pdu[0]) + "): " + result);
    publisher_.event(event);
}

}  // namespace quillark_agent
