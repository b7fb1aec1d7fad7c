// Generic data device: turns a fixed-size raw record, a host protocol base and
// a data id into a complete host device. It owns the record, reads the generic
// settings, and at the end of every round stamps, publishes, checks and saves
// the record. It knows nothing of the field device itself.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <mutex>
#include <string>
#include <type_traits>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/value.h>

#include "device/local_clock.h"
#include "host/tessel_device.h"

namespace device {

// "b_mode" text to the stored mode: atof, then truncation toward zero. A value
// that no 32-bit integer holds saturates; NaN gives 0.
inline std::int32_t mode_from_text(const std::string& text) {
    const double value = std::atof(text.c_str());
    if (std::isnan(value)) return 0;
    if (value >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
    if (value <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

}  // namespace device

template <typename Record, typename Base, int kDataId>
class UniDataDevice : public Base {
    static_assert(std::is_trivially_copyable<Record>::value, "the record is copied byte for byte");
    static_assert(offsetof(Record, device_id) == 0 && sizeof(Record::device_id) == 4,
                  "the record starts with the 32-bit device id");
    static_assert(sizeof(Record::time_stamp) == sizeof(ttime_t),
                  "the record carries the host's seven-byte time stamp");

public:
    static constexpr int kRecordSize = static_cast<int>(sizeof(Record));

    UniDataDevice() {
        std::memset(&record, 0, sizeof record);
        std::memset(&round_record, 0, sizeof round_record);
    }
    ~UniDataDevice() override = default;

    using Base::LoadFromCache;
    int LoadFromCache(const unsigned char* bytes, int length) override {
        if (bytes == nullptr || length != kRecordSize) return 0;
        std::memcpy(&record, bytes, sizeof record);
        {
            std::lock_guard<std::mutex> lock(doc_mutex);
            this->data_ready = true;
        }
        this->RoundDone();
        return 1;
    }

    void RoundDone() override {
        {
            // The status side reads the data time and the round's record under
            // this lock, so a document never mixes two rounds.
            std::lock_guard<std::mutex> lock(doc_mutex);
            this->data_ready = true;
            this->last_data_time = device::local_now();
            const ttime_t stamp = get_ttime(this->last_data_time);
            std::memcpy(&record.time_stamp, &stamp, sizeof stamp);
            round_record = record;
        }
        this->SendSP(kDataId, &record, kRecordSize, false);
        this->Reset();
        this->round_state = 1;
        this->report_flag = false;
        this->RunCheckThreshold();
        for (const std::string& name : this->report_names) {
            auto entry = this->report_values.find(name);
            if (entry == this->report_values.end()) continue;
            if (this->CheckAOReport(name, entry->second)) this->report_flag = true;
            this->CheckThreshold(name, "", entry->second, 1);
        }
        std::cout << "rvSize is " << this->rule_batch.size() << std::endl;
        if (this->DoBatchCheckThreshold(this->rule_batch)) this->report_flag = true;
        this->SaveDeviceHistory(&record, kRecordSize);
        this->rule_batch.clear();
    }

    int InitSetting(const Json::Value& settings) override {
        const std::uint32_t id = this->device_id;
        std::memcpy(&record.device_id, &id, sizeof id);
        // Read-only access throughout: nothing is inserted into the caller's
        // settings, and a value of the wrong JSON type reads as absent.
        if (settings.isObject()) {
            const Json::Value& app = settings["appSetting"];
            if (app.isObject()) {
                const Json::Value& mode = app["b_mode"];
                if (!mode.isNull() && !mode.isArray() && !mode.isObject())
                    b_mode = device::mode_from_text(mode.asString());
            }
        }
        return Base::InitSetting(settings);
    }

    void RunCheckThreshold() override {}

    Record record;
    std::int32_t b_mode = 1;
    boost::posix_time::ptime doc_time;
    mutable std::mutex doc_mutex;
    Json::Value status_doc;

protected:
    // The record as it stood at the end of the last completed round or reload;
    // guarded by doc_mutex. The status document is rendered from this copy.
    Record round_record;
};
