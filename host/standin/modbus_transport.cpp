#include "modbus_transport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <modbus.h>

namespace standin {

namespace {

constexpr int kTcpHeader = 7;  // MBAP: transaction, protocol, length, unit
constexpr int kRtuHeader = 1;  // unit id
constexpr std::chrono::milliseconds kByteTimeout{500};
// Answers that belong to no request of ours (a late one, another unit's) are
// skipped while the response timeout lasts; this bounds how many.
constexpr int kMaxForeignAnswers = 8;

std::uint16_t word_at(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

void put_word(std::vector<std::uint8_t>& out, unsigned value) {
    out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

// Words a device can never take for the confirmation of this write.
void fill_unconfirmable(const ModbusRequest& request, std::uint16_t* words) {
    if (request.function == ModbusRequest::WriteRegister) {
        words[0] = static_cast<std::uint16_t>(~request.values[0]);
        words[1] = 0;
    } else {
        words[0] = 0;
        words[1] = 0;
    }
}

// An answer arrived but did not survive the line (bad CRC, impossible length).
bool garbled(int error_number) { return error_number == EMBBADCRC || error_number == EMBBADDATA; }

WriteAnswer foreign(std::string why) {
    WriteAnswer answer;
    answer.verdict = WriteAnswer::Foreign;
    answer.detail = std::move(why);
    return answer;
}

}  // namespace

std::string LinkSettings::describe() const {
    std::string text;
    if (kind == Kind::Tcp) {
        const bool ipv6 = host.find(':') != std::string::npos;
        text = "tcp " + (ipv6 ? "[" + host + "]" : host) + ":" + port;
    } else {
        text = "rtu " + device + " " + std::to_string(baud) + " " +
               std::to_string(data_bits) + parity + std::to_string(stop_bits);
    }
    return text + " unit " + std::to_string(unit);
}

std::vector<std::uint8_t> write_request_bytes(const ModbusRequest& request, int unit) {
    std::vector<std::uint8_t> out;
    out.push_back(static_cast<std::uint8_t>(unit));
    out.push_back(static_cast<std::uint8_t>(request.function));
    put_word(out, static_cast<unsigned>(request.address));
    if (request.function == ModbusRequest::WriteRegister) {
        put_word(out, request.values[0]);
    } else {
        const int count = std::clamp(request.count, 0, ModbusRequest::kMaxWriteRegisters);
        put_word(out, static_cast<unsigned>(count));
        out.push_back(static_cast<std::uint8_t>(2 * count));
        for (int i = 0; i < count; ++i) put_word(out, request.values[i]);
    }
    return out;
}

WriteAnswer judge_write_answer(const ModbusRequest& request, int unit, bool tcp,
                               const std::uint8_t* adu, int length) {
    const int header = tcp ? kTcpHeader : kRtuHeader;
    if (adu == nullptr || length < header + 2) return foreign("answer too short");
    if (tcp) {
        // libmodbus sends raw requests with transaction id 0.
        if (word_at(adu) != 0)
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

Status status_of_error(int error_number) {
    if (error_number == ETIMEDOUT) return Status::NoAnswer;
    if (error_number > MODBUS_ENOBASE && error_number < MODBUS_ENOBASE + MODBUS_EXCEPTION_MAX)
        return Status::Exception;
    switch (error_number) {
        case EMBBADCRC:
        case EMBBADDATA:
        case EMBBADEXC:
        case EMBUNKEXC:
        case EMBMDATA:
        case EMBBADSLAVE:
            return Status::NoAnswer;
        default:
            break;
    }
    // A reset or closed connection, a vanished serial device, and anything
    // else that leaves the link in a state we cannot vouch for: reopen it.
    return Status::LinkDown;
}

ModbusTransport::ModbusTransport(LinkSettings settings) : settings_(std::move(settings)) {
    if (settings_.kind == LinkSettings::Kind::Tcp)
        ctx_ = modbus_new_tcp_pi(settings_.host.c_str(), settings_.port.c_str());
    else
        ctx_ = modbus_new_rtu(settings_.device.c_str(), settings_.baud, settings_.parity,
                              settings_.data_bits, settings_.stop_bits);
    if (ctx_ == nullptr)
        throw std::invalid_argument(settings_.describe() + ": " + modbus_strerror(errno));
    if (modbus_set_slave(ctx_, settings_.unit) == -1) {
        const int error_number = errno;
        modbus_free(ctx_);
        throw std::invalid_argument("unit " + std::to_string(settings_.unit) + ": " +
                                    modbus_strerror(error_number));
    }
    modbus_set_error_recovery(ctx_, MODBUS_ERROR_RECOVERY_NONE);
    const auto timeout = std::chrono::milliseconds(std::max(1, settings_.timeout_ms));
    set_response_timeout(timeout);
    const auto byte_timeout = std::min(timeout, std::chrono::milliseconds(kByteTimeout));
    modbus_set_byte_timeout(ctx_, 0, static_cast<std::uint32_t>(byte_timeout.count() * 1000));
}

void ModbusTransport::set_unit(int unit) {
    if (unit == settings_.unit) return;
    if (modbus_set_slave(ctx_, unit) == -1)
        throw std::invalid_argument("unit " + std::to_string(unit) + ": " +
                                    modbus_strerror(errno));
    settings_.unit = unit;
}

ModbusTransport::~ModbusTransport() {
    if (open_) modbus_close(ctx_);
    modbus_free(ctx_);
}

void ModbusTransport::set_response_timeout(std::chrono::microseconds timeout) {
    const auto us = std::max<long long>(1, timeout.count());
    modbus_set_response_timeout(ctx_, static_cast<std::uint32_t>(us / 1000000),
                                static_cast<std::uint32_t>(us % 1000000));
}

bool ModbusTransport::open(std::string& error) {
    if (open_) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_attempt_) {
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(next_attempt_ - now);
        error = "link down, next attempt to reopen in " + std::to_string(wait.count()) + " ms";
        return false;
    }
    if (modbus_connect(ctx_) == -1) {
        error = "cannot open " + settings_.describe() + ": " + modbus_strerror(errno);
        modbus_close(ctx_);
        next_attempt_ = now + retry_pause_;
        retry_pause_ = std::min(retry_pause_ * 2, kMaxRetry);
        return false;
    }
    open_ = true;
    retry_pause_ = kFirstRetry;
    return true;
}

void ModbusTransport::drop_link() {
    if (!open_) return;
    modbus_close(ctx_);
    open_ = false;
    // The first attempt to reopen comes with the next request.
    next_attempt_ = std::chrono::steady_clock::now();
}

Outcome ModbusTransport::failed(int error_number) {
    const Status status = status_of_error(error_number);
    if (status == Status::LinkDown) drop_link();
    return {status, modbus_strerror(error_number)};
}

Outcome ModbusTransport::execute(const ModbusRequest& request, std::uint8_t* bits,
                                 std::uint16_t* words) {
    std::string error;
    if (!open(error)) return {Status::LinkDown, error};
    // Whatever is still on the line belongs to an earlier request.
    modbus_flush(ctx_);

    int rc;
    switch (request.function) {
        case ModbusRequest::ReadInputBits:
            rc = modbus_read_input_bits(ctx_, request.address, request.count, bits);
            break;
        case ModbusRequest::ReadInputRegisters:
            rc = modbus_read_input_registers(ctx_, request.address, request.count, words);
            break;
        case ModbusRequest::WriteRegister:
        case ModbusRequest::WriteRegisters:
            return execute_write(request, words);
        default:
            return {Status::NoAnswer, "function " + std::to_string(request.function) +
                                          " is not supported by this host"};
    }
    if (rc == -1) return failed(errno);
    if (rc != request.count)
        return {Status::NoAnswer, "answer carries " + std::to_string(rc) + " values, not " +
                                      std::to_string(request.count)};
    return {Status::Answered, ""};
}

// libmodbus 3.1.6 does not compare a write's echo with the request, so the
// answer is received raw and judged here.
Outcome ModbusTransport::execute_write(const ModbusRequest& request, std::uint16_t* words) {
    const std::vector<std::uint8_t> raw = write_request_bytes(request, settings_.unit);
    if (modbus_send_raw_request(ctx_, raw.data(), static_cast<int>(raw.size())) == -1)
        return failed(errno);

    const bool tcp = settings_.kind == LinkSettings::Kind::Tcp;
    const auto timeout = std::chrono::milliseconds(std::max(1, settings_.timeout_ms));
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::uint8_t answer[MODBUS_MAX_ADU_LENGTH];
    Outcome outcome{Status::NoAnswer, "no answer to the write"};
    for (int received = 0; received < kMaxForeignAnswers; ++received) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        set_response_timeout(left);
        const int rc = modbus_receive_confirmation(ctx_, answer);
        const int error_number = errno;
        set_response_timeout(timeout);
        if (rc == -1 && garbled(error_number)) {
            // The unit did answer, but nothing in its answer can be trusted:
            // the write stands unconfirmed rather than unanswered.
            fill_unconfirmable(request, words);
            return {Status::Answered,
                    std::string("garbled answer: ") + modbus_strerror(error_number)};
        }
        if (rc == -1) {
            outcome = failed(error_number);
            break;
        }
        if (rc == 0) continue;  // another unit's answer on a shared line
        const WriteAnswer judged = judge_write_answer(request, settings_.unit, tcp, answer, rc);
        switch (judged.verdict) {
            case WriteAnswer::Foreign:
                outcome.error = "no answer to the write (ignored: " + judged.detail + ")";
                continue;
            case WriteAnswer::Refused:
                return {Status::Exception, judged.detail};
            case WriteAnswer::Echo:
                words[0] = judged.words[0];
                words[1] = judged.words[1];
                return {Status::Answered, judged.detail};
        }
    }
    // libmodbus sends every raw request with transaction id 0, so on TCP a
    // late echo could pass for the answer to the next write of the same
    // register. It dies with this connection; the next request opens another.
    if (tcp) drop_link();
    return outcome;
}

}  // namespace standin
