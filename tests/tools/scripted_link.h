// Link settings for the transport tests' scripted serial lines.
#pragma once

#include <string>

#include "modbus_transport.h"

namespace tool_tests {

// A serial line as the transport sees it, with a short timeout.
inline standin::LinkSettings rtu_link(const std::string& device) {
    standin::LinkSettings link;
    link.kind = standin::LinkSettings::Kind::Rtu;
    link.device = device;
    link.timeout_ms = 200;
    return link;
}

}  // namespace tool_tests
