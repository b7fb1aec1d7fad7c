#include "host/standin/modbus_frames.h"

#include <algorithm>
#include <utility>

#include <modbus.h>

namespace standin {

namespace {

constexpr int kTcpHeaderLength = 7;  // MBAP: transaction, protocol, length, unit
constexpr int kRtuHeader = 1;        // unit id

std::uint16_t word_at(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

void put_word(Bytes& out, unsigned value) {
    out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

AnswerCheck verdict(AnswerCheck::Verdict v, std::string detail) {
    AnswerCheck check;
    check.verdict = v;
    check.detail = std::move(detail);
    return check;
}

bool is_read(int function) {
    return function == ModbusRequest::ReadInputBits ||
           function == ModbusRequest::ReadInputRegisters;
}

// The PDU, function code and data, at the end of `out`.
void append_pdu(Bytes& out, const ModbusRequest& request) {
    out.push_back(static_cast<std::uint8_t>(request.function));
    put_word(out, static_cast<unsigned>(request.address));
    if (is_read(request.function)) {
        put_word(out, static_cast<unsigned>(request.count));
    } else if (request.function == ModbusRequest::WriteRegister) {
        put_word(out, request.values[0]);
    } else {
        const int count = std::clamp(request.count, 0, ModbusRequest::kMaxWriteRegisters);
        put_word(out, static_cast<unsigned>(count));
        out.push_back(static_cast<std::uint8_t>(2 * count));
        for (int i = 0; i < count; ++i) put_word(out, request.values[i]);
    }
}

WriteAnswer foreign(std::string why) {
    WriteAnswer answer;
    answer.verdict = WriteAnswer::Foreign;
    answer.detail = std::move(why);
    return answer;
}

}  // namespace

std::uint16_t modbus_crc(const std::uint8_t* bytes, std::size_t length) {
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

Bytes request_pdu(const ModbusRequest& request) {
    Bytes pdu;
    append_pdu(pdu, request);
    return pdu;
}

Bytes tcp_request(const ModbusRequest& request, int unit, std::uint16_t transaction) {
    // One allocation: the MBAP header's length is patched in once the PDU is there.
    Bytes adu;
    adu.reserve(kMaxAdu);
    put_word(adu, transaction);
    put_word(adu, 0);
    put_word(adu, 0);
    adu.push_back(static_cast<std::uint8_t>(unit));
    append_pdu(adu, request);
    const std::size_t length = adu.size() - 6;  // unit id and PDU
    adu[4] = static_cast<std::uint8_t>((length >> 8) & 0xFF);
    adu[5] = static_cast<std::uint8_t>(length & 0xFF);
    return adu;
}

Bytes rtu_request(const ModbusRequest& request, int unit) {
    Bytes adu{static_cast<std::uint8_t>(unit)};
    append_pdu(adu, request);
    const std::uint16_t crc = modbus_crc(adu.data(), adu.size());
    adu.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    adu.push_back(static_cast<std::uint8_t>(crc >> 8));
    return adu;
}

int rtu_answer_length(const std::uint8_t* bytes, std::size_t have) {
    if (have < 2) return 0;
    const int function = bytes[1];
    if (function & 0x80) return 5;  // unit, function, exception code, CRC
    switch (function) {
        case 1:
        case 2:
        case 3:
        case 4:
        case 23: return have < 3 ? 0 : 3 + bytes[2] + 2;
        case 5:
        case 6:
        case 15:
        case 16: return 8;  // unit, function, address, value or count, CRC
        default: return -1;
    }
}

AnswerCheck check_read_answer(const ModbusRequest& request, int unit, bool tcp,
                              std::uint16_t transaction, const std::uint8_t* adu,
                              std::size_t length, std::uint8_t* bits, std::uint16_t* words) {
    const std::size_t header = tcp ? kTcpHeader : 1;
    const std::size_t trailer = tcp ? 0 : 2;
    if (adu == nullptr || length < header + 2 + trailer)
        return verdict(AnswerCheck::Garbled, "answer too short");
    if (tcp) {
        if (word_at(adu) != transaction)
            return verdict(AnswerCheck::Foreign,
                           "answer to transaction " + std::to_string(word_at(adu)));
        if (word_at(adu + 2) != 0) return verdict(AnswerCheck::Garbled, "not a Modbus answer");
        if (word_at(adu + 4) != length - 6)
            return verdict(AnswerCheck::Garbled, "length field does not fit the answer");
    } else {
        const std::uint16_t crc = modbus_crc(adu, length - 2);
        if (adu[length - 2] != (crc & 0xFF) || adu[length - 1] != (crc >> 8))
            return verdict(AnswerCheck::Garbled, "bad CRC");
    }
    if (adu[header - 1] != unit)
        return verdict(AnswerCheck::Foreign, "answer from unit " + std::to_string(adu[header - 1]));
    const int function = adu[header];
    const std::uint8_t* data = adu + header + 1;
    const std::size_t data_length = length - header - 1 - trailer;
    if (function == (request.function | 0x80)) {
        if (data_length != 1) return verdict(AnswerCheck::Garbled, "exception of a wrong length");
        AnswerCheck check = verdict(AnswerCheck::Exception, "");
        check.exception_code = data[0];
        return check;
    }
    if (function != request.function)
        return verdict(AnswerCheck::Foreign,
                       "function " + std::to_string(function) + " answers another request");
    const bool reads_bits = request.function == ModbusRequest::ReadInputBits;
    const std::size_t expected = reads_bits ? (static_cast<std::size_t>(request.count) + 7) / 8
                                            : 2 * static_cast<std::size_t>(request.count);
    if (data_length < 1 || data[0] != expected || data_length != expected + 1)
        return verdict(AnswerCheck::Garbled, "byte count does not fit the request");
    for (int i = 0; i < request.count; ++i) {
        if (reads_bits) bits[i] = static_cast<std::uint8_t>((data[1 + i / 8] >> (i % 8)) & 1);
        else words[i] = word_at(data + 1 + 2 * i);
    }
    return verdict(AnswerCheck::Good, "");
}

void fill_unconfirmable(const ModbusRequest& request, std::uint16_t* words) {
    if (request.function == ModbusRequest::WriteRegister) {
        words[0] = static_cast<std::uint16_t>(~request.values[0]);
        words[1] = 0;
    } else {
        words[0] = 0;
        words[1] = 0;
    }
}

std::vector<std::uint8_t> write_request_bytes(const ModbusRequest& request, int unit) {
    std::vector<std::uint8_t> out{static_cast<std::uint8_t>(unit)};
    const Bytes pdu = request_pdu(request);
    out.insert(out.end(), pdu.begin(), pdu.end());
    return out;
}

WriteAnswer judge_write_answer(const ModbusRequest& request, int unit, bool tcp,
                               const std::uint8_t* adu, int length, std::uint16_t transaction) {
    const int header = tcp ? kTcpHeaderLength : kRtuHeader;
    if (adu == nullptr || length < header + 2) return foreign("answer too short");
    if (tcp) {
        if (word_at(adu) != transaction)
            return foreign("transaction " + std::to_string(word_at(adu)) +
                           " answers an earlier request");
        if (word_at(adu + 2) != 0) return foreign("not a Modbus answer");
    }
    if (adu[header - 1] != unit)
        return foreign("answer from unit " + std::to_string(adu[header - 1]));

    const int function = adu[header];
    if (function == (request.function | 0x80)) {
        WriteAnswer answer;
        answer.verdict = WriteAnswer::Refused;
        answer.exception_code = adu[header + 1];
        answer.detail = modbus_strerror(MODBUS_ENOBASE + answer.exception_code);
        return answer;
    }
    if (function != request.function)
        return foreign("function " + std::to_string(function) + " answers another request");
    if (length < header + 5) return foreign("answer too short");

    const std::uint16_t address = word_at(adu + header + 1);
    const std::uint16_t echoed = word_at(adu + header + 3);
    const bool same_address = address == static_cast<std::uint16_t>(request.address);
    WriteAnswer answer;
    answer.verdict = WriteAnswer::Echo;
    if (!same_address)
        answer.detail = "echoed address " + std::to_string(address) + ", not " +
                        std::to_string(request.address);
    if (!same_address) {
        fill_unconfirmable(request, answer.words);
    } else if (request.function == ModbusRequest::WriteRegister) {
        answer.words[0] = echoed;
    } else {
        answer.words[0] = ModbusRequest::WriteRegisters;
        answer.words[1] = echoed;
    }
    return answer;
}

}  // namespace standin
