// A poll round through the stand-in host's master and a scripted unit.
#include <cstring>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/support/fakes.h"
#include "host/standin/master.h"
#include "quillark/quillark.h"

using namespace testing_support;

namespace {

struct Rig {
    std::shared_ptr<RecordingController> host = std::make_shared<RecordingController>();
    ScriptedUnit unit;
    standin::Master master{unit};
    Quillark dev;
    Rig() {
        dev.Init(host, 7, Json::Value());
        host->clear();
    }
    standin::PumpResult round() {
        testing::internal::CaptureStdout();
        auto r = master.run_round(dev);
        stdout_text = testing::internal::GetCapturedStdout();
        return r;
    }
    std::uint8_t at(std::size_t offset) const {
        return reinterpret_cast<const std::uint8_t*>(&dev.record)[offset];
    }
    std::string stdout_text;
};

std::string describe(const std::vector<ModbusRequest>& requests) {
    std::ostringstream out;
    for (const auto& r : requests)
        out << int(r.function) << ':' << r.address << ':' << r.count << ' ';
    return out.str();
}

}  // namespace

TEST(PollRound, IssuesTheFortySixReadsInOrder) {
    Rig rig;
    const auto result = rig.round();
    EXPECT_EQ(result.requests, 46);
    EXPECT_EQ(describe(rig.unit.requests),
              "2:1:6 2:8:2 2:16:3 2:20:1 2:61:1 2:111:1 2:120:4 2:141:32 2:181:10 2:196:17 "
              "2:241:2 2:249:2 2:280:1 2:283:2 2:296:5 2:302:1 2:304:1 2:306:1 2:308:2 2:311:1 "
              "2:317:1 2:319:1 2:321:1 2:323:1 2:328:4 2:333:1 2:353:1 2:356:1 "
              "4:21:9 4:38:3 4:61:1 4:66:1 4:91:2 4:94:1 4:111:1 4:143:1 4:151:1 4:171:6 "
              "4:195:1 4:208:1 4:260:1 4:262:1 4:616:1 4:620:1 4:626:2 4:631:1 ");
    EXPECT_EQ(rig.host->names(),
              (std::vector<std::string>{"RefreshStatus", "SendSP", "Reset", "DoBatchCheckThreshold",
                                        "SaveDeviceHistory"}));
    EXPECT_EQ(rig.stdout_text, "rvSize is 0\n");
    EXPECT_EQ(rig.dev.poll_step, 56);
}

TEST(PollRound, EveryReplyLandsAtItsRecordOffset) {
    Rig rig;
    struct Bit {
        int address;
        std::size_t offset;
    };
    // First and last bit of several reads, including single-bit ones.
    const Bit bits[] = {{1, 4},    {6, 9},    {8, 10},    {20, 15},   {61, 16},
                        {111, 17}, {123, 21}, {141, 22},  {172, 53},  {181, 54},
                        {212, 80}, {241, 81}, {323, 102}, {331, 106}, {356, 109}};
    for (const Bit& b : bits) rig.unit.input_bits[b.address] = 1;
    rig.unit.input_bits[21] = 1;  // beyond step 14's single bit: must not land anywhere
    struct Word {
        int address;
        std::size_t offset;
        std::uint16_t value;
    };
    const Word words[] = {{21, 110, 300},    {29, 126, 0xBEEF},  {38, 128, 0x0102},
                          {66, 136, 0xFFFF}, {171, 150, 235},    {195, 162, 4},
                          {208, 164, 9},     {627, 176, 0x1234}, {631, 178, 1500}};
    for (const Word& w : words) rig.unit.input_registers[w.address] = w.value;

    rig.round();
    std::vector<std::uint8_t> expected(187, 0);
    expected[0] = 7;
    for (const Bit& b : bits) expected[b.offset] = 1;
    for (const Word& w : words) {
        expected[w.offset] = static_cast<std::uint8_t>(w.value & 0xFF);
        expected[w.offset + 1] = static_cast<std::uint8_t>(w.value >> 8);
    }
    std::vector<std::uint8_t> record(187);
    std::memcpy(record.data(), &rig.dev.record, 187);
    // The time stamp is the round's; everything else must match byte for byte.
    for (std::size_t i = 0; i < 180; ++i) EXPECT_EQ(record[i], expected[i]) << "offset " << i;
    EXPECT_EQ(rig.at(110), 0x2C);
    EXPECT_EQ(rig.at(111), 0x01);

    const auto published = rig.host->calls()[1].bytes;
    EXPECT_EQ(published, record) << "the published record is the whole round";
}

TEST(PollRound, RoundCutShortPublishesNothingAndKeepsEarlierBytes) {
    Rig rig;
    rig.unit.input_bits[1] = 1;
    rig.unit.fail_at = 30;  // the third register read gets no answer
    const auto result = rig.round();
    EXPECT_EQ(result.requests, 31);
    EXPECT_EQ(result.outcome.status, standin::Status::NoAnswer);
    EXPECT_EQ(rig.stdout_text, "SPModbus get error\n");
    EXPECT_EQ(rig.host->count("SendSP"), 0);
    EXPECT_EQ(rig.host->count("SaveDeviceHistory"), 0);
    EXPECT_EQ(rig.at(4), 1);
    EXPECT_FALSE(rig.dev.data_ready);

    rig.unit.fail_at = -1;
    rig.round();
    EXPECT_EQ(rig.host->count("SendSP"), 1) << "the next round starts over and completes";
}

