// One request at a time over the link: opening it with growing pauses after
// failures, sending the request, waiting for the answer that is this
// request's own, and what a failure means for the link. The byte level of
// each kind of link is in modbus_tcp.cpp and modbus_rtu.cpp.
#include "host/standin/modbus_transport.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <modbus.h>

#include "host/standin/modbus_transport_internal.h"

namespace standin {

namespace {

// Answers that belong to no request of ours (a late one, another unit's) are
// skipped while the response timeout lasts; this bounds how many.
constexpr int kMaxForeignAnswers = 8;

}  // namespace

ModbusTransport::ModbusTransport(LinkSettings settings) : settings_(std::move(settings)) {
    if (const std::string fault = settings_.check(); !fault.empty())
        throw std::invalid_argument(settings_.describe() + ": " + fault);
    if (settings_.kind == LinkSettings::Kind::Tcp) return;
    settings_.parity =
        static_cast<char>(std::toupper(static_cast<unsigned char>(settings_.parity)));
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
}

void ModbusTransport::set_unit(int unit) {
    if (unit == settings_.unit) return;
    LinkSettings next = settings_;
    next.unit = unit;
    if (const std::string fault = next.check(); !fault.empty())
        throw std::invalid_argument(next.describe() + ": " + fault);
    // The serial context frames with its own unit id; TCP frames are ours.
    if (ctx_ != nullptr && modbus_set_slave(ctx_, unit) == -1)
        throw std::invalid_argument("unit " + std::to_string(unit) + ": " + modbus_strerror(errno));
    settings_.unit = unit;
}

ModbusTransport::~ModbusTransport() {
    drop_link();
    if (ctx_ != nullptr) modbus_free(ctx_);
}

bool ModbusTransport::open(std::string& error) {
    if (open_) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_attempt_) {
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(next_attempt_ - now);
        error = "not connected (next attempt to open " + settings_.describe() + " in " +
                std::to_string(wait.count()) + " ms)";
        return false;
    }
    const bool opened =
        settings_.kind == LinkSettings::Kind::Tcp ? open_tcp(error) : open_rtu(error);
    if (!opened) {
        ++stats_.failed_opens;
        next_attempt_ = now + retry_pause_;
        retry_pause_ = std::min(retry_pause_ * 2, kMaxRetry);
        return false;
    }
    if (ever_open_) ++stats_.reconnects;
    ever_open_ = true;
    suspect_ = true;
    open_ = true;
    // The pause is not reset yet: a gateway that takes the connection and
    // drops it at once has not shown that the link works.
    answered_ = false;
    return true;
}

void ModbusTransport::drop_link() {
    if (!open_) return;
    if (ctx_ != nullptr) modbus_close(ctx_);
    else close(fd_);
    fd_ = -1;
    inbox_size_ = 0;
    open_ = false;
    const auto now = std::chrono::steady_clock::now();
    if (answered_) {
        // A link that worked: the first attempt to reopen comes with the next request.
        next_attempt_ = now;
        return;
    }
    // Lost before the unit said anything over it: as good as a failed open.
    next_attempt_ = now + retry_pause_;
    retry_pause_ = std::min(retry_pause_ * 2, kMaxRetry);
}

Outcome ModbusTransport::execute(const ModbusRequest& request, std::uint8_t* bits,
                                 std::uint16_t* words) {
    const bool write = request.function == ModbusRequest::WriteRegister ||
                       request.function == ModbusRequest::WriteRegisters;
    if (!write && request.function != ModbusRequest::ReadInputBits &&
        request.function != ModbusRequest::ReadInputRegisters)
        return {Status::NoAnswer,
                "function " + std::to_string(request.function) + " is not supported by this host"};
    if (wakeup_ != nullptr && wakeup_->notified()) return {Status::Interrupted, "interrupted"};
    std::string error;
    if (!open(error))
        return {error == "interrupted" ? Status::Interrupted : Status::LinkDown, error};
    // Whatever is still on a serial line belongs to an earlier request.
    discard_buffered();
    ++transaction_;
    const Bytes adu = ctx_ == nullptr ? tcp_request(request, settings_.unit, transaction_)
                                      : rtu_request(request, settings_.unit);
    ++stats_.requests;
    if (!send(adu, error)) {
        drop_link();
        return {Status::LinkDown, error};
    }
    Outcome outcome = write ? await_write(request, words) : await_read(request, bits, words);
    if (open_ && (outcome.status == Status::Answered || outcome.status == Status::Exception)) {
        // The unit answers over this connection: the next loss starts the pauses afresh.
        answered_ = true;
        retry_pause_ = kFirstRetry;
    }
    return outcome;
}

