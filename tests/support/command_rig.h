// A driver with a scripted unit behind it, for the command tests: commands
// in, the result query, rounds and pumps with the driver's own lines kept
// off the test output.
#pragma once

#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "host/standin/master.h"
#include "quillark/quillark.h"
#include "tests/support/fakes.h"

namespace testing_support {

constexpr int kUntouched = 12345;  // out_size as the caller left it
constexpr unsigned char kFill = 0xA5;

inline std::vector<unsigned char> words(std::initializer_list<std::uint16_t> list) {
    std::vector<unsigned char> out(list.size() * 2);
    std::memcpy(out.data(), list.begin(), out.size());
    return out;
}

inline std::vector<unsigned char> text_bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

struct Rig {
    std::shared_ptr<RecordingController> host = std::make_shared<RecordingController>();
    ScriptedUnit unit;
    standin::Master master{unit};
    Quillark dev;
    int out_size = kUntouched;

    Rig() {
        dev.Init(host, 7, Json::Value());
        host->clear();
    }
    int command(int code, const std::vector<unsigned char>& in) {
        return dev.DeviceIoControl(code, in.data(), static_cast<int>(in.size()), nullptr, 0,
                                   out_size);
    }
    std::int32_t result() {
        std::int32_t value = 0x5A5A5A5A;
        int size = 0;
        EXPECT_EQ(dev.DeviceIoControl(IoResultQuery, nullptr, 0, &value, 4, size), 0);
        EXPECT_EQ(size, 4);
        return value;
    }
    void quietly(void (*what)(Rig&)) {
        testing::internal::CaptureStdout();
        what(*this);
        testing::internal::GetCapturedStdout();
    }
    void round() {
        quietly([](Rig& r) { r.master.run_round(r.dev); });
    }
    void pump() {
        quietly([](Rig& r) { r.master.pump(r.dev); });
    }
    // Each (no buffer?, out_len) too small or absent: refused with -1 and the
    // size `needed` told, the buffer untouched.
    void expect_refused(int code, int needed, std::initializer_list<std::pair<bool, int>> cases) {
        for (const auto& [null_out, out_len] : cases) {
            std::vector<char> out(static_cast<std::size_t>(needed) + 8, static_cast<char>(kFill));
            out_size = kUntouched;
            EXPECT_EQ(dev.DeviceIoControl(code, nullptr, 0, null_out ? nullptr : out.data(),
                                          out_len, out_size),
                      -1)
                << out_len;
            EXPECT_EQ(out_size, needed);
            for (char b : out) ASSERT_EQ(static_cast<unsigned char>(b), kFill) << out_len;
        }
    }
};

}  // namespace testing_support
