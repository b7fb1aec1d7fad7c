// Receiving Modbus TCP answers. The stream is read in as large pieces as it
// offers, so a whole answer, header and data, usually takes one wait and one
// read. Bytes beyond the answer just taken (a late duplicate, say) wait in the
// inbox for the next receive, where they are judged like any other frame: by
// transaction, unit, function and byte count.
#include <cerrno>
#include <cstring>

#include "modbus_transport.h"
#include "modbus_transport_internal.h"

namespace standin {

using Clock = std::chrono::steady_clock;

Received ModbusTransport::receive_tcp(Clock::time_point deadline) {
    Received got;
    for (;;) {
        if (inbox_size_ >= kTcpHeader) {
            const std::uint8_t* h = inbox_;
            const std::size_t length = static_cast<std::size_t>((h[4] << 8) | h[5]);
            if (h[2] != 0 || h[3] != 0 || length < 2 || length > kMaxAdu - 6) {
                // Out of step: nothing buffered can be framed again.
                got.frame.assign(inbox_, inbox_ + inbox_size_);
                inbox_size_ = 0;
                return got.fail(Received::Garbled, "not a Modbus TCP answer");
            }
            const std::size_t size = 6 + length;
            if (inbox_size_ >= size) {
                got.frame.assign(inbox_, inbox_ + size);
                inbox_size_ -= size;
                std::memmove(inbox_, inbox_ + size, inbox_size_);
                if (trace_) trace_(false, got.frame.data(), got.frame.size());
                got.kind = Received::Frame;
                return got;
            }
        }
        const Wait wait = wait_readable(deadline);
        const int error_number = errno;
        if (wait != Wait::Ready) {
            // What is buffered is part of a frame still on its way; the
            // failure carries it, so the stream is not trusted to be in step.
            got.frame.assign(inbox_, inbox_ + inbox_size_);
            switch (wait) {
                case Wait::Timeout:
                    if (inbox_size_ == 0) return got.fail(Received::Timeout, "");
                    inbox_size_ = 0;
                    return got.fail(Received::Garbled, "answer cut short");
                case Wait::Interrupted: return got.fail(Received::Interrupted, "interrupted");
                case Wait::Ready:
                case Wait::Failed: break;
            }
            return got.fail(Received::Error, std::strerror(error_number));
        }
        // The inbox starts with the frame being received, at most kMaxAdu
        // long, so there is room for the rest of it.
        const int n = read_some(inbox_ + inbox_size_, sizeof inbox_ - inbox_size_);
        if (n == -2) continue;
        if (n == 0) return got.fail(Received::Closed, "connection closed by the unit");
        if (n < 0) return got.fail(Received::Error, std::strerror(errno));
        inbox_size_ += static_cast<std::size_t>(n);
    }
}

}  // namespace standin
