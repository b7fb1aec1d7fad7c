// The stand-in host's link to a real unit: Modbus TCP or RTU.
//
// One request at a time, as the master hands them over, framed and checked
// here rather than in libmodbus: libmodbus 3.1.6 takes a TCP read answer from
// any unit id, sends raw requests with transaction id 0, and restarts its
// wait after a signal. TCP requests carry our own incrementing transaction
// id; an answer counts only if its transaction, protocol id, length, unit id,
// function code and byte count all fit the request (for RTU, its CRC too).
// An answer to an earlier transaction is read and dropped. libmodbus opens
// and configures the serial line (speed, parity, RS-485, RTS toggling) and
// sends RTU requests, so its RTS handling applies; TCP connections are ours.
//
// On RTU nothing tells a late answer from the current one, so after a
// timeout or a garbled answer the line is drained until it has been silent
// for the settling time, kSettle (100 ms) plus the frame gap (3.5 character
// times at the line's speed, at least 1.75 ms), and at most kMaxSettle (2 s). Why that suffices: an
// answer the unit had begun is sent without gaps longer than 3.5 characters,
// so it ends inside the drain; a unit that starts an answer only after being
// silent for its whole response timeout plus 100 ms is one that was away,
// and for that case see the next paragraph. A dead unit costs one response
// timeout plus one settling time per attempt.
//
// Even on a healthy line an answer counts only once the frame gap has passed
// in silence after it, as Modbus RTU ends a frame: an answer with another
// close behind it (a duplicate, or a late answer and ours) is not trusted.
// Bytes found on the line before a request is sent are dropped and make the
// line suspect. This costs one frame gap per request.
//
// A unit or adapter that was away may still hold requests and answer them
// all in a burst when it comes back. So while the line is suspect (after a
// timeout, a garbled or foreign answer, a resend, bytes nobody asked for, or
// opening the line) an answer counts only if the line then stays silent for
// the settling time: the last answer of a burst is the one to the latest
// request. This costs one settling time after trouble.
//
// Every wait (connect, answer, settling) also watches the Wakeup set with
// set_wakeup(); a notify ends it within milliseconds, and the request fails
// with Status::Interrupted.
//
// A lost connection or serial device is reopened on a later request, with
// growing pauses between attempts, so a unit that is away costs little. The
// pauses count failures, not opens: a connection lost before any answer came
// over it (a gateway that accepts and hangs up at once) counts as a failed
// attempt, and the pauses start again from the shortest only once the unit
// has answered over the new connection. A link lost after it worked is
// reopened with the very next request.
//
// A write is confirmed only by the unit's own answer: its echo is passed to
// the device as sent. An exception answer, or an answer that arrives garbled
// (bad CRC), leaves the write answered but unconfirmed; no answer at all
// leaves it pending.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/standin/master.h"
#include "host/standin/modbus_frames.h"
#include "host/tessel_device.h"
#include "host/standin/wakeup.h"

struct _modbus;  // libmodbus context, kept out of this header

namespace standin {
struct Received;
}

namespace standin {

struct TESSEL_API LinkSettings {
    enum class Kind { Tcp, Rtu };
    Kind kind = Kind::Tcp;
    // Modbus TCP
    std::string host = "127.0.0.1";
    std::string port = "502";
    // Modbus RTU
    std::string device;
    int baud = 9600;    // one of supported_baud_rates()
    char parity = 'N';  // 'N', 'E' or 'O', either case
    int data_bits = 8;
    int stop_bits = 1;
    bool rs485 = false;  // the kernel's RS-485 mode (TIOCSRS485)
    enum class Rts { None, Up, Down };
    Rts rts = Rts::None;    // libmodbus's own RTS toggling, level while sending
    int rts_delay_us = -1;  // -1: libmodbus's default
    // Both
    int unit = 1;           // 0..255 over TCP, 1..247 over RTU
    int timeout_ms = 1000;  // response timeout per request
    int retries = 1;        // for the master: resends of a read that got no usable answer

