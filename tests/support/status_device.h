// A driver attached to a recording host, fed whole records as completed
// rounds, and asked for its status document as a status request would.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include <gtest/gtest.h>
#include <json/writer.h>

#include "tests/support/fakes.h"
#include "quillark/quillark.h"

namespace testing_support {

using RecordImage = std::array<std::uint8_t, 187>;

// A JSON value with its type, for failure messages: reals in full precision.
inline std::string describe(const Json::Value& value) {
    static const char* const kTypes[] = {"null",   "int",  "uint",  "real",
                                         "string", "bool", "array", "object"};
    Json::StreamWriterBuilder compact;
    compact["indentation"] = "";
    compact["precision"] = 17;
    std::string text = Json::writeString(compact, value);
    if (text.size() > 60) text = text.substr(0, 57) + "...";
    return std::string(kTypes[value.type()]) + " " + text;
}

inline void put_word(RecordImage& image, std::size_t offset, std::uint16_t word) {
    image[offset] = static_cast<std::uint8_t>(word & 0xFF);
    image[offset + 1] = static_cast<std::uint8_t>(word >> 8);
}

// Opens the round's copy of the record to tests that must plant bytes the
// end of a round would never leave there (an all-zero time stamp).
class ProbedQuillark : public Quillark {
public:
    void plant_round(const RecordImage& image, boost::posix_time::ptime data_time) {
        std::lock_guard<std::mutex> lock(doc_mutex);
        std::memcpy(&round_record, image.data(), image.size());
        last_data_time = data_time;
        data_ready = true;
    }
};

struct StatusDevice {
    std::shared_ptr<RecordingController> host = std::make_shared<RecordingController>();
    ProbedQuillark dev;

    StatusDevice() {
        dev.Init(host, 7, Json::Value());
        host->clear();
    }

    // The image becomes the last completed round, stamped with the clock.
    void load(const RecordImage& image) {
        ::testing::internal::CaptureStdout();  // the round's diagnostic line
        EXPECT_EQ(dev.LoadFromCache(image.data(), static_cast<int>(image.size())), 1);
        ::testing::internal::GetCapturedStdout();
    }

    // What a status request sees.
    const Json::Value& status() {
        std::lock_guard<std::mutex> lock(dev.doc_mutex);
        dev.refresh_status_doc_locked();
        return dev.status_doc;
    }
};

}  // namespace testing_support
