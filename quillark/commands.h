// The driver's command interface in numbers: the command codes upper layers
// pass to DeviceIoControl, and the outcome of a register write that the
// result query reads back. These values are what callers and stored scripts
// use; they never change.
#pragma once

#include <cstdint>

// DeviceIoControl command codes; any other code is a result query.
enum EnumIoCode {
    IoWriteRegister = 206,   // word 0 address, word 1 value
    IoWriteRegisters = 210,  // word 0 start address, words 1..n values
    IoSignalCommand = 310,   // JSON text naming a signal in "signal_id"
    IoEmptyCommand = 320,
    IoGetStatusText = 801,  // the status document as compact JSON text
    IoResultQuery = 802,    // the outcome of the last write; any code not named here does the same
    IoGetStatusObject = 803,  // the address of the driver's status document
};

namespace quillark {

// Outcome of the last control command, as the result query hands it out.
enum WriteOutcome : std::int32_t {
    Pending = -1,      // no answer yet, and the value before any command
    Confirmed = 1,     // the unit echoed what was written
    NotConfirmed = 3,  // the unit refused, or its answer did not match
};

}  // namespace quillark