TEST(PollRound, RefreshStatusRestartsFromAnyStep) {
    for (std::int32_t from : {0, 11, 30, 56, 206, 210, 310, -5}) {
        Rig rig;
        rig.dev.poll_step = from;
        EXPECT_EQ(rig.dev.RefreshStatus(), 1);
        EXPECT_EQ(rig.dev.poll_step, 11);
        ModbusRequest request;
        ASSERT_TRUE(standin::take_request(rig.dev, request));
        EXPECT_EQ(request.function, ModbusRequest::ReadInputBits);
        EXPECT_EQ(request.address, 1);
        EXPECT_EQ(request.count, 6);
    }
}

TEST(PollRound, StepFiftySixAgainCopiesAgainAndEndsAgain) {
    Rig rig;
    rig.round();
    rig.dev.reg_buf[0] = 0x0A0B;
    testing::internal::CaptureStdout();
    EXPECT_EQ(rig.dev.process_payload(SPModbus::TabInputRegisters, 1), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(rig.at(178), 0x0B);
    EXPECT_EQ(rig.at(179), 0x0A);
    EXPECT_EQ(rig.host->count("SendSP"), 2);
    ModbusRequest request;
    EXPECT_FALSE(standin::take_request(rig.dev, request)) << "nothing follows the last step";
}

TEST(PollRound, UnknownTagsChangeNothing) {
    for (std::int32_t tag : {57, 310, 320, 10, 0, -1, 205, 999}) {
        Rig rig;
        std::memset(rig.dev.bit_buf, 1, 64);
        std::memset(rig.dev.reg_buf, 1, 64);
        rig.dev.poll_step = tag;
        EXPECT_EQ(rig.dev.process_payload(SPModbus::TabInputBits, 6), 1) << tag;
        EXPECT_EQ(rig.dev.poll_step, tag);
        EXPECT_EQ(rig.dev.ctrl_result, quillark::Pending);
        std::vector<std::uint8_t> expected(187, 0);
        expected[0] = 7;
        EXPECT_EQ(std::memcmp(&rig.dev.record, expected.data(), 187), 0) << tag;
        ModbusRequest request;
        EXPECT_FALSE(standin::take_request(rig.dev, request));
        EXPECT_TRUE(rig.host->calls().empty());
    }
}

struct EchoCase {
    std::int32_t tag;
    std::int32_t expect;
    std::uint16_t word0;
    std::uint16_t word1;
    std::int32_t result;
};

class WriteEcho : public ::testing::TestWithParam<EchoCase> {};

TEST_P(WriteEcho, JudgesTheUnitsAnswer) {
    const EchoCase c = GetParam();
    Rig rig;
    rig.dev.poll_step = c.tag;
    rig.dev.ctrl_expect = c.expect;
    rig.dev.reg_buf[0] = c.word0;
    rig.dev.reg_buf[1] = c.word1;
    EXPECT_EQ(rig.dev.process_payload(SPModbus::TabRegisters, 1), 0);
    EXPECT_EQ(rig.dev.ctrl_result, c.result);
    EXPECT_EQ(rig.dev.poll_step, c.tag);
    EXPECT_EQ(rig.host->names(), std::vector<std::string>{"Reset"});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriteEcho,
    ::testing::Values(EchoCase{IoWriteRegister, 250, 250, 0, quillark::Confirmed},
                      EchoCase{IoWriteRegister, 250, 251, 0, quillark::NotConfirmed},
                      EchoCase{IoWriteRegister, 65535, 65535, 0, quillark::Confirmed},
                      EchoCase{IoWriteRegister, -1, 65535, 0, quillark::NotConfirmed},
                      EchoCase{IoWriteRegisters, 4, 16, 4, quillark::Confirmed},
                      EchoCase{IoWriteRegisters, 4, 16, 5, quillark::NotConfirmed},
                      EchoCase{IoWriteRegisters, 4, 17, 4, quillark::NotConfirmed},
                      EchoCase{IoWriteRegisters, -1, 16, 65535, quillark::NotConfirmed}));

TEST(ValueQuery, AnswersOnlyWhetherDataIsMissingStaleOrFresh) {
    TestClock clock(at(2024, 3, 5, 8, 7, 9));
    Rig rig;
    auto message = [&] {
        try {
            rig.dev.Get_Value(0, "室内回风温度测量值");
        } catch (const std::out_of_range& e) {
            return std::string(e.what());
        }
        return std::string("returned a value");
    };
    EXPECT_EQ(message(), "数据未就绪");
    rig.round();
    struct Case {
        long offset_seconds;
        const char* expected;
    };
    for (const Case c :
         {Case{0, "不支持变量"}, Case{60, "不支持变量"}, Case{61, "数据已超时"},
          Case{86400, "数据已超时"}, Case{-1, "不支持变量"}, Case{-86400, "不支持变量"}}) {
        TestClock::set(at(2024, 3, 5, 8, 7, 9) + boost::posix_time::seconds(c.offset_seconds));
        EXPECT_EQ(message(), c.expected) << c.offset_seconds;
    }
}
