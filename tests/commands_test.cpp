// The command interface: result query, register writes and their confirmation
// by the unit. (Signal commands and the status document: status_commands_test.)
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/command_rig.h"

using namespace testing_support;

TEST(ResultQuery, EveryCodeOutsideTheTableReadsTheOutcomeWhenFourBytesFit) {
    struct Case {
        int code;
        bool null_out;
        int out_len;
        int out_size;
    };
    const Case cases[] = {{802, false, 8, 4},     {0, false, 8, 4},       {-1, false, 8, 4},
                          {805, false, 8, 4},     {804, false, 4, 4},     {207, false, 8, 4},
                          {INT_MIN, false, 8, 4}, {INT_MAX, false, 8, 4}, {802, false, 3, 0},
                          {802, false, 0, 0},     {802, false, -1, 0},    {802, false, INT_MIN, 0},
                          {802, true, 4, 0},      {802, true, 64, 0}};
    for (const Case& c : cases) {
        Rig rig;
        rig.dev.poll_step = 30;
        unsigned char out[8];
        std::memset(out, kFill, sizeof out);
        EXPECT_EQ(rig.dev.DeviceIoControl(c.code, nullptr, 0, c.null_out ? nullptr : out, c.out_len,
                                          rig.out_size),
                  0);
        EXPECT_EQ(rig.out_size, c.out_size) << c.code << " out_len " << c.out_len;
        std::int32_t value;
        std::memcpy(&value, out, 4);
        if (c.out_size == 4) {
            EXPECT_EQ(value, -1) << "nothing was ever sent";
        }
        for (std::size_t i = static_cast<std::size_t>(c.out_size); i < sizeof out; ++i)
            EXPECT_EQ(out[i], kFill) << c.code << " out_len " << c.out_len << " byte " << i;
        EXPECT_EQ(rig.dev.poll_step, 30);
        EXPECT_TRUE(rig.host->calls().empty());
    }
}

// A control command that is accepted takes over the tag, resets the outcome,
// opens the port, and leaves the caller's out_size alone.
struct ControlCase {
    const char* name;
    int code;
    std::vector<unsigned char> in;
    int result;
};

void PrintTo(const ControlCase& c, std::ostream* os) { *os << c.name; }

class ControlPreamble : public ::testing::TestWithParam<ControlCase> {};

TEST_P(ControlPreamble, TakesOverTheTagAndResetsTheOutcome) {
    const ControlCase& c = GetParam();
    Rig rig;
    rig.dev.poll_step = 30;
    rig.dev.ctrl_result = 1;
    EXPECT_EQ(rig.command(c.code, c.in), c.result);
    EXPECT_EQ(rig.dev.poll_step, c.code);
    EXPECT_EQ(rig.dev.ctrl_result, quillark::Pending);
    EXPECT_EQ(rig.out_size, kUntouched);
    EXPECT_EQ(rig.host->names(), std::vector<std::string>{"OpenPort"});
    EXPECT_EQ(rig.result(), quillark::Pending);
}

