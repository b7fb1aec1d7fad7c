// The host's Modbus master loop. A device keeps one request in flight; the
// master executes it over a transport, fills bit_buf / reg_buf and hands the
// reply to process_payload, which may queue the next request. This is a loop,
// not recursion: a 46-read round never deepens the stack.
#pragma once

#include <cstdint>
#include <string>

#include "tessel_device.h"

namespace standin {

enum class Status {
    Answered,   // a normal reply; the buffers hold it
    Exception,  // the unit answered with a Modbus exception
    NoAnswer,   // timeout, CRC or framing error: nothing usable arrived
    LinkDown,   // the connection or serial device is gone
};

const char* to_string(Status status);

struct Outcome {
    Status status = Status::Answered;
    std::string error;  // human-readable cause when status is not Answered
};

class TESSEL_API Transport {
public:
    virtual ~Transport();
    // Executes one request. On Answered, a read fills `bits` (one byte per bit,
    // request.count of them) or `words` (request.count words); a write fills
    // `words` with the unit's echo: for function 6 the echoed value in word 0,
    // for function 16 the function code 16 in word 0 and the echoed count in word 1.
    virtual Outcome execute(const ModbusRequest& request, std::uint8_t* bits,
                            std::uint16_t* words) = 0;
};

struct PumpResult {
    Outcome outcome;   // the last request's outcome
    int requests = 0;  // requests executed
};

class TESSEL_API Master {
public:
    // Bound on requests per pump, so a device that never stops asking cannot
    // hold the host's thread forever. A round needs 46.
    static constexpr int kMaxRequestsPerPump = 1000;

    explicit Master(Transport& transport) : transport_(transport) {}

    // Starts a round with RefreshStatus and executes requests until the device
    // queues no more or one fails; a failure calls on_error and ends the round.
    PumpResult run_round(SPModbus& device);

    // Executes the requests a device has queued (a register write, say).
    // A write answered with an exception is handed to the device as an answer
    // that can never confirm it; a write with no answer calls on_error.
    PumpResult pump(SPModbus& device);

private:
    Transport& transport_;
};

}  // namespace standin
