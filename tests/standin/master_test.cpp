// The stand-in host's master: a reply reaches the driver only for the request
// it answers, and resends of reads that got no usable answer.
#include <gtest/gtest.h>

#include "tests/support/fakes.h"
#include "host/standin/master.h"
#include "quillark/quillark.h"

using namespace testing_support;
using standin::Status;

namespace {

constexpr std::uint16_t kValue = 250;

// A unit whose register reads all answer kValue, and which receives a write
// command from another host thread while the first register read is on the
// line, as a user's command can arrive at any time.
class CommandDuringRead : public standin::Transport {
public:
    explicit CommandDuringRead(Quillark& dev) : dev_(dev) {
        for (int address = 0; address < 1000; ++address) unit.input_registers[address] = kValue;
    }
    standin::Outcome execute(const ModbusRequest& request, std::uint8_t* bits,
                             std::uint16_t* words) override {
        if (request.function == ModbusRequest::WriteRegister) result_when_sent = dev_.ctrl_result;
        const standin::Outcome outcome = unit.execute(request, bits, words);
        if (request.function == ModbusRequest::ReadInputRegisters && !commanded_) {
            commanded_ = true;
            const std::uint16_t in[] = {100, kValue};
            int unused = 0;
            standin::command(dev_, IoWriteRegister, in, sizeof in, nullptr, 0, unused);
        }
        return outcome;
    }

    ScriptedUnit unit;
    std::int32_t result_when_sent = 0;

private:
    Quillark& dev_;
    bool commanded_ = false;
};

}  // namespace

// The read's answer holds the very value the write sets: judged under the
// write's tag it would confirm a write that was refused, or never sent.
TEST(Master, ReadAnswerIsNotJudgedAsTheWriteThatSupersededIt) {
    for (const bool refused : {false, true}) {
        SCOPED_TRACE(refused ? "write refused" : "write echoed");
        auto host = std::make_shared<RecordingController>();
        Quillark dev;
        dev.Init(host, 7, Json::Value());
        CommandDuringRead line(dev);
        line.unit.refuse_writes = refused;
        standin::Master master(line);
        testing::internal::CaptureStdout();
        const standin::PumpResult result = master.run_round(dev);
        testing::internal::GetCapturedStdout();

        EXPECT_EQ(line.result_when_sent, -1);  // still pending when the write went out
        ASSERT_FALSE(line.unit.requests.empty());
        EXPECT_EQ(line.unit.requests.back().function, ModbusRequest::WriteRegister);
        EXPECT_EQ(dev.ctrl_result, refused ? 3 : 1);
        EXPECT_EQ(result.dropped, 1);
        EXPECT_EQ(host->count("SendSP"), 0);  // the round was abandoned, not published
    }
}

TEST(Master, ResendsOnlyReadsThatGotNoUsableAnswer) {
    struct Case {
        const char* name;
        bool write;
        Status failure;
        int retries;
        int sent;        // requests the unit saw
        bool completes;  // the round, or the write confirmed
    };
    const Case cases[] = {
        {"lost answer, no retries", false, Status::NoAnswer, 0, 6, false},
        {"lost answer, one retry", false, Status::NoAnswer, 1, 47, true},
        {"refused read", false, Status::Exception, 3, 6, false},
        {"link down", false, Status::LinkDown, 3, 6, false},
        {"write without answer", true, Status::NoAnswer, 3, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto host = std::make_shared<RecordingController>();
        Quillark dev;
        dev.Init(host, 7, Json::Value());
        ScriptedUnit unit;
        unit.fail_at = c.write ? 0 : 5;
        unit.failure = c.failure;
        standin::Master master(unit, c.retries);
        testing::internal::CaptureStdout();
        standin::PumpResult result;
        if (c.write) {
            const std::uint16_t in[] = {100, kValue};
            int unused = 0;
            standin::command(dev, IoWriteRegister, in, sizeof in, nullptr, 0, unused);
            result = master.pump(dev);
        } else {
            result = master.run_round(dev);
        }
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(static_cast<int>(unit.requests.size()), c.sent);
        EXPECT_EQ(result.retries, c.sent == 47 ? 1 : 0);
        if (c.write) EXPECT_EQ(dev.ctrl_result, -1);
        else EXPECT_EQ(host->count("SendSP"), c.completes ? 1 : 0);
    }
}