// A receive that brought no frame: what it means for the link and the request.
Outcome ModbusTransport::failed(const Received& received) {
    const bool tcp = ctx_ == nullptr;
    switch (received.kind) {
        case Received::Timeout:
            ++stats_.timeouts;
            settle();
            return {Status::NoAnswer,
                    "no answer within " + std::to_string(settings_.timeout_ms) + " ms"};
        case Received::Garbled:
            // A TCP stream out of step cannot be trusted again; a serial line
            // is quieted instead.
            if (tcp) drop_link();
            else settle();
            return {Status::NoAnswer, "garbled answer: " + received.detail};
        case Received::Interrupted:
            if (tcp && !received.frame.empty()) drop_link();
            return {Status::Interrupted, "interrupted"};
        case Received::Closed:
        case Received::Error:
        case Received::Frame: break;
    }
    drop_link();
    return {Status::LinkDown, received.detail};
}

Outcome ModbusTransport::await_read(const ModbusRequest& request, std::uint8_t* bits,
                                    std::uint16_t* words) {
    const bool tcp = ctx_ == nullptr;
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
        const AnswerCheck check =
            check_read_answer(request, settings_.unit, tcp, transaction_, got.frame.data(),
                              got.frame.size(), bits, words);
        const bool counts =
            check.verdict == AnswerCheck::Good || check.verdict == AnswerCheck::Exception;
        if (counts && !answer_stands())
            return {Status::NoAnswer, "answer followed by others: earlier answers still arriving"};
        switch (check.verdict) {
            case AnswerCheck::Good: return {Status::Answered, ""};
            case AnswerCheck::Exception:
                return {Status::Exception, modbus_strerror(MODBUS_ENOBASE + check.exception_code)};
            case AnswerCheck::Foreign:
                skipped = check.detail;
                suspect_ = true;
                continue;
            case AnswerCheck::Garbled:
                settle();
                return {Status::NoAnswer, "garbled answer: " + check.detail};
        }
    }
    settle();
    return {Status::NoAnswer, "no answer to this request (ignored: " + skipped + ")"};
}

Outcome ModbusTransport::await_write(const ModbusRequest& request, std::uint16_t* words) {
    const bool tcp = ctx_ == nullptr;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(settings_.timeout_ms);
    Outcome outcome{Status::NoAnswer, "no answer to the write"};
    for (int received = 0; received < kMaxForeignAnswers; ++received) {
        Received got = receive(deadline);
        const Bytes& f = got.frame;
        const bool bad_crc =
            got.kind == Received::Frame && !tcp &&
            modbus_crc(f.data(), f.size() - 2) != (f[f.size() - 2] | f[f.size() - 1] << 8);
        if (got.kind == Received::Garbled || bad_crc) {
            // The unit did answer, but nothing in its answer can be trusted:
            // the write stands unconfirmed rather than unanswered. As after a
            // garbled read, a TCP stream out of step is reopened.
            if (tcp) drop_link();
            else settle();
            fill_unconfirmable(request, words);
            return {Status::Answered,
                    "garbled answer: " + (bad_crc ? std::string("bad CRC") : got.detail)};
        }
        if (got.kind != Received::Frame) return failed(got);
        const WriteAnswer judged = judge_write_answer(request, settings_.unit, tcp, f.data(),
                                                      static_cast<int>(f.size()), transaction_);
        if (judged.verdict != WriteAnswer::Foreign && !answer_stands()) {
            // Perhaps an earlier write's echo: the write stands unconfirmed.
            fill_unconfirmable(request, words);
            return {Status::Answered, "answer followed by others: earlier answers still arriving"};
        }
        switch (judged.verdict) {
            case WriteAnswer::Foreign:
                outcome.error = "no answer to the write (ignored: " + judged.detail + ")";
                suspect_ = true;
                continue;
            case WriteAnswer::Refused: return {Status::Exception, judged.detail};
            case WriteAnswer::Echo:
                words[0] = judged.words[0];
                words[1] = judged.words[1];
                return {Status::Answered, judged.detail};
        }
    }
    settle();
    return outcome;
}

bool ModbusTransport::send(const Bytes& adu, std::string& error) {
    if (trace_) trace_(true, adu.data(), adu.size());
    return ctx_ != nullptr ? send_rtu(adu, error) : send_tcp(adu, error);
}

Received ModbusTransport::receive(Clock::time_point deadline) {
    return ctx_ == nullptr ? receive_tcp(deadline) : receive_rtu(deadline);
}

ModbusTransport::Wait ModbusTransport::wait_readable(Clock::time_point deadline) const {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeup_ ? wakeup_->fd() : -1, POLLIN, 0}};
    for (;;) {
        if (wakeup_ && wakeup_->notified()) return Wait::Interrupted;
        const int rc = poll(fds, 2, poll_timeout_ms(deadline));
        if (rc == -1 && errno == EINTR) continue;
        if (rc == -1) return Wait::Failed;
        if (fds[1].revents != 0) return Wait::Interrupted;
        if (fds[0].revents != 0) return Wait::Ready;
        if (Clock::now() >= deadline) return Wait::Timeout;
    }
}

int ModbusTransport::read_some(std::uint8_t* into, std::size_t want) {
    for (;;) {
        const ssize_t n = read(fd_, into, want);
        if (n == -1 && errno == EINTR) continue;
        if (n == -1 && errno == EAGAIN) return -2;  // nothing after all; wait again
        return static_cast<int>(n);
    }
}

}  // namespace standin
