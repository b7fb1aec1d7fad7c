#include "hostkit/simunit/unit.h"

#include <cerrno>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include <modbus.h>

namespace quillark_sim {

namespace {
int word_at(const std::uint8_t* p) { return (p[0] << 8) | p[1]; }
}  // namespace

Request parse_request(const std::uint8_t* pdu, int pdu_length) {
    Request request;
    if (pdu_length < 1) return request;
    request.function = pdu[0];
    if (pdu_length >= 3) request.address = word_at(pdu + 1);
    switch (request.function) {
        case MODBUS_FC_WRITE_SINGLE_COIL:
        case MODBUS_FC_WRITE_SINGLE_REGISTER: request.count = 1; break;
        default:
            if (pdu_length >= 5) request.count = word_at(pdu + 3);
            break;
    }
    return request;
}

Reply FaultSchedule::next(const Request& request) {
    ++requests_;
    Reply reply;
    const bool muting = plan_.mute_after >= 0 && answered_ >= plan_.mute_after &&
                        (plan_.mute_for == 0 || silenced_ < plan_.mute_for);
    if (muting) {
        ++silenced_;
        reply.kind = Reply::Silence;
        return reply;
    }
    if (plan_.drop_rate > 0 && drop_(random_)) {
        reply.kind = Reply::Silence;
        return reply;
    }
    ++answered_;
    if (plan_.delay_ms > 0 && (plan_.delay_count == 0 || answered_ <= plan_.delay_count))
        reply.delay_ms = plan_.delay_ms;
    for (int address : plan_.fail_addresses) {
        if (request.touches(address)) {
            reply.kind = Reply::Refuse;
            reply.exception_code = MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;
            break;
        }
    }
    return reply;
}

SimulatedUnit::SimulatedUnit(const Image& image, bool steady, FaultPlan faults)
    : image_(image),
      steady_(steady),
      schedule_(faults),
      raise_after_(faults.raise_after),
      raise_bit_(faults.raise_bit) {
    map_ = modbus_mapping_new_start_address(
        0, 0,                                              // no coils
        0, static_cast<unsigned>(input_bit_span()),        // input bits
        kFirstHolding, kHoldingCount,                      // holding registers
        0, static_cast<unsigned>(input_register_span()));  // input registers
    if (map_ == nullptr)
        throw std::runtime_error(std::string("register map: ") + modbus_strerror(errno));
    for (const auto& [address, value] : image_.bits) map_->tab_input_bits[address] = value;
    for (const auto& [address, value] : image_.holding)
        map_->tab_registers[address - kFirstHolding] = value;
    const auto registers = image_.registers_at(0.0);
    std::memcpy(map_->tab_input_registers, registers.data(),
                registers.size() * sizeof registers[0]);
}

SimulatedUnit::~SimulatedUnit() { modbus_mapping_free(map_); }

Reply SimulatedUnit::decide(const Request& request) {
    if (!steady_ && !image_.drifts.empty()) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        for (const Drift& d : image_.drifts) map_->tab_input_registers[d.address] = d.at(seconds);
    }
    if (raise_after_ >= 0 && schedule_.requests() >= raise_after_ && raise_bit_ >= 0 &&
        raise_bit_ < input_bit_span()) {
        map_->tab_input_bits[raise_bit_] = 1;
        raise_after_ = -1;
        std::cerr << "quillark-sim: input bit " << raise_bit_ << " raised" << std::endl;
    }
    return schedule_.next(request);
}

}  // namespace quillark_sim
