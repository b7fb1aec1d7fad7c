// The data device template over the stand-in host: construction, settings,
// end of round and reload from the host's cache.
#include <cmath>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>

#include "tests/support/fakes.h"
#include "quillark/quillark.h"

using namespace testing_support;

namespace {

std::vector<std::uint8_t> record_bytes(const Quillark& dev) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&dev.record);
    return {p, p + sizeof dev.record};
}

struct Attached {
    std::shared_ptr<RecordingController> host = std::make_shared<RecordingController>();
    Quillark dev;
    explicit Attached(unsigned id = 7, const Json::Value& settings = Json::Value()) {
        dev.Init(host, id, settings);
        host->clear();
    }
};

}  // namespace

TEST(DataDevice, FreshDeviceIsZeroAndSendsNothing) {
    auto host = std::make_shared<RecordingController>();
    Quillark dev;
    EXPECT_EQ(record_bytes(dev), std::vector<std::uint8_t>(187, 0));
    EXPECT_EQ(dev.b_mode, 1);
    EXPECT_TRUE(dev.status_doc.isNull());
    EXPECT_TRUE(dev.doc_time.is_not_a_date_time());
    EXPECT_EQ(dev.device_type, "quillark");
    EXPECT_EQ(dev.baud_rate, 9600);
    EXPECT_TRUE(dev.modbus_option);
    EXPECT_EQ(dev.ctrl_result, quillark::Pending);
    EXPECT_EQ(dev.ctrl_expect, -1);
    dev.Init(host, 7, Json::Value());
    EXPECT_EQ(host->count("SendSP"), 0);
    EXPECT_EQ(host->count("SaveDeviceHistory"), 0);
}

TEST(DataDevice, InitSettingPutsDeviceIdFirstAndHandsWholeSettingsOn) {
    auto host = std::make_shared<RecordingController>();
    host->init_setting_answer = 42;
    Quillark dev;
    Json::Value settings;
    settings["appSetting"]["b_mode"] = "2";
    settings["port"] = "/dev/ttyS1";
    EXPECT_EQ(dev.Init(host, 7, settings), 42);
    std::vector<std::uint8_t> expected(187, 0);
    expected[0] = 7;
    EXPECT_EQ(record_bytes(dev), expected);
    EXPECT_EQ(host->last_settings, settings);
    EXPECT_EQ(dev.b_mode, 2);
}

struct ModeCase {
    const char* name;
    Json::Value settings;
    std::int32_t expected;
    friend void PrintTo(const ModeCase& c, std::ostream* os) { *os << c.name; }
};

class ModeSetting : public ::testing::TestWithParam<ModeCase> {};

TEST_P(ModeSetting, TakesTextThroughAtofAndTruncates) {
    auto host = std::make_shared<RecordingController>();
    Quillark dev;
    const Json::Value before = GetParam().settings;
    dev.Init(host, 1, GetParam().settings);
    EXPECT_EQ(dev.b_mode, GetParam().expected);
    EXPECT_EQ(host->count("InitSetting"), 1);
    EXPECT_EQ(host->last_settings, before) << "settings are read, never changed";
}

Json::Value app(const Json::Value& mode) {
    Json::Value s(Json::objectValue);
    s["appSetting"]["b_mode"] = mode;
    return s;
}

