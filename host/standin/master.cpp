#include "host/standin/master.h"

namespace standin {

const char* to_string(Status status) {
    switch (status) {
        case Status::Answered: return "answered";
        case Status::Exception: return "exception";
        case Status::NoAnswer: return "no answer";
        case Status::LinkDown: return "link down";
        case Status::Interrupted: return "interrupted";
    }
    return "unknown";
}

Transport::~Transport() = default;

PumpResult Master::run_round(SPModbus& device) {
    device.RefreshStatus();
    return pump(device);
}

namespace {

bool is_write(const ModbusRequest& request) {
    return request.function == ModbusRequest::WriteRegister ||
           request.function == ModbusRequest::WriteRegisters;
}

SPModbus::tab_type table_of(const ModbusRequest& request) {
    switch (request.function) {
        case ModbusRequest::ReadInputBits: return SPModbus::TabInputBits;
        case ModbusRequest::ReadInputRegisters: return SPModbus::TabInputRegisters;
        default: return SPModbus::TabRegisters;
    }
}

// What the device sees when the unit refused a write: function 6 gets an echo
// unequal to every value written, function 16 gets the exception function code.
void fill_refusal(const ModbusRequest& request, std::uint16_t* words) {
    if (request.function == ModbusRequest::WriteRegister) {
        words[0] = static_cast<std::uint16_t>(~request.values[0]);
        words[1] = 0;
    } else {
        words[0] = 0x80 | ModbusRequest::WriteRegisters;
        words[1] = 0;
    }
}

}  // namespace

int command(SPModbus& device, int code, const void* in, int in_len, void* out, int out_len,
            int& out_size) {
    std::lock_guard<std::recursive_mutex> lock(delivery_mutex(device));
    return device.DeviceIoControl(code, in, in_len, out, out_len, out_size);
}

Outcome Master::execute(const ModbusRequest& request, SPModbus& device, PumpResult& result) {
    Outcome outcome = transport_.execute(request, device.bit_buf, device.reg_buf);
    for (int resent = 0; resent < retries_ && outcome.status == Status::NoAnswer &&
                         !is_write(request) && !superseded(device);
         ++resent) {
        ++result.retries;
        transport_.count_retry();
        outcome = transport_.execute(request, device.bit_buf, device.reg_buf);
    }
    return outcome;
}

PumpResult Master::pump(SPModbus& device) {
    PumpResult result;
    ModbusRequest request;
    while (result.requests < kMaxRequestsPerPump && take_request(device, request)) {
        ++result.requests;
        result.function = request.function;
        result.address = request.address;
        result.outcome = execute(request, device, result);
        std::lock_guard<std::recursive_mutex> delivery(delivery_mutex(device));
        if (superseded(device)) {
            // A newer request took this one's place while it was on the
            // line: its answer, or its failure, is no longer the device's.
            ++result.dropped;
            continue;
        }
        const bool answered = result.outcome.status == Status::Answered;
        if (!answered && is_write(request) && result.outcome.status == Status::Exception) {
            fill_refusal(request, device.reg_buf);
        } else if (!answered) {
            device.on_error();
            // The round is over: drop whatever the device might still queue.
            while (take_request(device, request)) {
            }
            return result;
        }
        device.process_payload(table_of(request), static_cast<unsigned int>(request.count));
    }
    return result;
}

}  // namespace standin
