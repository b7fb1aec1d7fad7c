// The stand-in host's bookkeeping of the one request a device keeps in flight,
// behind the single pointer the device class holds for its host. The device's
// request primitives fill it; the master takes requests from it and asks it
// whether the answer on the line is still the device's.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "host/tessel_device.h"

// One Modbus request as the host's master sends it. A device keeps at most one
// in flight; the host executes it and hands the reply to process_payload.
struct TESSEL_API ModbusRequest {
    enum Function : std::uint8_t {
        ReadInputBits = 0x02,
        ReadInputRegisters = 0x04,
        WriteRegister = 0x06,
        WriteRegisters = 0x10,
    };
    static constexpr int kMaxWriteRegisters = SPModbus::kMaxWriteRegisters;

    Function function = ReadInputBits;
    int address = 0;
    int count = 0;  // bits or registers; 1 for a single write
    std::uint16_t values[kMaxWriteRegisters] = {};
};

struct TESSEL_API StandinQueue {
    static StandinQueue& of(SPModbus& device) { return *device.queue_; }
    static const StandinQueue& of(const SPModbus& device) { return *device.queue_; }

    // Replaces whatever request the device had queued: the newest one wins.
    void put(ModbusRequest::Function function, int address, int count,
             const unsigned short* values);
    // The master takes the request in flight, if any, to execute it; the
    // device's tag at that moment is remembered with it. The tag is read under
    // the queue's lock, so a tag set before a request was queued is seen with it.
    bool take(ModbusRequest& out, const std::atomic<std::int32_t>& tag);
    // True once the request last taken is no longer the device's request in
    // flight: another was queued since, or the tag moved on without it.
    bool superseded(const std::atomic<std::int32_t>& tag) const;

    // Held while the host hands a reply to the device, and while a command
    // is issued through the host; a command may hand over nested replies.
    std::recursive_mutex delivery;

private:
    mutable std::mutex mutex_;
    bool pending_ = false;
    ModbusRequest request_;
    std::uint64_t queued_ = 0;  // requests queued so far
    std::uint64_t taken_ = 0;   // the value of queued_ when the master last took one
    std::int32_t taken_tag_ = 0;
};

namespace standin {

// The master's side of a device's queue.
TESSEL_API bool take_request(SPModbus& device, ModbusRequest& out);
TESSEL_API bool superseded(const SPModbus& device);
inline std::recursive_mutex& delivery_mutex(SPModbus& device) {
    return StandinQueue::of(device).delivery;
}

}  // namespace standin
