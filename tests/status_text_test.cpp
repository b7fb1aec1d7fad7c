// The status text (801) is written straight from the record. Whatever the
// record holds, it must be byte for byte what the JSON library's compact
// writer makes of the document, and once callers may have changed the
// document through its address, it must be that document's text.
#include <random>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <json/writer.h>

#include "tests/support/status_device.h"

using namespace testing_support;
using boost::posix_time::seconds;

namespace {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
std::string library_text(const Json::Value& doc) { return Json::FastWriter().write(doc); }
#pragma GCC diagnostic pop

// Bytes as a unit sends them: mostly the states and codes that have labels,
// often anything at all.
RecordImage random_record(std::mt19937& rng) {
    RecordImage image{};
    for (std::size_t i = 0; i < 110; ++i) {
        const unsigned pick = rng() % 8;
        image[i] = static_cast<std::uint8_t>(pick < 6 ? pick % 2 : pick == 6 ? rng() : 2);
    }
    for (std::size_t i = 110; i < 180; i += 2) {
        const unsigned pick = rng() % 8;
        const auto word = pick < 4 ? rng() : pick < 6 ? rng() % 12 : pick == 6 ? 0 : 0xFFFF;
        put_word(image, i, static_cast<std::uint16_t>(word));
    }
    for (std::size_t i = 180; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(rng());
    return image;
}

const Json::Value* handed_out_address(Quillark& dev) {
    const Json::Value* address = nullptr;
    int size = 0;
    EXPECT_EQ(dev.DeviceIoControl(IoGetStatusObject, nullptr, 0, &address, sizeof address, size),
              0);
    return address;
}

}  // namespace

TEST(StatusText, IsWhatTheLibraryWritesForEveryRecord) {
    std::vector<RecordImage> records{RecordImage{}, RecordImage{}};
    records[1].fill(0xFF);
    std::mt19937 rng(20241208);
    for (int i = 0; i < 10000; ++i) records.push_back(random_record(rng));

    StatusDevice d;
    boost::posix_time::ptime data_time = at(2024, 3, 5, 8, 7, 9);
    for (std::size_t i = 0; i < records.size(); ++i) {
        data_time += seconds(1);
        d.dev.plant_round(records[i], data_time);
        const std::string text = fetch_status_text(d.dev);
        ASSERT_EQ(text, library_text(d.dev.status_doc)) << "record " << i;
    }
}

TEST(StatusText, OnceTheAddressIsOutTheLiveDocumentIsWritten) {
    TestClock clock(at(2024, 3, 5, 8, 7, 9));
    StatusDevice d;
    auto* doc = const_cast<Json::Value*>(handed_out_address(d.dev));
    // A caller swaps one member for another: as many members, not the same.
    doc->removeMember("环境温度");
    (*doc)["added by a caller"] = 1;
    for (int round = 0; round < 2; ++round) {
        clock.advance(seconds(1));
        d.load(RecordImage{});
        ASSERT_EQ(handed_out_address(d.dev), doc);  // brought up to date
        EXPECT_TRUE((*doc)["环境温度"].isDouble()) << "the rebuild puts back what was taken";
        EXPECT_TRUE(doc->isMember("added by a caller")) << "and removes nothing";
        (*doc)["环境温度"] = "set by a caller";
        const std::string text = fetch_status_text(d.dev);
        EXPECT_EQ(text, library_text(*doc));
        EXPECT_NE(text.find("set by a caller"), std::string::npos);
    }
}

// A reader through the address that still holds a label when the next round
// is rendered reads the text it had, never freed storage. (The update time is
// the document's own string: a reader keeps it by copying it.)
TEST(StatusDocument, ARefreshFreesNoTextAReaderMayHold) {
    TestClock clock(at(2024, 3, 5, 8, 7, 9));
    StatusDevice d;
    RecordImage closed{};
    closed[4] = 1;
    d.load(closed);
    const Json::Value& doc = *handed_out_address(d.dev);
    const char* label = doc["滤网堵塞开关状态"].asCString();

    clock.advance(seconds(1));
    d.load(RecordImage{});
    EXPECT_EQ(handed_out_address(d.dev), &doc);
    EXPECT_EQ(doc["滤网堵塞开关状态"].asString(), "断开");
    EXPECT_EQ(doc["更新时间"].asString(), "2024-3-5 8:7:10");
    EXPECT_STREQ(label, "闭合");
}

// A Json::Value copy of the document is the caller's own: later rounds do not
// change it, and it outlives the driver (run under the address sanitizer).
TEST(StatusDocument, ACopyKeepsItsTextsAcrossRoundsAndAfterTheDriverIsGone) {
    TestClock clock(at(2024, 3, 5, 8, 7, 1));
    auto d = std::make_unique<StatusDevice>();
    d->load(RecordImage{});
    const Json::Value copy = *handed_out_address(d->dev);
    const Json::Value time_copy = copy["更新时间"];
    ASSERT_EQ(copy["更新时间"].asString(), "2024-3-5 8:7:1");
    for (int round = 0; round < 2; ++round) {
        clock.advance(seconds(1));
        d->load(RecordImage{});
    }
    EXPECT_EQ((*handed_out_address(d->dev))["更新时间"].asString(), "2024-3-5 8:7:3");
    d.reset();
    EXPECT_EQ(copy["更新时间"].asString(), "2024-3-5 8:7:1");
    EXPECT_EQ(time_copy.asString(), "2024-3-5 8:7:1");
    EXPECT_EQ(copy.size(), 144u);
    EXPECT_FALSE(Json::FastWriter().write(copy).empty());
}
