// Rounds mode: every value the unit serves is unique to its address and to
// the poll round it is served in, and the unit logs what it served, so that a
// master that takes an answer for the wrong request or the wrong round is
// caught by comparing what it published with the log.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

struct _modbus_mapping_t;

namespace quillark_sim {

// Input bit `address` in round `round`: flips from round to round, so a bit
// block never answers as it did in the round before; and bit blocks of the
// same width answer differently as far as their width allows (two 2-bit
// blocks among five must share one of four patterns).
std::uint8_t round_bit(int address, long round);
// Input register `address` in round `round`: the address in the low 10 bits,
// the round (modulo 64) in the top 6, so no two registers of a round and no
// register in two successive rounds hold the same value.
std::uint16_t round_register(int address, long round);

// Log lines, one per event, flushed at once (the unit may be killed):
//   R <round> <hex of record bytes 4..179 as the round's reads fill them>
//   W <function> <address> <value>...   a write as received
class RoundLog {
public:
    // Appends to `path`; continues the round numbers found there, so a
    // restarted unit never serves an earlier round's values again.
    explicit RoundLog(const std::string& path);
    ~RoundLog();
    RoundLog(const RoundLog&) = delete;
    RoundLog& operator=(const RoundLog&) = delete;

    // Called for every request to this unit, before it is answered. The first
    // read of a poll round starts a new round, unless it is a resend of the
    // request just before it.
    void on_request(const std::uint8_t* pdu, int pdu_length, _modbus_mapping_t* map);

    long round() const { return round_; }

private:
    void start_round(_modbus_mapping_t* map);

    std::FILE* file_ = nullptr;
    long round_ = 0;
    bool other_since_start_ = true;
};

}  // namespace quillark_sim
