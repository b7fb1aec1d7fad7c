// The link's settings as the host checks and names them, and what a libmodbus
// error means for the link.
#include <cerrno>
#include <string>

#include <modbus.h>

#include "host/standin/modbus_transport.h"

namespace standin {

std::string LinkSettings::check() const {
    const bool tcp = kind == Kind::Tcp;
    if (tcp && (host.empty() || port.empty())) return "no host or port";
    if (!tcp && device.empty()) return "no serial device";
    if (tcp ? unit < 0 || unit > 255 : unit < 1 || unit > 247)
        return "unit " + std::to_string(unit) + " is outside " + (tcp ? "0..255" : "1..247");
    if (timeout_ms < 1) return "the timeout must be at least 1 ms";
    if (retries < 0) return "retries cannot be negative";
    if (tcp) return "";
    const auto rates = supported_baud_rates();
    if (std::find(rates.begin(), rates.end(), baud) == rates.end())
        return std::to_string(baud) + " baud is not a speed the serial line can be set to";
    if (std::string("NEOneo").find(parity) == std::string::npos || parity == '\0')
        return std::string("parity must be N, E or O");
    if (data_bits < 5 || data_bits > 8) return "data bits must be 5..8";
    if (stop_bits < 1 || stop_bits > 2) return "stop bits must be 1 or 2";
    if (rs485 && rts != Rts::None) return "choose either RS-485 mode or RTS toggling";
    if (rts_delay_us < -1) return "the RTS delay cannot be negative";
    return "";
}

std::string LinkSettings::describe() const {
    std::string text;
    if (kind == Kind::Tcp) {
        const bool ipv6 = host.find(':') != std::string::npos;
        text = "tcp " + (ipv6 ? "[" + host + "]" : host) + ":" + port;
    } else {
        text = "rtu " + device + " " + std::to_string(baud) + " " + std::to_string(data_bits) +
               parity + std::to_string(stop_bits);
    }
    return text + " unit " + std::to_string(unit);
}

Status status_of_error(int error_number) {
    if (error_number == ETIMEDOUT) return Status::NoAnswer;
    if (error_number > MODBUS_ENOBASE && error_number < MODBUS_ENOBASE + MODBUS_EXCEPTION_MAX)
        return Status::Exception;
    switch (error_number) {
        case EMBBADCRC:
        case EMBBADDATA:
        case EMBBADEXC:
        case EMBUNKEXC:
        case EMBMDATA:
        case EMBBADSLAVE: return Status::NoAnswer;
        default: break;
    }
    // A reset or closed connection, a vanished serial device, and anything
    // else that leaves the link in a state we cannot vouch for: reopen it.
    return Status::LinkDown;
}

}  // namespace standin
