#include "tools/agent/gateway/mbap.h"

namespace quillark_agent::gateway {

long take_frame(const std::uint8_t* bytes, std::size_t size, Frame& frame) {
    if (size < standin::kTcpHeader) return 0;
    const unsigned protocol = static_cast<unsigned>((bytes[2] << 8) | bytes[3]);
    const std::size_t length = static_cast<std::size_t>((bytes[4] << 8) | bytes[5]);
    // The length counts the unit id and the PDU, which has a function code at least.
    if (protocol != 0 || length < 2 || 6 + length > kMaxFrame) return -1;
    if (size < 6 + length) return 0;
    frame.transaction = static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
    frame.unit = bytes[6];
    frame.pdu.assign(bytes + 7, bytes + 6 + length);
    return static_cast<long>(6 + length);
}

standin::Bytes answer_frame(std::uint16_t transaction, std::uint8_t unit,
                            const standin::Bytes& pdu) {
    const std::size_t length = pdu.size() + 1;
    standin::Bytes frame;
    frame.reserve(standin::kTcpHeader + pdu.size());
    for (const unsigned word : {unsigned(transaction), 0u, unsigned(length)}) {
        frame.push_back(static_cast<std::uint8_t>((word >> 8) & 0xFF));
        frame.push_back(static_cast<std::uint8_t>(word & 0xFF));
    }
    frame.push_back(unit);
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    return frame;
}

}  // namespace quillark_agent::gateway