    std::string describe() const;  // "tcp 127.0.0.1:502 unit 1" and the like
    // Empty when the settings can be used, else what is wrong with them.
    std::string check() const;
};

// The serial speeds libmodbus 3.1.6 really sets; it silently uses 9600 for
// any other.
TESSEL_API std::vector<int> supported_baud_rates();

// What the link has done since it was made.
struct TESSEL_API LinkStats {
    long requests = 0;      // frames sent, resends included
    long retries = 0;       // resends by the master
    long timeouts = 0;      // requests that got no answer in time
    long reconnects = 0;    // successful reopenings after the link was lost
    long failed_opens = 0;  // attempts to open the link that failed
};

// Called with every frame sent (sent = true) or received, whole ADU.
using FrameTrace = std::function<void(bool sent, const std::uint8_t* adu, std::size_t length)>;

// How a libmodbus error number counts for the host.
TESSEL_API Status status_of_error(int error_number);

class TESSEL_API ModbusTransport : public Transport {
public:
    // Pauses between attempts to reopen a lost link.
    static constexpr std::chrono::milliseconds kFirstRetry{250};
    static constexpr std::chrono::milliseconds kMaxRetry{4000};

    // Extra quiet time after a timeout or garbled answer on a serial line.
    static constexpr std::chrono::milliseconds kSettle{100};

    // Throws std::invalid_argument if settings.check() finds a fault.
    explicit ModbusTransport(LinkSettings settings);
    ~ModbusTransport() override;
    ModbusTransport(const ModbusTransport&) = delete;
    ModbusTransport& operator=(const ModbusTransport&) = delete;

    Outcome execute(const ModbusRequest& request, std::uint8_t* bits,
                    std::uint16_t* words) override;
    // Passes a request PDU, as a gateway's client sent it, to the unit now
    // addressed (set_unit), with the same checks, timeout, wake-up and link
    // handling as execute(), and never sent twice. On Answered or Exception
    // `answer` holds the unit's answer PDU verbatim; otherwise it is empty.
    // See modbus_relay.h for what may pass.
    Outcome relay(const Bytes& pdu, Bytes& answer);

    // Opens the link if it is closed and the pause after the last failed
    // attempt is over. False, with the cause in `error`, if it stays closed.
    bool open(std::string& error);
    bool is_open() const { return open_; }
    const LinkSettings& settings() const { return settings_; }
    // Addresses the next requests to another unit on the same link (several
    // units on one bus or behind one gateway). Throws std::invalid_argument.
    void set_unit(int unit);
    const LinkStats& stats() const { return stats_; }
    void count_retry() override {
        ++stats_.retries;
        suspect_ = true;
    }

    // The wake-up that ends a wait early; null for none. Not owned.
    void set_wakeup(const Wakeup* wakeup) { wakeup_ = wakeup; }
    void set_trace(FrameTrace trace) { trace_ = std::move(trace); }

private:
    enum class Wait { Ready, Timeout, Interrupted, Failed };

    bool open_tcp(std::string& error);
    bool open_rtu(std::string& error);
    bool send(const Bytes& adu, std::string& error);
    bool send_tcp(const Bytes& adu, std::string& error);
    bool send_rtu(const Bytes& adu, std::string& error);
    Wait wait_readable(std::chrono::steady_clock::time_point deadline) const;
    Received receive(std::chrono::steady_clock::time_point deadline);
    Received receive_tcp(std::chrono::steady_clock::time_point deadline);
    Received receive_rtu(std::chrono::steady_clock::time_point deadline);
    Outcome await_read(const ModbusRequest& request, std::uint8_t* bits, std::uint16_t* words);
    Outcome await_write(const ModbusRequest& request, std::uint16_t* words);
    int read_some(std::uint8_t* into, std::size_t want);
    void discard_buffered();
    std::chrono::microseconds frame_gap() const;  // the serial line's 3.5 characters
    bool settle();                                // true if anything arrived meanwhile
    bool answer_stands();
    Outcome failed(const Received& received);
    void drop_link();

    LinkSettings settings_;
    _modbus* ctx_ = nullptr;  // the serial line's context; TCP needs none
    int fd_ = -1;
    bool open_ = false;
    bool ever_open_ = false;
    bool suspect_ = false;  // a serial line that may still carry earlier answers
    std::uint16_t transaction_ = 0;
    // TCP: bytes read from the stream and not yet taken as a frame; they
    // always start at a frame's first byte.
    std::uint8_t inbox_[kMaxAdu];
    std::size_t inbox_size_ = 0;
    LinkStats stats_;
    const Wakeup* wakeup_ = nullptr;
    FrameTrace trace_;
    std::chrono::steady_clock::time_point next_attempt_{};
    std::chrono::milliseconds retry_pause_ = kFirstRetry;
    bool answered_ = false;  // the unit has answered over the connection now open
};

}  // namespace standin
