// Requests passed through for a gateway: checking what may go onto the link,
// framing it, judging the answer against it, and the transport's turn for
// one such request.
#include "host/standin/modbus_relay.h"

#include <modbus.h>

#include "host/standin/modbus_transport.h"
#include "host/standin/modbus_transport_internal.h"

namespace standin {

namespace {

// Answers that belong to no request of ours are skipped while the response
// timeout lasts; this bounds how many, as for the host's own requests.
constexpr int kMaxForeignAnswers = 8;

unsigned word_at(const std::uint8_t* p) { return static_cast<unsigned>((p[0] << 8) | p[1]); }

AnswerCheck verdict(AnswerCheck::Verdict v, std::string detail) {
    AnswerCheck check;
    check.verdict = v;
    check.detail = std::move(detail);
    return check;
}

// How many data bytes (after the function code) a normal answer to this
// well-formed request carries.
std::size_t answer_data_length(const Bytes& pdu) {
    const unsigned count = word_at(&pdu[3]);
    switch (pdu[0]) {
        case 1:
        case 2: return 1 + (count + 7) / 8;
        case 3:
        case 4: return 1 + 2 * count;
        default: return 4;  // a write's echo: address and value or count
    }
}

}  // namespace

int relay_request_problem(const std::uint8_t* pdu, std::size_t length) {
    if (pdu == nullptr || length < 1) return kIllegalFunction;
    const int function = pdu[0];
    unsigned most = 0;  // the largest count the function allows
    switch (function) {
        case 1:
        case 2: most = 2000; break;
        case 3:
        case 4: most = 125; break;
        case 5:
        case 6: most = 0; break;
        case 15: most = 1968; break;
        case 16: most = 123; break;
        default: return kIllegalFunction;
    }
    if (length < 5 || length > kMaxPdu) return kIllegalDataValue;
    const unsigned address = word_at(pdu + 1);
    const unsigned count = word_at(pdu + 3);
    if (function == 5 || function == 6) {
        if (length != 5) return kIllegalDataValue;
        if (function == 5 && count != 0x0000 && count != 0xFF00) return kIllegalDataValue;
        return 0;
    }
    if (count < 1 || count > most || address + count > 0x10000) return kIllegalDataValue;
    if (function <= 4) return length == 5 ? 0 : kIllegalDataValue;
    const unsigned bytes = function == 15 ? (count + 7) / 8 : 2 * count;
    if (length < 6 || pdu[5] != bytes || length != 6 + bytes) return kIllegalDataValue;
    return 0;
}

Bytes exception_pdu(std::uint8_t function, std::uint8_t code) {
    return {static_cast<std::uint8_t>(function | 0x80), code};
}

Bytes relay_adu(const Bytes& pdu, int unit, bool tcp, std::uint16_t transaction) {
    Bytes adu;
    adu.reserve(kMaxAdu);
    if (tcp) {
        const std::size_t length = pdu.size() + 1;
        adu.push_back(static_cast<std::uint8_t>(transaction >> 8));
        adu.push_back(static_cast<std::uint8_t>(transaction & 0xFF));
        adu.push_back(0);
        adu.push_back(0);
        adu.push_back(static_cast<std::uint8_t>(length >> 8));
        adu.push_back(static_cast<std::uint8_t>(length & 0xFF));
    }
    adu.push_back(static_cast<std::uint8_t>(unit));
    adu.insert(adu.end(), pdu.begin(), pdu.end());
    if (!tcp) {
        const std::uint16_t crc = modbus_crc(adu.data(), adu.size());
        adu.push_back(static_cast<std::uint8_t>(crc & 0xFF));
        adu.push_back(static_cast<std::uint8_t>(crc >> 8));
    }
    return adu;
}

AnswerCheck check_relay_answer(const Bytes& request_pdu, int unit, bool tcp,
                               std::uint16_t transaction, const std::uint8_t* adu,
                               std::size_t length, Bytes& answer) {
    const std::size_t header = tcp ? kTcpHeader : 1;
    const std::size_t trailer = tcp ? 0 : 2;
    if (request_pdu.size() < 5 || adu == nullptr || length < header + 2 + trailer)
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
    const std::uint8_t* pdu = adu + header;
    const std::size_t pdu_length = length - header - trailer;
    if (function == (request_pdu[0] | 0x80)) {
        if (pdu_length != 2) return verdict(AnswerCheck::Garbled, "exception of a wrong length");
        answer.assign(pdu, pdu + pdu_length);
        AnswerCheck check = verdict(AnswerCheck::Exception, "");
        check.exception_code = pdu[1];
        return check;
    }
    if (function != request_pdu[0])
        return verdict(AnswerCheck::Foreign,
                       "function " + std::to_string(function) + " answers another request");
    const std::size_t data = answer_data_length(request_pdu);
    const bool read = function <= 4;
    if (pdu_length != 1 + data || (read && pdu[1] != data - 1))
        return verdict(AnswerCheck::Garbled, "answer does not fit the request");
    answer.assign(pdu, pdu + pdu_length);
    return verdict(AnswerCheck::Good, "");
}

Outcome ModbusTransport::relay(const Bytes& pdu, Bytes& answer) {
    answer.clear();
    if (relay_request_problem(pdu.data(), pdu.size()) != 0)
        return {Status::NoAnswer, "not a request this host passes on"};
    if (wakeup_ != nullptr && wakeup_->notified()) return {Status::Interrupted, "interrupted"};
    std::string error;
    if (!open(error))
        return {error == "interrupted" ? Status::Interrupted : Status::LinkDown, error};
    discard_buffered();
    const bool tcp = ctx_ == nullptr;
    ++transaction_;
    ++stats_.requests;
    if (!send(relay_adu(pdu, settings_.unit, tcp, transaction_), error)) {
        drop_link();
        return {Status::LinkDown, error};
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(settings_.timeout_ms);
    std::string skipped;
    for (int received = 0; received < kMaxForeignAnswers; ++received) {
        Received got = receive(deadline);
        if (got.kind != Received::Frame) {
            Outcome outcome = failed(got);
            if (!skipped.empty()) outcome.error += " (ignored: " + skipped + ")";
            return outcome;
        }
        const AnswerCheck check = check_relay_answer(pdu, settings_.unit, tcp, transaction_,
                                                     got.frame.data(), got.frame.size(), answer);
        if (check.verdict == AnswerCheck::Foreign) {
            skipped = check.detail;
            suspect_ = true;
            continue;
        }
        if (check.verdict == AnswerCheck::Garbled) {
            if (tcp) drop_link();
            else settle();
            answer.clear();
            return {Status::NoAnswer, "garbled answer: " + check.detail};
        }
        if (!answer_stands()) {
            answer.clear();
            return {Status::NoAnswer, "answer followed by others: earlier answers still arriving"};
        }
        answered_ = true;
        retry_pause_ = kFirstRetry;
        if (check.verdict == AnswerCheck::Good) return {Status::Answered, ""};
        return {Status::Exception, modbus_strerror(MODBUS_ENOBASE + check.exception_code)};
    }
    settle();
    return {Status::NoAnswer, "no answer to this request (ignored: " + skipped + ")"};
}

}  // namespace standin
