#include "hostkit/common/args.h"

#include "host/standin/modbus_transport.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <locale>
#include <sstream>

namespace quillark_tools {

namespace {

std::invalid_argument bad(const std::string& text, const std::string& expected) {
    return std::invalid_argument("'" + text + "': " + expected);
}

}  // namespace

long long parse_number(const std::string& text, long long min, long long max) {
    const std::string range =
        "expected a number " + std::to_string(min) + ".." + std::to_string(max);
    std::string digits = text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
        base = 16;
    }
    const bool all_digits =
        !digits.empty() && std::all_of(digits.begin(), digits.end(), [base](unsigned char c) {
            return base == 16 ? std::isxdigit(c) != 0 : std::isdigit(c) != 0;
        });
    if (!all_digits) throw bad(text, range);
    // Leading zeros carry no value; past 15 significant digits (hexadecimal
    // or decimal) the number is beyond any range asked for here.
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
    if (digits.size() > 15) throw bad(text, range);
    const long long value = std::stoll(digits, nullptr, base);
    if (value < min || value > max) throw bad(text, range);
    return value;
}

double parse_decimal(const std::string& text, double min, double max) {
    std::ostringstream expected;
    expected << "expected a decimal number " << min << ".." << max;
    const auto point = text.find('.');
    const std::string whole = text.substr(0, point);
    const std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
    auto digits = [](const std::string& s) {
        return std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); });
    };
    if (whole.size() + fraction.size() == 0 || whole.size() > 15 || fraction.size() > 15 ||
        !digits(whole) || !digits(fraction))
        throw bad(text, expected.str());
    std::istringstream in("0" + whole + "." + fraction + "0");
    in.imbue(std::locale::classic());
    double value = 0;
    in >> value;
    if (!in || value < min || value > max) throw bad(text, expected.str());
    return value;
}

const std::vector<int>& serial_speeds() {
    static const std::vector<int> speeds = standin::supported_baud_rates();
    return speeds;
}

int parse_baud(const std::string& text) {
    const auto& speeds = serial_speeds();
    std::string allowed;
    for (int speed : speeds) allowed += (allowed.empty() ? "" : ", ") + std::to_string(speed);
    long long value = 0;
    try {
        value = parse_number(text, 1, 4000000);
    } catch (const std::invalid_argument&) {
        throw bad(text, "expected one of " + allowed);
    }
    if (std::find(speeds.begin(), speeds.end(), value) == speeds.end())
        throw bad(text, "not a speed the serial line can be set to; one of " + allowed);
    return static_cast<int>(value);
}

Endpoint parse_endpoint(const std::string& text, const std::string& default_host,
                        bool allow_any_port) {
    const std::string expected =
        default_host.empty() ? "expected HOST:PORT" : "expected [HOST:]PORT";
    Endpoint endpoint;
    std::string port;
    if (!text.empty() && text[0] == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            throw bad(text, expected);
        endpoint.host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string::npos) {
            if (default_host.empty()) throw bad(text, expected);
            endpoint.host = default_host;
            port = text;
        } else {
            if (text.find(':') != colon)
                throw bad(text, expected + " (IPv6 addresses in brackets)");
            endpoint.host = text.substr(0, colon);
            port = text.substr(colon + 1);
        }
    }
    if (endpoint.host.empty()) throw bad(text, expected);
    try {
        endpoint.port = static_cast<int>(parse_number(port, allow_any_port ? 0 : 1, 65535));
    } catch (const std::invalid_argument&) {
        throw bad(text, expected + ", port " + (allow_any_port ? "0" : "1") + "..65535");
    }
    return endpoint;
}

Endpoint parse_unit_address(const std::string& text) {
    const bool bracketed = !text.empty() && text[0] == '[';
    const auto close = bracketed ? text.find(']') : std::string::npos;
    if (bracketed && close != std::string::npos && close + 1 == text.size())
        return parse_endpoint(text + ":502");
    if (!bracketed && !text.empty() && text.find(':') == std::string::npos)
        return parse_endpoint(text + ":502");
    return parse_endpoint(text);
}

namespace {

RegisterWrite parse_assignment(const std::string& text, const std::string& form, int max_values,
                               RegisterWrite::Kind kind) {
    const auto equals = text.find('=');
    if (equals == std::string::npos) throw bad(text, "expected " + form);
    RegisterWrite write;
    write.kind = kind;
    try {
        write.address = static_cast<int>(parse_number(text.substr(0, equals), 0, 65535));
    } catch (const std::invalid_argument&) {
        throw bad(text, "expected " + form + " with ADDR 0..65535");
    }
    const std::string list = text.substr(equals + 1);
    std::size_t start = 0;
    while (true) {
        const auto comma = list.find(',', start);
        const std::string item =
            list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        try {
            write.values.push_back(static_cast<std::uint16_t>(parse_number(item, 0, 65535)));
        } catch (const std::invalid_argument&) {
            throw bad(text, "expected " + form + " with values 0..65535");
        }
        if (static_cast<int>(write.values.size()) > max_values)
            throw bad(text, max_values == 1
                                ? "expected " + form + ", one value"
                                : "at most " + std::to_string(max_values) + " values in one write");
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (write.address + static_cast<long>(write.values.size()) > 65536)
        throw bad(text, "the registers run past address 65535");
    return write;
}

}  // namespace

RegisterWrite parse_write(const std::string& text) {
    return parse_assignment(text, "ADDR=VALUE", 1, RegisterWrite::Kind::Single);
}

RegisterWrite parse_write_multi(const std::string& text, int max_values) {
    return parse_assignment(text, "ADDR=V1,V2,...", max_values, RegisterWrite::Kind::Multiple);
}

std::string unit_id_problem(bool serial, long long id) {
    if (serial && (id < 1 || id > 247))
        return std::to_string(id) + " is no unit id on a serial line (1..247)";
    if (!serial && (id < 0 || id > 255))
        return std::to_string(id) + " is no unit id over TCP (0..255)";
    return {};
}

}  // namespace quillark_tools