Json::Value with_app(const Json::Value& app_value) {
    Json::Value s(Json::objectValue);
    s["appSetting"] = app_value;
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ModeSetting,
    ::testing::Values(ModeCase{"text2", app("2"), 2}, ModeCase{"text2_9", app("2.9"), 2},
                      ModeCase{"minus1_5", app("-1.5"), -1}, ModeCase{"abc", app("abc"), 0},
                      ModeCase{"number3", app(3), 3}, ModeCase{"real2_9", app(2.9), 2},
                      ModeCase{"nan", app("nan"), 0}, ModeCase{"inf", app("inf"), 2147483647},
                      ModeCase{"minus_inf", app("-inf"), std::numeric_limits<std::int32_t>::min()},
                      ModeCase{"huge", app("1e12"), 2147483647},
                      ModeCase{"tiny", app("-1e12"), std::numeric_limits<std::int32_t>::min()},
                      ModeCase{"null_mode", app(Json::Value()), 1},
                      ModeCase{"array_mode", app(Json::Value(Json::arrayValue)), 1},
                      ModeCase{"object_mode", app(Json::Value(Json::objectValue)), 1},
                      ModeCase{"app_string", with_app("b_mode"), 1},
                      ModeCase{"app_array", with_app(Json::Value(Json::arrayValue)), 1},
                      ModeCase{"no_app", Json::Value(Json::objectValue), 1},
                      ModeCase{"settings_null", Json::Value(), 1},
                      ModeCase{"settings_array", Json::Value(Json::arrayValue), 1},
                      ModeCase{"settings_string", Json::Value("appSetting"), 1},
                      ModeCase{"settings_number", Json::Value(5), 1}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

TEST(DataDevice, RoundDoneRunsHostStepsInOrderAndStampsTheRecord) {
    TestClock clock(at(2024, 3, 5, 8, 7, 9));
    Attached a;
    a.dev.report_names = {"t1", "missing", "t2"};
    a.dev.report_values = {{"t1", 1.5f}, {"t2", 2.5f}};
    a.dev.rule_batch.resize(3);
    a.dev.report_flag = true;
    testing::internal::CaptureStdout();
    a.dev.RoundDone();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "rvSize is 3\n");

    EXPECT_EQ(a.host->names(),
              (std::vector<std::string>{"SendSP", "Reset", "CheckAOReport", "CheckThreshold",
                                        "CheckAOReport", "CheckThreshold", "DoBatchCheckThreshold",
                                        "SaveDeviceHistory"}));
    const auto calls = a.host->calls();
    EXPECT_EQ(calls[0].data_id, 5156);
    EXPECT_EQ(calls[0].bytes, record_bytes(a.dev));
    EXPECT_EQ(calls[2].name, "t1");
    EXPECT_FLOAT_EQ(calls[2].value, 1.5f);
    EXPECT_EQ(calls[3].name, "t1||1");
    EXPECT_EQ(calls[4].name, "t2");
    EXPECT_EQ(calls.back().bytes, record_bytes(a.dev));
    EXPECT_EQ(a.host->last_batch_size, 3u);
    EXPECT_TRUE(a.dev.rule_batch.empty());
    EXPECT_FALSE(a.dev.report_flag) << "no check said so: the flag is cleared";
    EXPECT_EQ(a.dev.report_values.count("missing"), 0u);
    EXPECT_TRUE(a.dev.data_ready);
    EXPECT_EQ(a.dev.round_state, 1);
    EXPECT_EQ(a.dev.last_data_time, at(2024, 3, 5, 8, 7, 9));

    const std::vector<std::uint8_t> stamp(calls[0].bytes.begin() + 180, calls[0].bytes.end());
    EXPECT_EQ(stamp, (std::vector<std::uint8_t>{0xE8, 0x07, 3, 5, 8, 7, 9}));
}

TEST(DataDevice, ReportFlagFollowsThisRoundsChecks) {
    struct Case {
        bool ao;
        bool batch;
        bool expected;
    };
    for (const Case c : {Case{false, false, false}, Case{true, false, true},
                         Case{false, true, true}, Case{true, true, true}}) {
        Attached a;
        a.dev.report_names = {"t1"};
        a.dev.report_values = {{"t1", 1.0f}};
        a.host->ao_report_answers["t1"] = c.ao;
        a.host->batch_answer = c.batch;
        a.dev.report_flag = !c.expected;
        testing::internal::CaptureStdout();
        a.dev.RoundDone();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "rvSize is 0\n");
        EXPECT_EQ(a.dev.report_flag, c.expected) << c.ao << c.batch;
        EXPECT_EQ(a.host->count("DoBatchCheckThreshold"), 1);
    }
}

TEST(DataDevice, CacheImageOfWrongLengthOrNoBytesIsRefused) {
    Attached a;
    std::vector<unsigned char> image(188, 0xAB);
    const auto before = record_bytes(a.dev);
    for (int length : {0, 186, 188, -1, 187}) {
        const unsigned char* bytes = length == 187 ? nullptr : image.data();
        EXPECT_EQ(a.dev.LoadFromCache(bytes, length), 0) << length;
    }
    EXPECT_EQ(a.dev.LoadFromCache(std::string(186, 'x')), 0);
    EXPECT_EQ(record_bytes(a.dev), before);
    EXPECT_FALSE(a.dev.data_ready);
    EXPECT_TRUE(a.host->calls().empty());
}

TEST(DataDevice, CacheImageIsRepublishedWithTheReloadTime) {
    TestClock clock(at(2024, 12, 31, 23, 59, 59));
    Attached a;
    std::vector<unsigned char> image(187);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i);
    testing::internal::CaptureStdout();
    EXPECT_EQ(a.dev.LoadFromCache(std::string(image.begin(), image.end())), 1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(a.host->count("SendSP"), 1);
    EXPECT_EQ(a.host->count("SaveDeviceHistory"), 1);
    auto expected = std::vector<std::uint8_t>(image.begin(), image.begin() + 180);
    for (std::uint8_t b : {0xE8, 0x07, 12, 31, 23, 59, 59}) expected.push_back(b);
    EXPECT_EQ(record_bytes(a.dev), expected);
    EXPECT_EQ(a.host->calls()[0].bytes, expected);
    EXPECT_TRUE(a.dev.data_ready);
}

TEST(HostTime, SevenBytesWithoutPadding) {
    const ttime_t t = get_ttime(at(2024, 3, 5, 8, 7, 9));
    std::uint8_t bytes[7];
    std::memcpy(bytes, &t, sizeof bytes);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + 7),
              (std::vector<std::uint8_t>{0xE8, 0x07, 3, 5, 8, 7, 9}));
}
