// The commands that read: signal commands answered after the preamble, and
// the status document as text (801) and as an object (803).
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/command_rig.h"

using namespace testing_support;

std::string nested(int depth) {
    // An object holding a signal name and depth - 1 levels of arrays.
    return R"({"signal_id":"x","a":)" + std::string(depth - 1, '[') + std::string(depth - 1, ']') +
           "}";
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
    EXPECT_EQ(
        rig.dev.DeviceIoControl(IoSignalCommand, c.text.data(), in_len, nullptr, 0, rig.out_size),
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
        SignalCase{"number_root", "5", -1}, SignalCase{"array_name", R"({"signal_id":[1]})", -1},
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
    EXPECT_EQ(
        rig.dev.DeviceIoControl(IoGetStatusText, nullptr, 0, out.data(), length, rig.out_size), 0);
    EXPECT_EQ(rig.out_size, length);
    EXPECT_EQ(std::string(out.data(), text.size()), text);
    EXPECT_EQ(static_cast<unsigned char>(out[text.size()]), kFill);

    rig.expect_refused(IoGetStatusText, length,
                       {{false, length - 1},
                        {false, 0},
                        {false, -1},
                        {false, INT_MIN},
                        {true, length},
                        {true, INT_MAX}});
}

TEST(StatusObject, HandsOutTheAddressOfTheDriversDocument) {
    TestClock clock(at(2024, 3, 5, 8, 7, 9));
    constexpr int kAddress = static_cast<int>(sizeof(void*));
    Rig rig;
    unsigned char out[2 * sizeof(void*)];
    std::memset(out, kFill, sizeof out);
    EXPECT_EQ(rig.dev.DeviceIoControl(IoGetStatusObject, nullptr, 0, out, kAddress, rig.out_size),
              0);
    EXPECT_EQ(rig.out_size, kAddress);
    const Json::Value* doc = nullptr;
    std::memcpy(&doc, out, sizeof doc);
    EXPECT_EQ(doc, &rig.dev.status_doc);
    EXPECT_EQ(out[kAddress], kFill);
    EXPECT_TRUE(doc->isNull()) << "no round has completed";

    rig.round();
    EXPECT_EQ(rig.dev.DeviceIoControl(IoGetStatusObject, nullptr, 0, out, sizeof out, rig.out_size),
              0);
    EXPECT_TRUE(doc->isObject()) << "the request brought the document up to date";

    rig.expect_refused(IoGetStatusObject, kAddress,
                       {{false, kAddress - 1}, {false, 0}, {false, -1}, {true, kAddress}});
}
