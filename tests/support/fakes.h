// Test doubles for the host side: a controller that records every call, a
// scripted unit behind the master's transport, and a settable clock.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/value.h>

#include "device/local_clock.h"
#include "host/standin/master.h"
#include "host/tessel_controller.h"

namespace testing_support {

struct HostCall {
    std::string what;                 // "SendSP", "Reset", "CheckAOReport", ...
    std::string name;                 // signal name for checks
    std::vector<std::uint8_t> bytes;  // published or saved bytes
    int data_id = 0;
    float value = 0.0f;
};

class RecordingController : public TesselController {
public:
    int SendSP(TesselVDevice&, int data_id, const void* data, int length, bool delayed) override;
    void SaveDeviceHistory(TesselVDevice&, const void* data, int length) override;
    bool CheckAOReport(TesselVDevice&, const std::string& name, float value) override;
    void CheckThreshold(TesselVDevice&, const std::string& name, const std::string& extra,
                        float& value, int level) override;
    bool DoBatchCheckThreshold(TesselVDevice&, std::vector<rule_value>& batch) override;
    void Reset(TesselSPDevice&) override;
    int OpenPort(TesselSPDevice&) override;
    int RefreshStatus(TesselSPDevice&) override;
    int InitSetting(SPModbus&, const Json::Value& settings) override;

    std::vector<HostCall> calls() const;
    std::vector<std::string> names() const;  // the "what" of every call, in order
    int count(const std::string& what) const;
    void clear();

    // Answers the checks give.
    std::map<std::string, bool> ao_report_answers;
    bool batch_answer = false;
    int init_setting_answer = 0;
    std::size_t last_batch_size = 0;
    Json::Value last_settings;

private:
    void add(HostCall call);
    mutable std::mutex mutex_;
    std::vector<HostCall> calls_;
};

// A unit answering from an image of its input bits and registers (zero where
// the image says nothing), recording every request it is sent.
class ScriptedUnit : public standin::Transport {
public:
    standin::Outcome execute(const ModbusRequest& request, std::uint8_t* bits,
                             std::uint16_t* words) override;

    std::map<int, std::uint8_t> input_bits;
    std::map<int, std::uint16_t> input_registers;
    std::map<int, std::uint16_t> holding_registers;

    std::vector<ModbusRequest> requests;
    int fail_at = -1;  // 0-based request index that gets no answer
    standin::Status failure = standin::Status::NoAnswer;
    bool refuse_writes = false;  // answer writes with an exception
};

// Sets the devices' local clock for the lifetime of the object.
class TestClock {
public:
    explicit TestClock(boost::posix_time::ptime now);
    ~TestClock();
    static void set(boost::posix_time::ptime now);
    static void advance(boost::posix_time::time_duration by);

private:
    device::ClockSource previous_;
};

boost::posix_time::ptime at(int year, int month, int day, int hour, int minute, int second);

// The whole file as bytes; empty when it cannot be read.
std::string read_file(const std::string& path);

// Strict parse of one whole JSON text: nothing but white space may follow the value.
bool parse_json_text(const std::string& text, Json::Value& out);

// The status document as text (command 801), asking again with a larger buffer
// when the document grew between the length query and the copy.
std::string fetch_status_text(VDeviceInterface& device);

}  // namespace testing_support
