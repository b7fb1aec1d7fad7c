// What a message on a unit's `set` topic asks for, decided without any MQTT
// library: the client and the fuzz target call the same function.
#pragma once

#include <cstdint>
#include <string>

namespace quillark_agent {

struct SetRequest {
    enum class Kind {
        Ignore,  // not a write topic below the prefix
        Clear,   // an empty retained message emptying a set topic: no write, no answer
        Refuse,  // answered with `result` on the request's own topic + "/result"
        Write,   // `value` to `reg` of `unit`
    };
    Kind kind = Kind::Ignore;
    std::string unit;
    int reg = -1;
    std::uint16_t value = 0;
    std::string result;
};

// <prefix>/<unit>/set/<register> and its payload. A register is written
// only in its one decimal form ("100", never "0100"), so a broker's access
// rules for a register's topic cannot be passed by another spelling. A
// retained message is never a write: it outlives the moment it was meant for.
SetRequest parse_set(const std::string& prefix, const std::string& topic,
                     const std::string& payload, bool retained);

// Why a write payload is refused, or "" for a plain decimal number 0..65535.
std::string check_write_value(const std::string& payload, std::uint16_t& value);

}  // namespace quillark_agent
