// The status document: when it is rebuilt, what each record byte becomes,
// which members it always has, and that a round in progress stays out of it.
#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "host/standin/master.h"
#include "tests/support/status_device.h"

using namespace testing_support;
using boost::posix_time::seconds;

namespace {

const char* const kAlerts = "AlertArray";

// Equal in type and value; reals bit for bit.
void expect_member(const Json::Value& doc, const char* key, const Json::Value& want) {
    ASSERT_TRUE(doc.isMember(key)) << key;
    EXPECT_TRUE(doc[key] == want) << key << ": expected " << describe(want) << ", got "
                                  << describe(doc[key]);
}

std::vector<std::string> changed_members(const Json::Value& before, const Json::Value& after) {
    std::vector<std::string> keys;
    for (const std::string& key : after.getMemberNames())
        if (!(before[key] == after[key]) && key != kAlerts) keys.push_back(key);
    return keys;
}

}  // namespace

TEST(StatusRefresh, NoCompletedRoundLeavesTheDocumentNull) {
    StatusDevice d;
    EXPECT_TRUE(d.status().isNull());
}

TEST(StatusRefresh, NothingNewIsShownUntilARoundCompletesInALaterSecond) {
    TestClock clock(at(2024, 3, 5, 8, 7, 9));
    StatusDevice d;
    RecordImage closed{};
    closed[4] = 1;
    d.load(closed);
    expect_member(d.status(), "滤网堵塞开关状态", "闭合");

    d.dev.record.input_bits[0] = 0;  // the polling side rewrites the record
    expect_member(d.status(), "滤网堵塞开关状态", "闭合");

    d.load(RecordImage{});  // a second round within the same second
    expect_member(d.status(), "滤网堵塞开关状态", "闭合");

    clock.advance(seconds(1));
    d.load(RecordImage{});
    expect_member(d.status(), "滤网堵塞开关状态", "断开");
}

TEST(StatusRefresh, AnEarlierDataTimeRebuildsToo) {
    TestClock clock(at(2024, 3, 5, 8, 7, 9));
    StatusDevice d;
    d.load(RecordImage{});
    expect_member(d.status(), "滤网堵塞开关状态", "断开");

    clock.set(at(2024, 3, 5, 7, 0, 0));  // the controller's clock was set back
    RecordImage closed{};
    closed[4] = 1;
    d.load(closed);
    expect_member(d.status(), "滤网堵塞开关状态", "闭合");
    expect_member(d.status(), "更新时间", "2024-3-5 7:0:0");
}

struct ValueCase {
    std::size_t offset;
    bool word;  // a 16-bit word at offset, else one byte
    std::uint16_t raw;
    const char* key;
    Json::Value expected;
    Json::Value alert = Json::Value();  // the alarm object's entry, for alarms
};

