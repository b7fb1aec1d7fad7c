// Answer frames as they come off the line, any bytes at all, judged against
// a request: the stand-in host's checks must never take a frame that does not
// fit the request, and must never read outside it.
//
// Input bytes: request kind (modulo 4: read bits, read registers, write one
// register, write registers), count byte, link byte (bit 0 TCP, bits 1-7 the
// unit), a transaction word, then the frame. An odd first byte also makes the
// frame well formed (right lengths, CRC) so the checks past them are reached.
#include "fuzz/fuzz_io.h"
#include "host/standin/modbus_frames.h"
#include "host/standin/modbus_transport.h"

namespace {

ModbusRequest request_from(fuzz::Input& in, int kind) {
    ModbusRequest request;
    const int count = in.byte();
    request.address = in.u16();
    switch (kind) {
        case 0:
            request.function = ModbusRequest::ReadInputBits;
            request.count = 1 + count;
            break;
        case 1:
            request.function = ModbusRequest::ReadInputRegisters;
            request.count = 1 + count % 125;
            break;
        case 2:
            request.function = ModbusRequest::WriteRegister;
            request.count = 1;
            break;
        default:
            request.function = ModbusRequest::WriteRegisters;
            request.count = 1 + count % 123;
            break;
    }
    for (int i = 0; i < request.count && i < ModbusRequest::kMaxWriteRegisters; ++i)
        request.values[i] = static_cast<std::uint16_t>(i * 7);
    return request;
}

// Fixes lengths, and the CRC for RTU, so that a frame reaches the later checks.
void make_well_formed(standin::Bytes& frame, bool tcp) {
    if (tcp) {
        if (frame.size() < 8) frame.resize(8);
        frame[2] = frame[3] = 0;
        frame[4] = static_cast<std::uint8_t>((frame.size() - 6) >> 8);
        frame[5] = static_cast<std::uint8_t>(frame.size() - 6);
    } else {
        if (frame.size() < 2) frame.resize(2);
        const std::uint16_t crc = standin::modbus_crc(frame.data(), frame.size());
        frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
        frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::uint8_t first = in.byte();
    const ModbusRequest request = request_from(in, first / 2 % 4);
    const std::uint8_t link = in.byte();
    const bool tcp = link & 1;
    const int unit = link >> 1;
    const std::uint16_t transaction = in.u16();
    standin::Bytes frame;
    while (!in.empty() && frame.size() < 300) frame.push_back(in.byte());
    if (first & 1) make_well_formed(frame, tcp);

    // A serial answer's length is known from its first bytes alone.
    const int length = standin::rtu_answer_length(frame.data(), frame.size());
    FUZZ_CHECK(length == -1 || (length == 0 && frame.size() < 3) || (length >= 5 && length <= 260));

    const bool read = request.function == ModbusRequest::ReadInputBits ||
                      request.function == ModbusRequest::ReadInputRegisters;
    if (read) {
        std::uint8_t bits[SPModbus::kMaxReadBits];
        std::uint16_t words[SPModbus::kMaxReadRegisters];
        std::memset(bits, 0xEE, sizeof bits);
        const standin::AnswerCheck check = standin::check_read_answer(
            request, unit, tcp, transaction, frame.data(), frame.size(), bits, words);
        if (check.verdict == standin::AnswerCheck::Good) {
            const std::size_t header = tcp ? 7 : 1, trailer = tcp ? 0 : 2;
            const std::size_t bytes = request.function == ModbusRequest::ReadInputBits
                                          ? (request.count + 7) / 8
                                          : 2 * static_cast<std::size_t>(request.count);
            FUZZ_CHECK(frame.size() == header + 2 + bytes + trailer);
            FUZZ_CHECK(frame[header - 1] == unit && frame[header] == request.function);
            if (tcp) FUZZ_CHECK((frame[0] << 8 | frame[1]) == transaction);
            for (int i = 0; request.function == ModbusRequest::ReadInputBits && i < request.count;
                 ++i)
                FUZZ_CHECK(bits[i] <= 1);
        } else {
            FUZZ_CHECK(bits[0] == 0xEE);  // nothing reaches the device's buffers
        }
    } else {
        const standin::WriteAnswer answer = standin::judge_write_answer(
            request, unit, tcp, frame.data(), static_cast<int>(frame.size()), transaction);
        if (answer.verdict == standin::WriteAnswer::Echo) {
            const std::size_t header = tcp ? 7 : 1;
            FUZZ_CHECK(frame[header - 1] == unit && frame[header] == request.function);
            // Only an echo of this write's own address can confirm it.
            const bool same = (frame[header + 1] << 8 | frame[header + 2]) == request.address;
            if (request.function == ModbusRequest::WriteRegister && !same)
                FUZZ_CHECK(answer.words[0] != request.values[0]);
            if (request.function == ModbusRequest::WriteRegisters && !same)
                FUZZ_CHECK(answer.words[0] != 16);
        }
    }
    return 0;
}