INSTANTIATE_TEST_SUITE_P(Codes, ControlPreamble,
                         ::testing::Values(ControlCase{"write", 206, words({100, 250}), 0},
                                           ControlCase{"writes", 210, words({5, 1, 2, 3, 4}), 0},
                                           ControlCase{"signal", 310, text_bytes("{}"), 0},
                                           ControlCase{"signal_not_json", 310,
                                                       text_bytes("not json"), -1},
                                           ControlCase{"empty", 320, {}, 0}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(WriteRegister, SendsTheValueToTheAddressAndExpectsItsEcho) {
    Rig rig;
    ASSERT_EQ(rig.command(IoWriteRegister, words({100, 250})), 0);
    EXPECT_EQ(rig.dev.ctrl_expect, 250);
    ModbusRequest request;
    ASSERT_TRUE(standin::take_request(rig.dev, request));
    EXPECT_EQ(request.function, ModbusRequest::WriteRegister);
    EXPECT_EQ(request.address, 100);
    EXPECT_EQ(request.count, 1);
    EXPECT_EQ(request.values[0], 250);
}

TEST(WriteRegisters, WritesEveryWholeWordAfterTheAddress) {
    for (int in_len : {10, 11}) {
        Rig rig;
        auto in = words({40, 1, 2, 3, 4});
        in.push_back(0xFF);  // an odd last byte is not a word
        ASSERT_EQ(
            rig.dev.DeviceIoControl(IoWriteRegisters, in.data(), in_len, nullptr, 0, rig.out_size),
            0);
        EXPECT_EQ(rig.dev.ctrl_expect, 4) << in_len;
        ModbusRequest request;
        ASSERT_TRUE(standin::take_request(rig.dev, request));
        EXPECT_EQ(request.function, ModbusRequest::WriteRegisters);
        EXPECT_EQ(request.address, 40);
        ASSERT_EQ(request.count, 4);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(request.values[i], i + 1);
    }
}

TEST(WriteRegisters, OneRequestCarriesAtMost123Values) {
    std::vector<unsigned char> in(2 + 2 * 124, 0x01);
    for (int in_len : {248, 249}) {
        Rig rig;
        EXPECT_EQ(
            rig.dev.DeviceIoControl(IoWriteRegisters, in.data(), in_len, nullptr, 0, rig.out_size),
            0);
        EXPECT_EQ(rig.dev.ctrl_expect, 123);
    }
    Rig rig;
    EXPECT_EQ(rig.dev.DeviceIoControl(IoWriteRegisters, in.data(), 250, nullptr, 0, rig.out_size),
              -1);
}

// Input too short, missing or too long for the write is refused before any
// member changes or anything reaches the host or the unit.
TEST(ControlInput, RefusedBeforeAnythingChanges) {
    const auto two_words = words({100, 250});
    const std::vector<unsigned char> many(2 + 2 * 200, 0x01);
    struct Case {
        int code;
        const unsigned char* in;
        int in_len;
    };
    const Case cases[] = {
        {206, nullptr, 4},
        {206, two_words.data(), 3},
        {206, two_words.data(), 0},
        {206, two_words.data(), -1},
        {206, two_words.data(), INT_MIN},
        {210, nullptr, 10},
        {210, two_words.data(), 3},
        {210, two_words.data(), -4},
        {210, many.data(), 250},
        {210, many.data(), 402},
        {310, nullptr, 2},
        {310, nullptr, 0},
        {310, two_words.data(), -1},
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.dev.poll_step = 30;
        rig.dev.ctrl_result = 1;
        rig.dev.ctrl_expect = 77;
        EXPECT_EQ(rig.dev.DeviceIoControl(c.code, c.in, c.in_len, nullptr, 0, rig.out_size), -1)
            << c.code << " in_len " << c.in_len;
        EXPECT_EQ(rig.dev.poll_step, 30);
        EXPECT_EQ(rig.dev.ctrl_result, 1);
        EXPECT_EQ(rig.dev.ctrl_expect, 77);
        EXPECT_EQ(rig.out_size, kUntouched);
        ModbusRequest request;
        EXPECT_FALSE(standin::take_request(rig.dev, request));
        EXPECT_TRUE(rig.host->calls().empty()) << c.code << " in_len " << c.in_len;
    }
}

// A write through the stand-in master: pending until the unit answers, then
// confirmed by its echo or not confirmed when it refuses.
struct CycleCase {
    const char* name;
    int code;
    std::vector<unsigned char> in;
    bool refuse;
    std::int32_t result;
};

void PrintTo(const CycleCase& c, std::ostream* os) { *os << c.name; }

class WriteCycle : public ::testing::TestWithParam<CycleCase> {};

TEST_P(WriteCycle, OutcomeFollowsTheUnitsAnswer) {
    const CycleCase& c = GetParam();
    Rig rig;
    rig.unit.refuse_writes = c.refuse;
    ASSERT_EQ(rig.command(c.code, c.in), 0);
    EXPECT_EQ(rig.result(), quillark::Pending) << "pending until the unit answers";
    rig.pump();
    EXPECT_EQ(rig.result(), c.result);
    EXPECT_EQ(rig.host->names(), (std::vector<std::string>{"OpenPort", "Reset"}));
    if (!c.refuse) {
        EXPECT_EQ(rig.unit.holding_registers.at(100), 250);
        if (c.code == 210) {
            EXPECT_EQ(rig.unit.holding_registers.at(102), 7);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Writes, WriteCycle,
    ::testing::Values(
        CycleCase{"one_confirmed", IoWriteRegister, words({100, 250}), false, quillark::Confirmed},
        CycleCase{"one_refused", IoWriteRegister, words({100, 250}), true, quillark::NotConfirmed},
        CycleCase{"several_confirmed", IoWriteRegisters, words({100, 250, 0, 7}), false,
                  quillark::Confirmed},
        CycleCase{"several_refused", IoWriteRegisters, words({100, 250, 0, 7}), true,
                  quillark::NotConfirmed}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(WriteCycle, PollRoundStartedBeforeTheAnswerLeavesItPending) {
    Rig rig;
    ASSERT_EQ(rig.command(IoWriteRegister, words({100, 250})), 0);
    ModbusRequest write;
    ASSERT_TRUE(standin::take_request(rig.dev, write));  // on its way to the unit
    rig.dev.RefreshStatus();                             // the host starts polling meanwhile
    rig.dev.reg_buf[0] = 250;                            // the echo arrives late
    rig.dev.process_payload(SPModbus::TabRegisters, 1);
    EXPECT_EQ(rig.result(), quillark::Pending);
    EXPECT_EQ(rig.dev.poll_step, 12) << "the late echo was taken as the first poll reply";
    rig.pump();
    EXPECT_EQ(rig.result(), quillark::Pending);
    EXPECT_EQ(rig.host->count("SendSP"), 1) << "the round completed";
    EXPECT_EQ(rig.host->count("Reset"), 1) << "only the round's end, no write answer";
}
