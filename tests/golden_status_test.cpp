// A complete record image against its expected status document, member by
// member, value types included.
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/writer.h>

#include "quillark/points.h"
#include "tests/support/status_device.h"

using namespace testing_support;

namespace {

// Hex bytes separated by white space; "#" starts a comment up to the line end.
bool parse_hex_image(const std::string& text, RecordImage& image, std::string& error) {
    std::istringstream lines(text);
    std::string line;
    std::size_t n = 0;
    while (std::getline(lines, line)) {
        std::istringstream tokens(line.substr(0, line.find('#')));
        std::string token;
        while (tokens >> token) {
            char* end = nullptr;
            const unsigned long byte = std::strtoul(token.c_str(), &end, 16);
            if (token.size() != 2 || *end != '\0' || byte > 0xFF) {
                error = "not a hex byte: " + token;
                return false;
            }
            if (n == image.size()) {
                error = "more than 187 bytes";
                return false;
            }
            image[n++] = static_cast<std::uint8_t>(byte);
        }
    }
    if (n != image.size()) error = "only " + std::to_string(n) + " bytes";
    return n == image.size();
}

// One line per member that differs: missing, extra, other type or other value.
void compare_objects(const std::string& where, const Json::Value& expected, const Json::Value& got,
                     std::vector<std::string>& differences) {
    for (const std::string& key : expected.getMemberNames()) {
        const std::string name = where + key;
        if (!got.isMember(key)) {
            differences.push_back(name + ": missing, expected " + describe(expected[key]));
        } else if (expected[key].isObject() && got[key].isObject()) {
            compare_objects(name + " / ", expected[key], got[key], differences);
        } else if (!(expected[key] == got[key])) {
            differences.push_back(name + ": expected " + describe(expected[key]) + ", got " +
                                  describe(got[key]));
        }
    }
    for (const std::string& key : got.getMemberNames())
        if (!expected.isMember(key))
            differences.push_back(where + key + ": not expected, got " + describe(got[key]));
}

}  // namespace

TEST(GoldenStatus, RecordImageRendersTheExpectedDocument) {
    RecordImage image{};
    std::string error;
    ASSERT_TRUE(parse_hex_image(read_file(QUILLARK_TEST_DATA "/golden_record.hex"), image, error))
        << error;
    Json::Value expected;
    Json::CharReaderBuilder reader;
    std::istringstream json(read_file(QUILLARK_TEST_DATA "/golden_status.json"));
    ASSERT_TRUE(Json::parseFromStream(reader, json, &expected, &error)) << error;
    ASSERT_TRUE(expected.isObject());

    // A reload is stamped with the current time: make it the image's own.
    const unsigned year = image[180] | (image[181] << 8);
    TestClock clock(
        at(static_cast<int>(year), image[182], image[183], image[184], image[185], image[186]));
    StatusDevice d;
    d.load(image);
    ASSERT_EQ(0, std::memcmp(&d.dev.record, image.data(), image.size()))
        << "the record must be the image, time stamp included";

    const Json::Value& doc = d.status();
    ASSERT_TRUE(doc.isObject());
    std::vector<std::string> differences;
    compare_objects("", expected, doc, differences);
    for (const std::string& difference : differences) ADD_FAILURE() << difference;
    EXPECT_EQ(expected.size(), quillark::kDocumentMembers);

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    EXPECT_EQ(fetch_status_text(d.dev), Json::FastWriter().write(doc))
        << "the status text is what the JSON library writes for the document";
#pragma GCC diagnostic pop
}
