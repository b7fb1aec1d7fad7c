#include "tools/agent/fleet/gateway_link.h"

namespace quillark_agent {

namespace {

unsigned word_at(const standin::Bytes& pdu, std::size_t at) {
    return static_cast<unsigned>((pdu[at] << 8) | pdu[at + 1]);
}

}  // namespace

bool is_gateway_write(std::uint8_t function) {
    return function == 5 || function == 6 || function == 15 || function == 16;
}

int gateway_refusal(const standin::Bytes& pdu, bool writes_pass, const std::set<int>& writable) {
    const int problem = standin::relay_request_problem(pdu.data(), pdu.size());
    if (problem != 0) return problem;
    if (!is_gateway_write(pdu[0])) return 0;
    if (!writes_pass) return standin::kIllegalFunction;
    const unsigned first = word_at(pdu, 1);
    const unsigned count = pdu[0] == 5 || pdu[0] == 6 ? 1 : word_at(pdu, 3);
    for (unsigned address = first; address < first + count; ++address)
        if (writable.count(static_cast<int>(address)) == 0) return standin::kIllegalDataAddress;
    return 0;
}

}  // namespace quillark_agent
