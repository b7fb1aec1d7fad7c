// The stand-in host's link to a real unit: Modbus TCP or RTU through libmodbus.
//
// One request at a time, as the master hands them over. Before each request
// the link is flushed, so an answer that arrived after its request timed out
// is never read as the answer to the next one. A lost connection or serial
// device is reopened on a later request, with growing pauses between
// attempts, so a unit that is away costs little and the host keeps running.
//
// A write is confirmed only by the unit's own answer: its echo is passed to
// the device as sent. An exception answer, or an answer that arrives garbled
// (bad CRC), leaves the write answered but unconfirmed; no answer at all
// leaves it pending.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "master.h"
#include "tessel_device.h"

struct _modbus;  // libmodbus context, kept out of this header

namespace standin {

struct TESSEL_API LinkSettings {
    enum class Kind { Tcp, Rtu };
    Kind kind = Kind::Tcp;
    // Modbus TCP
    std::string host = "127.0.0.1";
    std::string port = "502";
    // Modbus RTU
    std::string device;
    int baud = 9600;
    char parity = 'N';  // 'N', 'E' or 'O'
    int data_bits = 8;
    int stop_bits = 1;
    // Both
    int unit = 1;            // slave id, 1..247
    int timeout_ms = 1000;   // response timeout per request

    std::string describe() const;  // "tcp 127.0.0.1:502 unit 1" and the like
};

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
TESSEL_API WriteAnswer judge_write_answer(const ModbusRequest& request, int unit, bool tcp,
                                          const std::uint8_t* adu, int length);

// How a libmodbus error number counts for the host.
TESSEL_API Status status_of_error(int error_number);

class TESSEL_API ModbusTransport : public Transport {
public:
    // Pauses between attempts to reopen a lost link.
    static constexpr std::chrono::milliseconds kFirstRetry{250};
    static constexpr std::chrono::milliseconds kMaxRetry{4000};

    explicit ModbusTransport(LinkSettings settings);
    ~ModbusTransport() override;
    ModbusTransport(const ModbusTransport&) = delete;
    ModbusTransport& operator=(const ModbusTransport&) = delete;

    Outcome execute(const ModbusRequest& request, std::uint8_t* bits,
                    std::uint16_t* words) override;

    // Opens the link if it is closed and the pause after the last failed
    // attempt is over. False, with the cause in `error`, if it stays closed.
    bool open(std::string& error);
    bool is_open() const { return open_; }
    const LinkSettings& settings() const { return settings_; }
    // Addresses the next requests to another unit on the same link (several
    // units on one bus or behind one gateway). Throws std::invalid_argument.
    void set_unit(int unit);

private:
    Outcome execute_write(const ModbusRequest& request, std::uint16_t* words);
    Outcome failed(int error_number);
    void drop_link();
    void set_response_timeout(std::chrono::microseconds timeout);

    LinkSettings settings_;
    _modbus* ctx_ = nullptr;
    bool open_ = false;
    std::chrono::steady_clock::time_point next_attempt_{};
    std::chrono::milliseconds retry_pause_ = kFirstRetry;
};

}  // namespace standin
