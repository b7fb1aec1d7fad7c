// Modbus frames as the stand-in host's transport builds and checks them: the
// request ADU for TCP (MBAP header with our own transaction id) or RTU (unit
// id first, CRC last), and the judgement of each answer frame against the
// request it should answer. Pure functions over bytes, so every check can be
// tried with any bytes at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/standin/standin_queue.h"

namespace standin {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kTcpHeader = 7;  // MBAP: transaction, protocol, length, unit
constexpr std::size_t kMaxAdu = 260;   // the longest Modbus TCP ADU; RTU's is 256

// Modbus RTU CRC-16 (polynomial 0xA001, initial 0xFFFF); sent low byte first.
TESSEL_API std::uint16_t modbus_crc(const std::uint8_t* bytes, std::size_t length);

// The request's PDU: function code and data.
TESSEL_API Bytes request_pdu(const ModbusRequest& request);
TESSEL_API Bytes tcp_request(const ModbusRequest& request, int unit, std::uint16_t transaction);
TESSEL_API Bytes rtu_request(const ModbusRequest& request, int unit);

// How long the RTU answer starting with these bytes is, CRC included: 0 while
// more bytes are needed to tell, -1 for a function code no answer carries.
TESSEL_API int rtu_answer_length(const std::uint8_t* bytes, std::size_t have);

// The verdict on one complete answer frame.
struct TESSEL_API AnswerCheck {
    enum Verdict {
        Good,       // the answer to this request; for a read, bits/words are filled
        Exception,  // the unit refused this request; `exception_code` holds why
        Foreign,    // another request's or another unit's answer: skip it and wait on
        Garbled,    // meant for this request but damaged: nothing in it can be trusted
    };
    Verdict verdict = Garbled;
    int exception_code = 0;
    std::string detail;  // why it is foreign or garbled
};

// Checks a whole answer frame (MBAP header for TCP, unit id first and CRC
// last for RTU) to a read: transaction, protocol, length, unit, function,
// byte count and CRC must all fit. On Good the read's bits (one byte each) or
// words are filled; nothing is written otherwise.
TESSEL_API AnswerCheck check_read_answer(const ModbusRequest& request, int unit, bool tcp,
                                         std::uint16_t transaction, const std::uint8_t* adu,
                                         std::size_t length, std::uint8_t* bits,
                                         std::uint16_t* words);

// What the unit's answer to a register write says.
struct TESSEL_API WriteAnswer {
    enum Verdict {
        Echo,     // an answer to this write: `words` holds what the device must see
        Refused,  // a Modbus exception; `exception_code` holds its code
        Foreign,  // not the answer to this write (another request's, another unit's)
    };
    Verdict verdict = Foreign;
    std::uint16_t words[2] = {0, 0};
    int exception_code = 0;
    std::string detail;  // why it is foreign, or what in the echo is wrong
};

// The request bytes for a register write as libmodbus sends raw requests:
// unit id, function code, then the PDU data (big-endian words).
TESSEL_API std::vector<std::uint8_t> write_request_bytes(const ModbusRequest& request, int unit);

// Judges a complete answer frame (`adu`, as libmodbus hands it over: MBAP
// header for TCP, unit id first and CRC last for RTU) against the write it
// should answer. An echo is passed on as the unit sent it: function 6 gives the
// echoed value in word 0, function 16 gives 16 in word 0 and the echoed count
// in word 1. An echo of another address can never confirm the write.
// Over TCP the answer must carry `transaction`.
TESSEL_API WriteAnswer judge_write_answer(const ModbusRequest& request, int unit, bool tcp,
                                          const std::uint8_t* adu, int length,
                                          std::uint16_t transaction = 0);

// Words a device can never take for the confirmation of this write.
void fill_unconfirmable(const ModbusRequest& request, std::uint16_t* words);

}  // namespace standin
