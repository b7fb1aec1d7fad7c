// The event journal on disk: what a restart reads back, a line torn by a power
// loss, and the bounds on disk and in memory.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/tools/child.h"
#include "tools/agent/events/journal.h"

using namespace tool_tests;
using quillark_agent::Event;
using quillark_agent::Journal;
using quillark_agent::JournalLimits;

namespace {

Event alarm(const char* kind, const char* unit, double time) {
    Event e;
    e.kind = kind;
    e.unit = unit;
    e.time = time;
    e.point = "alarm_high_pressure";
    e.key = "高压告警";
    e.meaning = "high pressure";
    return e;
}

std::vector<std::string> kinds(const std::vector<Event>& events) {
    std::vector<std::string> out;
    for (const Event& e : events) out.push_back(e.kind + "/" + e.unit);
    return out;
}

std::uintmax_t size_of(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uintmax_t>(st.st_size) : 0;
}

}  // namespace

TEST(EventJournal, ARestartReadsBackTheEventsAndTheOpenAlarmsSince) {
    ScratchDir dir;
    {
        Journal journal(dir.path());
        journal.append(alarm("alarm_raised", "ac01", 1000));
        journal.append(alarm("alarm_raised", "ac02", 1010));
        Event write;
        write.kind = "write";
        write.unit = "ac01";
        write.time = 1020;
        write.extra["register"] = 100;
        write.extra["value"] = 250;
        write.extra["result"] = "confirmed";
        journal.append(write);
        journal.append(alarm("alarm_cleared", "ac02", 1030));
    }
    std::vector<std::string> warnings;
    Journal journal(dir.path(), {}, [&](const std::string& w) { warnings.push_back(w); });
    EXPECT_TRUE(warnings.empty());
    const auto events = journal.since(0, 100);
    EXPECT_EQ(kinds(events), (std::vector<std::string>{"alarm_raised/ac01", "alarm_raised/ac02",
                                                       "write/ac01", "alarm_cleared/ac02"}));
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].key, "高压告警");
    EXPECT_EQ(events[2].extra["result"].asString(), "confirmed");
    EXPECT_EQ(events[2].extra["register"].asInt(), 100);
    const auto open = journal.open_alarms();
    ASSERT_EQ(open.size(), 1u) << "ac02's alarm was cleared";
    EXPECT_EQ(open.begin()->first.first, "ac01");
    EXPECT_EQ(open.begin()->second, 1000) << "the alarm keeps its first time across the restart";
    EXPECT_EQ(journal.append(alarm("alarm_cleared", "ac01", 1040)).seq, 5u) << "numbering goes on";
    EXPECT_EQ(kinds(journal.recent([](const Event& e) { return e.unit == "ac01"; }, 2)),
              (std::vector<std::string>{"alarm_cleared/ac01", "write/ac01"}));
}

TEST(EventJournal, ALineTornByAPowerLossIsSkippedAndTheNextOneStartsAfresh) {
    ScratchDir dir;
    {
        Journal journal(dir.path());
        journal.append(alarm("alarm_raised", "ac01", 1000));
    }
    {
        std::ofstream torn(dir.file("events.jsonl"), std::ios::app | std::ios::binary);
        torn << R"({"seq":2,"time":1001,"kind":"alarm_cle)";
    }
    std::vector<std::string> warnings;
    {
        Journal journal(dir.path(), {}, [&](const std::string& w) { warnings.push_back(w); });
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_NE(warnings[0].find("1 unreadable line"), std::string::npos) << warnings[0];
        EXPECT_EQ(journal.since(0, 10).size(), 1u);
        journal.append(alarm("alarm_cleared", "ac01", 1002));
    }
    warnings.clear();
    Journal journal(dir.path(), {}, [&](const std::string& w) { warnings.push_back(w); });
    EXPECT_TRUE(warnings.empty()) << "the torn line was cut off the file";
    EXPECT_EQ(kinds(journal.since(0, 10)),
              (std::vector<std::string>{"alarm_raised/ac01", "alarm_cleared/ac01"}));
    EXPECT_TRUE(journal.open_alarms().empty());
}

TEST(EventJournal, DiskAndMemoryStayWithinTheirBounds) {
    ScratchDir dir;
    JournalLimits limits;
    limits.file_bytes = 4096;
    limits.in_memory = 50;
    limits.flush_ms = 10;
    {
        Journal journal(dir.path(), limits);
        for (int i = 0; i < 1000; ++i) {
            journal.append(alarm(i % 2 ? "alarm_cleared" : "alarm_raised", "ac01", 1000 + i));
            if (i % 100 == 0) journal.flush();
        }
        EXPECT_EQ(journal.since(0, 1000).size(), 50u);
        EXPECT_EQ(journal.since(0, 1000).front().seq, 951u);
    }
    EXPECT_LE(size_of(dir.file("events.jsonl")), limits.file_bytes);
    EXPECT_LE(size_of(dir.file("events.1.jsonl")), limits.file_bytes);
    EXPECT_GT(size_of(dir.file("events.1.jsonl")), 0u) << "the file was rotated";
    Journal journal(dir.path(), limits);
    const auto events = journal.since(0, 1000);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().seq, 1000u) << "the newest event survives rotation";
    for (std::size_t i = 1; i < events.size(); ++i) EXPECT_EQ(events[i].seq, events[i - 1].seq + 1);
}
