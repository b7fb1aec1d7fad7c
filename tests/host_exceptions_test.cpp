// The host's own operations may throw; the caller sees that, after the part
// of the preamble that ran before it, and never a -1 that hides it.
#include <cstdint>
#include <memory>
#include <stdexcept>

#include <gtest/gtest.h>

#include "tests/support/fakes.h"
#include "quillark/quillark.h"

TEST(Commands, ExceptionsOfTheHostReachTheCaller) {
    struct PortThatThrows : testing_support::RecordingController {
        int OpenPort(TesselSPDevice&) override { throw std::runtime_error("port gone"); }
    };
    constexpr int kUntouched = 12345;
    auto host = std::make_shared<PortThatThrows>();
    Quillark dev;
    dev.Init(host, 7, Json::Value());
    const std::uint16_t in[] = {100, 250};
    for (int code : {IoWriteRegister, IoWriteRegisters, IoSignalCommand, IoEmptyCommand}) {
        int out_size = kUntouched;
        EXPECT_THROW(dev.DeviceIoControl(code, in, sizeof in, nullptr, 0, out_size),
                     std::runtime_error)
            << code;
        EXPECT_EQ(dev.poll_step, code);
        EXPECT_EQ(dev.ctrl_result, quillark::Pending);
        EXPECT_EQ(out_size, kUntouched);
    }
}
