// Modbus TCP framing as the gateway's clients speak it: the MBAP header
// (transaction id, protocol id 0, length, unit id) before each PDU. Pure
// functions over bytes, so every frame can be tried with any bytes at all.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/standin/modbus_frames.h"

namespace quillark_agent::gateway {

// The longest frame a client may send: a 253-byte PDU behind the 7-byte header.
constexpr std::size_t kMaxFrame = 260;

struct Frame {
    std::uint16_t transaction = 0;
    std::uint8_t unit = 0;
    standin::Bytes pdu;  // function code and data; at least the function code
};

// Takes the frame at the front of `bytes`: how many bytes it used, 0 while
// more are needed, -1 when the stream is not Modbus TCP (a protocol id other
// than 0, or a length that leaves no function code or exceeds kMaxFrame).
long take_frame(const std::uint8_t* bytes, std::size_t size, Frame& frame);

// The answer frame: the client's transaction and unit id, and the PDU.
standin::Bytes answer_frame(std::uint16_t transaction, std::uint8_t unit,
                            const standin::Bytes& pdu);

}  // namespace quillark_agent::gateway
