// Requests passed through to a unit as they came, for a gateway in front of
// the link: the request's PDU (function code and data) as a client sent it,
// and the unit's answer PDU, normal or exception, handed back verbatim. Only
// the functions whose answer length a serial line can tell pass: reads of
// coils, inputs, holding and input registers (1 to 4) and the writes (5, 6,
// 15, 16). Pure functions over bytes, so each check can be tried with any
// bytes at all.
#pragma once

#include <cstdint>
#include <string>

#include "host/standin/modbus_frames.h"

namespace standin {

// Modbus exception codes a gateway answers with on its own.
enum RelayException : std::uint8_t {
    kIllegalFunction = 0x01,
    kIllegalDataAddress = 0x02,
    kIllegalDataValue = 0x03,
    kServerBusy = 0x06,
    kPathUnavailable = 0x0A,
    kTargetFailed = 0x0B,
};

// The longest PDU: 253 bytes, as a serial frame's 256 less unit id and CRC.
constexpr std::size_t kMaxPdu = 253;

// 0 when the request PDU is one this host passes on, well formed (counts
// within Modbus's limits, byte counts that fit them, the range inside the
// 65,536 addresses); else the exception code it earns: kIllegalFunction for
// a function not passed on, kIllegalDataValue for a malformed request.
TESSEL_API int relay_request_problem(const std::uint8_t* pdu, std::size_t length);

// The exception answer PDU to `function`.
TESSEL_API Bytes exception_pdu(std::uint8_t function, std::uint8_t code);

// The whole request frame for the link: MBAP header for TCP, unit id first
// and CRC last for RTU.
TESSEL_API Bytes relay_adu(const Bytes& pdu, int unit, bool tcp, std::uint16_t transaction);

// Checks a whole answer frame against the relayed request, as
// check_read_answer does for the host's own reads: transaction, protocol,
// length, unit and CRC; the function (or its exception); and a byte count
// or echo length that fits the request. On Good or Exception `answer` holds
// the answer's PDU as the unit sent it.
TESSEL_API AnswerCheck check_relay_answer(const Bytes& request_pdu, int unit, bool tcp,
                                          std::uint16_t transaction, const std::uint8_t* adu,
                                          std::size_t length, Bytes& answer);

}  // namespace standin