TEST(StatusValues, EdgesOfEveryKind) {
    const Json::Value on(true), off(false);
    const std::vector<ValueCase> cases = {
        // State signals: only 0 and 1 have labels.
        {4, false, 0, "滤网堵塞开关状态", "断开"},
        {4, false, 2, "滤网堵塞开关状态", "无效值"},
        {4, false, 255, "滤网堵塞开关状态", "无效值"},
        {14, false, 1, "机组运行状态", "开启"},
        {16, false, 1, "氟泵状态", "输出"},
        {17, false, 0, "系统开机", "关机"},
        {21, false, 255, "除湿状态", "无效值"},
        // Networked units: the byte itself, as a real.
        {22, false, 2, "#1组网机组通讯状态", 2.0},
        {53, false, 255, "#32组网机组通讯状态", 255.0},
        // Alarms: raised by any non-zero byte.
        {54, false, 0, "滤网堵塞告警", "正常", off},
        {54, false, 1, "滤网堵塞告警", "告警", on},
        {54, false, 2, "滤网堵塞告警", "告警", on},
        {109, false, 255, "远程温湿度通讯故障", "告警", on},
        // Scaled words: single-precision tenths of an unsigned word.
        {110, true, 0, "室内回风温度测量值", 0.0},
        {110, true, 235, "室内回风温度测量值", 23.5},
        {110, true, 231, "室内回风温度测量值", 23.100000381469727},
        {110, true, 65535, "室内回风温度测量值", static_cast<double>(6553.5f)},
        {110, true, 65486, "室内回风温度测量值",
         static_cast<double>(6548.6f)},               // -50 as the unit means it
        {178, true, 1500, "压缩机转速控制", 1500.0},  // raw: a real, never an integer
        {162, true, 0, "机组状态", "机组关闭"},
        {162, true, 1, "机组状态", "机组开机"},
        {162, true, 2, "机组状态", "机组待机"},
        {162, true, 3, "机组状态", "机组锁定"},
        {162, true, 4, "机组状态", "远程关机"},
        {162, true, 5, "机组状态", "无效值"},
        {162, true, 65535, "机组状态", "无效值"},
        {164, true, 8, "系统当前工作模式", "泵向压泵切换模式"},
        {164, true, 9, "系统当前工作模式", "无效值"},
        // The middle supply-air temperature follows the upper and lower ones.
        {114, true, 462, "中送风温度", static_cast<double>(23.1f)},  // (46.2 + 0) / 2
        {124, true, 65535, "中送风温度", static_cast<double>(3276.75f)},
    };
    TestClock clock(at(2024, 3, 5, 8, 7, 9));
    StatusDevice d;
    for (const ValueCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "offset " << c.offset << " = " << c.raw);
        RecordImage image{};
        if (c.word) put_word(image, c.offset, c.raw);
        else image[c.offset] = static_cast<std::uint8_t>(c.raw);
        clock.advance(seconds(1));
        d.load(image);
        expect_member(d.status(), c.key, c.expected);
        if (!c.alert.isNull()) expect_member(d.status()[kAlerts], c.key, c.alert);
    }
}

TEST(StatusValues, UpdateTimeHasNoLeadingZeros) {
    for (const auto& [when, text] :
         {std::pair{at(2024, 3, 5, 8, 7, 9), "2024-3-5 8:7:9"},
          std::pair{at(2024, 12, 31, 23, 59, 59), "2024-12-31 23:59:59"}}) {
        TestClock clock(when);
        StatusDevice d;
        d.load(RecordImage{});
        expect_member(d.status(), "更新时间", text);
    }
    StatusDevice d;  // no completed round leaves a zero stamp; render one anyway
    d.dev.plant_round(RecordImage{}, at(2024, 1, 1, 0, 0, 0));
    expect_member(d.status(), "更新时间", "0-0-0 0:0:0");
}

// Each byte from 4 to 179 alone: it must change exactly the members it feeds.
TEST(StatusWalk, EveryByteFeedsExactlyItsOwnMembers) {
    StatusDevice d;
    auto data_time = at(2024, 3, 5, 8, 0, 0);
    d.dev.plant_round(RecordImage{}, data_time);
    const Json::Value zero = d.status();

    std::map<std::size_t, std::string> key_of;
    std::set<std::string> fed;
    for (std::size_t offset = 4; offset < 180; ++offset) {
        SCOPED_TRACE(testing::Message() << "offset " << offset);
        RecordImage image{};
        image[offset] = 1;
        data_time += seconds(1);
        d.dev.plant_round(image, data_time);
        const Json::Value doc = d.status();

        std::vector<std::string> keys = changed_members(zero, doc);
        const bool supply_air = offset == 114 || offset == 115 || offset == 124 || offset == 125;
        const auto mean = std::find(keys.begin(), keys.end(), "中送风温度");
        ASSERT_EQ(mean != keys.end(), supply_air);
        if (supply_air) keys.erase(mean);
        ASSERT_EQ(keys.size(), 1u);
        const bool alarm = offset >= 54 && offset < 110;
        EXPECT_EQ(changed_members(zero[kAlerts], doc[kAlerts]),
                  alarm ? keys : std::vector<std::string>{});
        key_of[offset] = keys[0];
        fed.insert(keys[0]);
        if (offset >= 110 && offset % 2 == 1) {
            EXPECT_EQ(keys[0], key_of[offset - 1]) << "both bytes of a word feed one value";
        }
    }
    EXPECT_EQ(fed.size(), 18u + 32u + 56u + 35u);
    const std::map<std::size_t, std::string> edges = {
        {21, "除湿状态"},       {22, "#1组网机组通讯状态"},  {53, "#32组网机组通讯状态"},
        {54, "滤网堵塞告警"},   {109, "远程温湿度通讯故障"}, {110, "室内回风温度测量值"},
        {179, "压缩机转速控制"}};
    for (const auto& [offset, key] : edges) EXPECT_EQ(key_of[offset], key) << offset;
}

