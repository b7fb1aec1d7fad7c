#include "quillark/quillark.h"

#include <cstring>
#include <stdexcept>

#include "device/local_clock.h"

using quillark::kFirstPollStep;
using quillark::kLastPollStep;
using quillark::kPollReads;
using quillark::kReadOffsets;
using quillark::ReadKind;

Quillark::Quillark() {
    ctrl_result = quillark::Pending;
    ctrl_expect = -1;
    device_type = "quillark";
    baud_rate = 9600;
    modbus_option = true;
}

Quillark::~Quillark() = default;

int Quillark::InitSetting(const Json::Value& settings) {
    const std::uint32_t id = device_id;
    std::memcpy(&record.device_id, &id, sizeof id);
    return UniDataDevice::InitSetting(settings);
}

void Quillark::issue_read(std::size_t index) {
    const quillark::PollRead& read = kPollReads[index];
    if (read.kind == ReadKind::Bits) modbus_read_input_bits(read.address, read.count);
    else modbus_read_input_registers(read.address, read.count);
}

int Quillark::RefreshStatus() {
    TesselSPDevice::RefreshStatus();
    poll_step = kFirstPollStep;
    issue_read(0);
    return 1;
}

int Quillark::process_payload(SPModbus::tab_type, unsigned int) {
    std::int32_t step = poll_step.load(std::memory_order_acquire);
    if (step >= kFirstPollStep && step <= kLastPollStep) {
        const std::size_t index = quillark::step_index(step);
        const quillark::PollRead& read = kPollReads[index];
        const void* reply = read.kind == ReadKind::Bits ? static_cast<const void*>(bit_buf)
                                                        : static_cast<const void*>(reg_buf);
        std::memcpy(reinterpret_cast<unsigned char*>(&record) + kReadOffsets[index], reply,
                    read.width());
        if (step == kLastPollStep) {
            RoundDone();
            return 0;
        }
        // Advance only if no command took over the tag meanwhile; a command
        // abandons the round, and its write is the request in flight.
        if (poll_step.compare_exchange_strong(step, step + 1)) issue_read(index + 1);
        return 1;
    }
    if (step == IoWriteRegister || step == IoWriteRegisters) {
        const std::int32_t expect = ctrl_expect.load();
        bool confirmed;
        if (step == IoWriteRegister) confirmed = std::int32_t{reg_buf[0]} == expect;
        else confirmed = reg_buf[0] == 16 && std::int32_t{reg_buf[1]} == expect;
        ctrl_result = confirmed ? quillark::Confirmed : quillark::NotConfirmed;
        Reset();
        return 0;
    }
    return 1;
}

float Quillark::Get_Value(unsigned int, const std::string&) const {
    bool ready;
    boost::posix_time::ptime data_time;
    {
        std::lock_guard<std::mutex> lock(doc_mutex);
        ready = data_ready;
        data_time = last_data_time;
    }
    if (!ready) throw std::out_of_range("数据未就绪");
    const std::int64_t age = (device::local_now() - data_time).total_seconds();
    if (age > 60) throw std::out_of_range("数据已超时");
    throw std::out_of_range("不支持变量");
}

void Quillark::RunCheckThreshold() {
    // The unit's mode setting changes nothing here: this driver adds no
    // threshold work of its own to the end of a round.
    (void)b_mode;
}
