// Notifications run as real commands: held back until an alarm has lasted,
// repeated while it lasts, given the event in their environment and on their
// input, and killed at their time limit without holding anything up.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/tools/child.h"
#include "tools/agent/events/notify.h"

using namespace tool_tests;
using quillark_agent::Event;
using quillark_agent::Notifier;
using quillark_agent::NotifyLimits;
using quillark_agent::NotifyRule;

namespace {

Event event(const char* kind, const char* unit = "ac01",
            const char* point = "alarm_high_pressure") {
    Event e;
    e.kind = kind;
    e.unit = unit;
    e.time = 1765200000;
    if (std::string(kind).rfind("alarm", 0) == 0) {
        e.point = point;
        e.key = "高压告警";
        e.meaning = "high pressure";
    }
    return e;
}

// A rule whose command appends one line per run to `log`: the event from the
// environment, then the JSON line from standard input.
NotifyRule logging_rule(const std::string& log, std::vector<std::string> events, double hold,
                        double repeat = 0) {
    NotifyRule rule;
    rule.events = std::move(events);
    rule.command = {
        "/bin/sh", "-c",
        "printf '%s %s %s|' \"$QUILLARK_EVENT\" \"$QUILLARK_UNIT\" \"$QUILLARK_MEANING\" >> " +
            log + "; head -n1 >> " + log};
    rule.hold_s = hold;
    rule.repeat_s = repeat;
    return rule;
}

std::size_t runs_in(const std::string& log) {
    const std::string text = exists(log) ? read_file(log) : std::string();
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

}  // namespace

TEST(Notify, PatternsAndWhatARuleSelects) {
    using quillark_agent::pattern_match;
    EXPECT_TRUE(pattern_match("ac*", "ac01"));
    EXPECT_TRUE(pattern_match("a?0*", "ac01"));
    EXPECT_TRUE(pattern_match("*", ""));
    EXPECT_FALSE(pattern_match("ac?", "ac01"));
    EXPECT_FALSE(pattern_match("*pressure", "alarm_high_pressure_switch"));
    NotifyRule rule;
    rule.events = {"alarm_raised", "unit_offline"};
    rule.units = {"hall1-*"};
    rule.points = {"*pressure"};
    EXPECT_TRUE(rule_selects(rule, event("alarm_raised", "hall1-ac01")));
    EXPECT_FALSE(rule_selects(rule, event("alarm_cleared", "hall1-ac01"))) << "kind not listed";
    EXPECT_FALSE(rule_selects(rule, event("alarm_raised", "hall2-ac01"))) << "unit not matched";
    EXPECT_FALSE(rule_selects(rule, event("alarm_raised", "hall1-ac01", "alarm_filter_clogged")));
    EXPECT_TRUE(rule_selects(rule, event("unit_offline", "hall1-ac01")))
        << "an outage has no point";
    rule.points = {"高压告警"};
    EXPECT_TRUE(rule_selects(rule, event("alarm_raised", "hall1-ac01"))) << "a point by its key";
}

TEST(Notify, HoldRepeatAndTheEventGivenToTheCommand) {
    ScratchDir dir;
    const std::string held = dir.file("held"), repeated = dir.file("repeated");
    {
        Notifier notifier({logging_rule(held, {"alarm_raised", "alarm_cleared"}, 0.6),
                           logging_rule(repeated, {"alarm_raised"}, 0, 0.25)},
                          NotifyLimits{}, nullptr);
        // Cleared within the hold: nobody is told, neither of the raise nor the clear.
        notifier.event(event("alarm_raised"));
        std::this_thread::sleep_for(milliseconds(100));
        notifier.event(event("alarm_cleared"));
        // Lasting past the hold: told once, and its clear too.
        notifier.event(event("alarm_raised", "ac02"));
        ASSERT_TRUE(wait_until([&] { return runs_in(held) == 1; }, milliseconds(10000)));
        ASSERT_TRUE(wait_until([&] { return runs_in(repeated) >= 3; }, milliseconds(10000)));
        notifier.event(event("alarm_cleared", "ac02"));
        ASSERT_TRUE(wait_until([&] { return runs_in(held) == 2; }, milliseconds(10000)));
        EXPECT_EQ(notifier.failures(), 0u);
    }
    const std::string log = read_file(held);
    EXPECT_EQ(log.find("ac01"), std::string::npos) << log;
    EXPECT_NE(log.find("alarm_raised ac02 high pressure|{"), std::string::npos) << log;
    EXPECT_NE(log.find(R"("kind":"alarm_cleared")"), std::string::npos) << log;
    EXPECT_NE(log.find(R"("key":"高压告警")"), std::string::npos) << log;
}

TEST(Notify, AHangingOrFailingCommandIsCountedAndKilledAtItsLimit) {
    ScratchDir dir;
    NotifyRule hang;
    hang.events = {"write"};
    hang.command = {"/bin/sleep", "60"};
    NotifyRule fail;
    fail.events = {"write"};
    fail.command = {"/bin/false"};
    NotifyRule missing;
    missing.events = {"write"};
    missing.command = {dir.file("no-such-command")};
    NotifyLimits limits;
    limits.time_limit_s = 0.5;
    std::vector<std::string> warnings;
    std::mutex mutex;
    Notifier notifier({hang, fail, missing, logging_rule(dir.file("log"), {"write"}, 0)}, limits,
                      [&](const std::string& w) {
                          std::lock_guard<std::mutex> lock(mutex);
                          warnings.push_back(w);
                      });
    notifier.event(event("write"));
    notifier.event(event("write"));
    ASSERT_TRUE(wait_until([&] { return notifier.failures() == 6; }, milliseconds(20000)));
    EXPECT_TRUE(wait_until([&] { return runs_in(dir.file("log")) == 2; }, milliseconds(10000)))
        << "the other rule's command ran beside the hanging ones";
    std::lock_guard<std::mutex> lock(mutex);
    std::string all;
    for (const auto& w : warnings) all += w + "\n";
    EXPECT_NE(all.find("killed after"), std::string::npos) << all;
    EXPECT_NE(all.find("exited with 1"), std::string::npos) << all;
    // A missing program: refused by posix_spawn, or (under an emulator that
    // runs the exec in the child) a child that exits with 127.
    EXPECT_TRUE(all.find("cannot run") != std::string::npos ||
                all.find("no-such-command' for write of ac01 exited with 127") != std::string::npos)
        << all;
}
