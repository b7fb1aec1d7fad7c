#include "hostkit/simunit/round_log.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <modbus.h>

#include "quillark/record.h"

namespace quillark_sim {

namespace {

int word_at(const std::uint8_t* p) { return (p[0] << 8) | p[1]; }

long last_round_in(const std::string& path) {
    std::ifstream in(path);
    long last = 0;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string tag;
        long round = 0;
        if (fields >> tag >> round && tag == "R" && round > last) last = round;
    }
    return last;
}

}  // namespace

std::uint8_t round_bit(int address, long round) {
    // ((address * 9) >> 4) & 1 gives the poll round's bit blocks of one size
    // as many different patterns as their width allows (checked by a test);
    // the round's parity flips every bit from one round to the next.
    return static_cast<std::uint8_t>((((address * 9) >> 4) ^ round) & 1);
}

std::uint16_t round_register(int address, long round) {
    return static_cast<std::uint16_t>(((round & 63) << 10) | (address & 0x3FF));
}

RoundLog::RoundLog(const std::string& path) : round_(last_round_in(path)) {
    file_ = std::fopen(path.c_str(), "a");
    if (file_ == nullptr)
        throw std::runtime_error("--round-log: cannot open " + path + ": " + std::strerror(errno));
}

RoundLog::~RoundLog() { std::fclose(file_); }

void RoundLog::start_round(_modbus_mapping_t* map) {
    ++round_;
    std::string hex;
    static const char kDigits[] = "0123456789abcdef";
    auto put = [&hex](std::uint8_t byte) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    };
    for (const quillark::PollRead& read : quillark::kPollReads) {
        for (int a = read.address; a < read.address + read.count; ++a) {
            if (read.kind == quillark::ReadKind::Bits) {
                map->tab_input_bits[a] = round_bit(a, round_);
                put(map->tab_input_bits[a]);
            } else {
                map->tab_input_registers[a] = round_register(a, round_);
                put(static_cast<std::uint8_t>(map->tab_input_registers[a] & 0xFF));
                put(static_cast<std::uint8_t>(map->tab_input_registers[a] >> 8));
            }
        }
    }
    std::fprintf(file_, "R %ld %s\n", round_, hex.c_str());
    std::fflush(file_);
}

void RoundLog::on_request(const std::uint8_t* pdu, int pdu_length, _modbus_mapping_t* map) {
    if (pdu_length < 5) return;
    const int function = pdu[0];
    const int address = word_at(pdu + 1);
    const quillark::PollRead& first = quillark::kPollReads.front();
    if (function == MODBUS_FC_READ_DISCRETE_INPUTS && address == first.address &&
        word_at(pdu + 3) == first.count) {
        if (other_since_start_) start_round(map);
        other_since_start_ = false;
        return;
    }
    other_since_start_ = true;
    std::vector<int> values;
    if (function == MODBUS_FC_WRITE_SINGLE_REGISTER) {
        values.push_back(word_at(pdu + 3));
    } else if (function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS && pdu_length >= 6) {
        const int count = word_at(pdu + 3);
        if (pdu_length < 6 + 2 * count) return;
        for (int i = 0; i < count; ++i) values.push_back(word_at(pdu + 6 + 2 * i));
    } else {
        return;
    }
    std::fprintf(file_, "W %d %d", function, address);
    for (int v : values) std::fprintf(file_, " %d", v);
    std::fprintf(file_, "\n");
    std::fflush(file_);
}

}  // namespace quillark_sim