TEST(StatusMembers, SameMembersAfterEveryRenderAndAlarmsThatClear) {
    RecordImage ones;
    ones.fill(0xFF);
    RecordImage mixed{};
    for (std::size_t i = 0; i < mixed.size(); ++i) mixed[i] = static_cast<std::uint8_t>(i * 7);

    TestClock clock(at(2024, 3, 5, 8, 7, 9));
    StatusDevice d;
    std::vector<std::string> members;
    for (const RecordImage& image : {RecordImage{}, ones, mixed, RecordImage{}}) {
        clock.advance(seconds(1));
        d.load(image);
        const Json::Value& doc = d.status();
        EXPECT_EQ(doc.size(), 18u + 32u + 56u + 1u + 36u + 1u);
        ASSERT_TRUE(doc[kAlerts].isObject()) << "an object even when no alarm is raised";
        ASSERT_EQ(doc[kAlerts].size(), 56u);
        for (const std::string& key : doc[kAlerts].getMemberNames()) {
            const bool raised = doc[kAlerts][key].asBool();
            if (image == ones || image == RecordImage{}) {
                EXPECT_EQ(raised, image == ones) << key << ": raised for ff, cleared for 00";
            }
            expect_member(doc, key.c_str(), raised ? "告警" : "正常");
        }
        for (const std::string& key : doc.getMemberNames()) {
            const Json::ValueType type = doc[key].type();
            EXPECT_TRUE(type == Json::stringValue || type == Json::realValue ||
                        (key == kAlerts && type == Json::objectValue))
                << key << " is " << describe(doc[key]);
        }
        if (members.empty()) members = doc.getMemberNames();
        EXPECT_EQ(doc.getMemberNames(), members);
    }
}

TEST(StatusRound, DocumentShowsOnlyTheLastCompletedRound) {
    TestClock clock(at(2024, 3, 5, 8, 7, 9));
    StatusDevice d;
    ScriptedUnit unit;
    standin::Master master(unit);
    unit.input_bits[1] = 1;          // record offset 4
    unit.input_registers[21] = 231;  // record offset 110
    testing::internal::CaptureStdout();
    EXPECT_EQ(master.run_round(d.dev).requests, 46);

    // The unit changes; the next round stops after its 30th read, when every
    // input bit and the first registers have been rewritten.
    unit.input_bits[1] = 0;
    unit.input_bits[181] = 1;  // offset 54
    unit.input_registers[21] = 100;
    unit.requests.clear();
    unit.fail_at = 30;
    clock.advance(seconds(5));
    master.run_round(d.dev);
    ASSERT_EQ(d.dev.record.input_bits[50], 1) << "the record is half rewritten";

    const Json::Value& doc = d.status();
    expect_member(doc, "滤网堵塞开关状态", "闭合");
    expect_member(doc[kAlerts], "滤网堵塞告警", false);
    expect_member(doc, "室内回风温度测量值", 23.100000381469727);
    expect_member(doc, "更新时间", "2024-3-5 8:7:9");

    unit.fail_at = -1;
    master.run_round(d.dev);
    testing::internal::GetCapturedStdout();
    expect_member(d.status(), "滤网堵塞开关状态", "断开");
    expect_member(d.status()[kAlerts], "滤网堵塞告警", true);
    expect_member(d.status(), "室内回风温度测量值", 10.0);
    expect_member(d.status(), "更新时间", "2024-3-5 8:7:14");
}
