// Shared by the transport and the byte level of its TCP and serial links.
#pragma once

#include <chrono>
#include <string>

#include "host/standin/modbus_frames.h"

namespace standin {

using Clock = std::chrono::steady_clock;

// Longest gap allowed inside one serial answer.
constexpr std::chrono::milliseconds kByteTimeout{500};
// A line that never falls silent is given up on after this long.
constexpr std::chrono::milliseconds kMaxSettle{2000};

// One attempt to receive a whole answer frame.
struct Received {
    enum Kind { Frame, Timeout, Interrupted, Garbled, Closed, Error };
    Kind kind = Timeout;
    Bytes frame;         // what arrived, whole on Frame
    std::string detail;  // what went wrong otherwise

    Received fail(Kind k, std::string why) {
        kind = k;
        detail = std::move(why);
        return *this;
    }
};

}  // namespace standin
