// The host's Modbus master loop. A device keeps one request in flight; the
// master executes it over a transport, fills bit_buf / reg_buf and hands the
// reply to process_payload, which may queue the next request. This is a loop,
// not recursion: a 46-read round never deepens the stack.
//
// A reply judges only its own request. A request queued while another is in
// flight (a write command during a poll round) supersedes it: the older
// request's answer, if it still comes, is dropped and never reaches
// process_payload, and the newer request goes out next. The device's tag
// (poll_step) is part of this: an answer is handed over only while the tag
// is still the one the request was taken under. Commands issued through
// standin::command cannot slip in between that check and the hand-over.
//
// A read that got no usable answer (timeout, garbled) is sent again up to
// `retries` times; an exception answer is final, and a write is never sent
// twice, since the unit may have acted on it. The device sees one reply per
// request either way.
#pragma once

#include <cstdint>
#include <string>

#include "host/standin/standin_queue.h"

namespace standin {

enum class Status {
    Answered,     // a normal reply; the buffers hold it
    Exception,    // the unit answered with a Modbus exception
    NoAnswer,     // timeout, CRC or framing error: nothing usable arrived
    LinkDown,     // the connection or serial device is gone
    Interrupted,  // a stop was asked for while the request waited
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
    // Told when the master sends a request again.
    virtual void count_retry() {}
};

struct PumpResult {
    Outcome outcome;   // the last request's outcome
    int requests = 0;  // requests executed (each counted once, however often sent)
    int retries = 0;   // resends
    int dropped = 0;   // answers dropped because a newer request superseded theirs
    ModbusRequest::Function function = ModbusRequest::ReadInputBits;  // the last request's
    int address = 0;
};

// Issues a command to the device (DeviceIoControl) so that it cannot
// interleave with the master handing a reply to the same device.
TESSEL_API int command(SPModbus& device, int code, const void* in, int in_len, void* out,
                       int out_len, int& out_size);

class TESSEL_API Master {
public:
    // Bound on requests per pump, so a device that never stops asking cannot
    // hold the host's thread forever. A round needs 46.
    static constexpr int kMaxRequestsPerPump = 1000;

    explicit Master(Transport& transport, int retries = 0)
        : transport_(transport), retries_(retries < 0 ? 0 : retries) {}

    // Starts a round with RefreshStatus and executes requests until the device
    // queues no more or one fails; a failure calls on_error and ends the round.
    PumpResult run_round(SPModbus& device);

    // Executes the requests a device has queued (a register write, say).
    // A write answered with an exception is handed to the device as an answer
    // that can never confirm it; a write with no answer calls on_error.
    PumpResult pump(SPModbus& device);

private:
    Outcome execute(const ModbusRequest& request, SPModbus& device, PumpResult& result);

    Transport& transport_;
    int retries_;
};

}  // namespace standin
