// The command interface: result query, register writes and their confirmation
// by the unit, signal commands, and the status document as text and object.
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/fakes.h"
#include "host/standin/master.h"
#include "quillark/quillark.h"

using namespace testing_support;

namespace {

constexpr int kUntouched = 12345;  // out_size as the caller left it
constexpr unsigned char kFill = 0xA5;

std::vector<unsigned char> words(std::initializer_list<std::uint16_t> list) {
    std::vector<unsigned char> out(list.size() * 2);
    std::memcpy(out.data(), list.begin(), out.size());
    return out;
}

std::vector<unsigned char> text_bytes(const std::string& text) {
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
            EXPECT_EQ(dev.DeviceIoControl(code, nullptr, 0, null_out ? nullptr : out.data(), out_len,
                                          out_size),
                      -1)
                << out_len;
            EXPECT_EQ(out_size, needed);
            for (char b : out) ASSERT_EQ(static_cast<unsigned char>(b), kFill) << out_len;
        }
    }
};

}  // namespace

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
        EXPECT_EQ(rig.dev.DeviceIoControl(c.code, nullptr, 0, c.null_out ? nullptr : out,
                                          c.out_len, rig.out_size),
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

INSTANTIATE_TEST_SUITE_P(
    Codes, ControlPreamble,
    ::testing::Values(ControlCase{"write", 206, words({100, 250}), 0},
                      ControlCase{"writes", 210, words({5, 1, 2, 3, 4}), 0},
                      ControlCase{"signal", 310, text_bytes("{}"), 0},
                      ControlCase{"signal_not_json", 310, text_bytes("not json"), -1},
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
        ASSERT_EQ(rig.dev.DeviceIoControl(IoWriteRegisters,
                                          in.data(), in_len, nullptr, 0, rig.out_size), 0);
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
        EXPECT_EQ(rig.dev.DeviceIoControl(IoWriteRegisters,
                                          in.data(), in_len, nullptr, 0, rig.out_size), 0);
        EXPECT_EQ(rig.dev.ctrl_expect, 123);
    }
    Rig rig;
    EXPECT_EQ(rig.dev.DeviceIoControl(IoWriteRegisters,
                                      in.data(), 250, nullptr, 0, rig.out_size), -1);
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
        {206, nullptr, 4},      {206, two_words.data(), 3},  {206, two_words.data(), 0},
        {206, two_words.data(), -1}, {206, two_words.data(), INT_MIN}, {210, nullptr, 10},
        {210, two_words.data(), 3},  {210, two_words.data(), -4}, {210, many.data(), 250},
        {210, many.data(), 402},     {310, nullptr, 2},          {310, nullptr, 0},
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

std::string nested(int depth) {
    // An object holding a signal name and depth - 1 levels of arrays.
    return R"({"signal_id":"x","a":)" + std::string(depth - 1, '[') +
           std::string(depth - 1, ']') + "}";
}

struct SignalCase {
    const char* name;
    std::string text;
    int result;
    int in_len = -2;  // -2: the whole text
};

void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.name; }

class SignalCommand : public ::testing::TestWithParam<SignalCase> {};

TEST_P(SignalCommand, AnswersAfterThePreambleWithoutThrowing) {
    const SignalCase& c = GetParam();
    Rig rig;
    const int in_len = c.in_len == -2 ? static_cast<int>(c.text.size()) : c.in_len;
    EXPECT_EQ(rig.dev.DeviceIoControl(IoSignalCommand,
                                      c.text.data(), in_len, nullptr, 0, rig.out_size),
              c.result);
    EXPECT_EQ(rig.dev.poll_step, 310);
    EXPECT_EQ(rig.dev.ctrl_result, quillark::Pending);
    ModbusRequest request;
    EXPECT_FALSE(standin::take_request(rig.dev, request)) << "a signal command sends nothing";
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SignalCommand,
    ::testing::Values(
        SignalCase{"empty_object", "{}", 0}, SignalCase{"named", R"({"signal_id":"风机"})", 0},
        SignalCase{"number_name", R"({"signal_id":17})", 0},
        SignalCase{"bool_name", R"({"signal_id":true})", 0},
        SignalCase{"null_name", R"({"signal_id":null})", 0},
        SignalCase{"comment", "/* from the panel */ {\"signal_id\":\"x\"}", 0},
        SignalCase{"cut_by_in_len", "{}", -1, 1}, SignalCase{"empty_text", "", -1},
        SignalCase{"not_json", "not json", -1}, SignalCase{"unterminated", "{\"a\":", -1},
        SignalCase{"array_root", "[1,2]", -1}, SignalCase{"string_root", "\"x\"", -1},
        SignalCase{"number_root", "5", -1},
        SignalCase{"array_name", R"({"signal_id":[1]})", -1},
        SignalCase{"object_name", R"({"signal_id":{"a":1}})", -1},
        SignalCase{"nesting_32", nested(32), 0}, SignalCase{"nesting_33", nested(33), -1},
        SignalCase{"nesting_100000", std::string(100000, '['), -1},
        SignalCase{"brackets_in_a_string", R"({"signal_id":")" + std::string(40, '[') + "\"}", 0},
        // Comments must not hide nesting from the depth limit: the reader
        // skips them, then descends into every bracket after them.
        SignalCase{"quote_in_line_comment", "//\"\n" + nested(40), -1},
        SignalCase{"quote_in_block_comment", "/*\"*/" + nested(40), -1},
        SignalCase{"closers_in_block_comment", "/*]]]]]]]]]]*/" + nested(40), -1},
        // The reader ends at the root value and ignores what follows it.
        SignalCase{"brackets_after_the_root", "{}" + std::string(40, '['), 0},
        SignalCase{"nesting_after_the_root", nested(32) + " " + nested(40), 0}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(StatusText, NullDocumentBeforeAnyRender) {
    Rig rig;
    char out[16];
    std::memset(out, kFill, sizeof out);
    EXPECT_EQ(rig.dev.DeviceIoControl(IoGetStatusText, nullptr, 0, out, 16, rig.out_size), 0);
    EXPECT_EQ(rig.out_size, 5);
    EXPECT_EQ(std::string(out, 5), "null\n");
    EXPECT_EQ(static_cast<unsigned char>(out[5]), kFill) << "no terminator is added";
}

TEST(StatusText, CopiesExactlyWhenTheBufferFitsAndNothingOtherwise) {
    TestClock clock(at(2024, 3, 5, 8, 7, 9));
    Rig rig;
    rig.round();
    const std::string text = fetch_status_text(rig.dev);
    const int length = static_cast<int>(text.size());
    ASSERT_GE(length, 3);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\0'), std::string::npos);
    Json::Value doc;
    EXPECT_TRUE(parse_json_text(text, doc)) << text;
    EXPECT_TRUE(doc.isObject());

    std::vector<char> out(text.size() + 8, static_cast<char>(kFill));
    EXPECT_EQ(rig.dev.DeviceIoControl(IoGetStatusText,
                                      nullptr, 0, out.data(), length, rig.out_size), 0);
    EXPECT_EQ(rig.out_size, length);
    EXPECT_EQ(std::string(out.data(), text.size()), text);
    EXPECT_EQ(static_cast<unsigned char>(out[text.size()]), kFill);

    rig.expect_refused(IoGetStatusText, length,
                       {{false, length - 1}, {false, 0}, {false, -1}, {false, INT_MIN},
                        {true, length}, {true, INT_MAX}});
}

TEST(StatusObject, HandsOutTheAddressOfTheDriversDocument) {
    TestClock clock(at(2024, 3, 5, 8, 7, 9));
    constexpr int kAddress = static_cast<int>(sizeof(void*));
    Rig rig;
    unsigned char out[2 * sizeof(void*)];
    std::memset(out, kFill, sizeof out);
    EXPECT_EQ(rig.dev.DeviceIoControl(IoGetStatusObject,
                                      nullptr, 0, out, kAddress, rig.out_size), 0);
    EXPECT_EQ(rig.out_size, kAddress);
    const Json::Value* doc = nullptr;
    std::memcpy(&doc, out, sizeof doc);
    EXPECT_EQ(doc, &rig.dev.status_doc);
    EXPECT_EQ(out[kAddress], kFill);
    EXPECT_TRUE(doc->isNull()) << "no round has completed";

    rig.round();
    EXPECT_EQ(rig.dev.DeviceIoControl(IoGetStatusObject,
                                      nullptr, 0, out, sizeof out, rig.out_size), 0);
    EXPECT_TRUE(doc->isObject()) << "the request brought the document up to date";

    rig.expect_refused(IoGetStatusObject, kAddress,
                       {{false, kAddress - 1}, {false, 0}, {false, -1}, {true, kAddress}});
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
    rig.dev.RefreshStatus();                    // the host starts polling meanwhile
    rig.dev.reg_buf[0] = 250;                   // the echo arrives late
    rig.dev.process_payload(SPModbus::TabRegisters, 1);
    EXPECT_EQ(rig.result(), quillark::Pending);
    EXPECT_EQ(rig.dev.poll_step, 12) << "the late echo was taken as the first poll reply";
    rig.pump();
    EXPECT_EQ(rig.result(), quillark::Pending);
    EXPECT_EQ(rig.host->count("SendSP"), 1) << "the round completed";
    EXPECT_EQ(rig.host->count("Reset"), 1) << "only the round's end, no write answer";
}
