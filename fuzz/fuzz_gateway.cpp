// What a gateway client sends: a stream of Modbus TCP frames, each judged
// for what may pass to a unit (the first byte picks whether writes pass),
// and the bytes after the frames taken as the unit's answer to the first.
// Whatever passes must be a well-formed request within the allow-list, and
// an answer taken for one must be a PDU that fits it.
#include <cstdint>
#include <set>

#include "fuzz/fuzz_io.h"
#include "host/standin/modbus_relay.h"
#include "tools/agent/fleet/gateway_link.h"
#include "tools/agent/gateway/mbap.h"

namespace {

unsigned word_at(const standin::Bytes& b, std::size_t at) {
    return static_cast<unsigned>((b[at] << 8) | b[at + 1]);
}

void check_passed(const standin::Bytes& pdu, bool writes, const std::set<int>& writable) {
    FUZZ_CHECK(standin::relay_request_problem(pdu.data(), pdu.size()) == 0);
    FUZZ_CHECK(pdu.size() >= 5 && pdu.size() <= standin::kMaxPdu);
    if (!quillark_agent::is_gateway_write(pdu[0])) return;
    FUZZ_CHECK(writes);
    FUZZ_CHECK(writable.count(static_cast<int>(word_at(pdu, 1))) == 1);
}

void check_answer(const standin::Bytes& request, const std::uint8_t* data, std::size_t size) {
    for (const bool tcp : {true, false}) {
        standin::Bytes answer;
        const standin::AnswerCheck check =
            standin::check_relay_answer(request, 1, tcp, 7, data, size, answer);
        if (check.verdict == standin::AnswerCheck::Exception) {
            FUZZ_CHECK(answer.size() == 2 && answer[0] == (request[0] | 0x80));
        } else if (check.verdict == standin::AnswerCheck::Good) {
            FUZZ_CHECK(!answer.empty() && answer[0] == request[0]);
            FUZZ_CHECK(answer.size() <= standin::kMaxPdu);
        } else {
            FUZZ_CHECK(answer.empty());
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool writes = (data[0] & 1) != 0;
    const std::set<int> writable{100, 101, 102, 103};
    std::size_t at = 1;
    standin::Bytes first;
    quillark_agent::gateway::Frame frame;
    for (long used;
         at < size && (used = quillark_agent::gateway::take_frame(data + at, size - at, frame)) > 0;
         at += static_cast<std::size_t>(used)) {
        FUZZ_CHECK(!frame.pdu.empty() && frame.pdu.size() + 7 == static_cast<std::size_t>(used));
        FUZZ_CHECK(static_cast<std::size_t>(used) <= quillark_agent::gateway::kMaxFrame);
        // The answer frame carries the client's own transaction and unit back.
        const standin::Bytes back =
            quillark_agent::gateway::answer_frame(frame.transaction, frame.unit, frame.pdu);
        quillark_agent::gateway::Frame again;
        FUZZ_CHECK(quillark_agent::gateway::take_frame(back.data(), back.size(), again) == used);
        FUZZ_CHECK(again.transaction == frame.transaction && again.pdu == frame.pdu);
        if (quillark_agent::gateway_refusal(frame.pdu, writes, writable) != 0) continue;
        check_passed(frame.pdu, writes, writable);
        if (first.empty()) first = frame.pdu;
    }
    if (!first.empty()) check_answer(first, data + at, size - at);
    return 0;
}
