// Parsing of the tools' argument values. Each parser throws
// std::invalid_argument with a message that says what was expected.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace quillark_tools {

struct Endpoint {
    std::string host;
    int port = 0;
};

// "HOST:PORT", "[IPv6]:PORT", or with `default_host` set also a bare "PORT".
// Ports 1..65535; 0 too when `allow_any_port` (the system picks one).
Endpoint parse_endpoint(const std::string& text, const std::string& default_host = "",
                        bool allow_any_port = false);

// Where a Modbus TCP unit is: "HOST", "HOST:PORT", "[IPv6]" or
// "[IPv6]:PORT"; the port is Modbus TCP's own, 502, unless given.
Endpoint parse_unit_address(const std::string& text);

// A whole number in min..max, decimal ("010" is ten) or with an explicit 0x
// for hexadecimal. No sign, no spaces.
long long parse_number(const std::string& text, long long min, long long max);

// A decimal fraction such as "0.2", "5" or ".5" in min..max; no exponent, so
// no NaN, infinity or overflow gets through.
double parse_decimal(const std::string& text, double min, double max);

// The serial speeds libmodbus really sets; it silently falls back to 9600
// for any other.
const std::vector<int>& serial_speeds();
int parse_baud(const std::string& text);

// The one rule for unit ids, on every command line and in the agent's
// configuration: 1..247 on a serial line (Modbus's own addresses; 0 is the
// broadcast no unit answers), 0..255 over TCP, where a gateway may use any
// byte. "" when `id` fits, else what is wrong ("248 is no unit id on a serial
// line (1..247)").
std::string unit_id_problem(bool serial, long long id);

// A write to holding registers, sent as command 206 (one register) or 210
// (consecutive registers).
struct RegisterWrite {
    enum class Kind { Single, Multiple };
    Kind kind = Kind::Single;
    int address = 0;
    std::vector<std::uint16_t> values;
};

// "ADDR=VALUE": one holding register.
RegisterWrite parse_write(const std::string& text);

// "ADDR=V1,V2,...": consecutive holding registers from ADDR, at most
// `max_values` of them.
RegisterWrite parse_write_multi(const std::string& text, int max_values);

// A CLI11 validator from one of the parsers above: empty when the text is
// good, else the parser's message.
template <typename Parse>
auto validator(Parse parse) {
    return [parse](const std::string& text) -> std::string {
        try {
            parse(text);
            return {};
        } catch (const std::invalid_argument& e) {
            return e.what();
        }
    };
}

}  // namespace quillark_tools
