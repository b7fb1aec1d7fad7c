#include "tests/support/fakes.h"

#include <atomic>
#include <fstream>
#include <sstream>
#include <memory>

#include <json/reader.h>

#include "quillark/commands.h"

namespace testing_support {

void RecordingController::add(HostCall call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::move(call));
}

static std::vector<std::uint8_t> bytes_of(const void* data, int length) {
    if (data == nullptr || length <= 0) return {};
    const auto* p = static_cast<const std::uint8_t*>(data);
    return {p, p + length};
}

int RecordingController::SendSP(TesselVDevice&, int data_id, const void* data, int length, bool) {
    HostCall call{"SendSP", "", bytes_of(data, length), data_id, 0.0f};
    add(std::move(call));
    return 1;
}

void RecordingController::SaveDeviceHistory(TesselVDevice&, const void* data, int length) {
    add({"SaveDeviceHistory", "", bytes_of(data, length), 0, 0.0f});
}

bool RecordingController::CheckAOReport(TesselVDevice&, const std::string& name, float value) {
    add({"CheckAOReport", name, {}, 0, value});
    auto it = ao_report_answers.find(name);
    return it != ao_report_answers.end() && it->second;
}

void RecordingController::CheckThreshold(TesselVDevice&, const std::string& name,
                                         const std::string& extra, float& value, int level) {
    add({"CheckThreshold", name + "|" + extra + "|" + std::to_string(level), {}, 0, value});
}

bool RecordingController::DoBatchCheckThreshold(TesselVDevice&, std::vector<rule_value>& batch) {
    last_batch_size = batch.size();
    add({"DoBatchCheckThreshold", "", {}, 0, 0.0f});
    return batch_answer;
}

void RecordingController::Reset(TesselSPDevice&) { add({"Reset", "", {}, 0, 0.0f}); }

int RecordingController::OpenPort(TesselSPDevice&) {
    add({"OpenPort", "", {}, 0, 0.0f});
    return 0;
}

int RecordingController::RefreshStatus(TesselSPDevice&) {
    add({"RefreshStatus", "", {}, 0, 0.0f});
    return 1;
}

int RecordingController::InitSetting(SPModbus&, const Json::Value& settings) {
    last_settings = settings;
    add({"InitSetting", "", {}, 0, 0.0f});
    return init_setting_answer;
}

std::vector<HostCall> RecordingController::calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

std::vector<std::string> RecordingController::names() const {
    std::vector<std::string> out;
    for (const auto& call : calls()) out.push_back(call.what);
    return out;
}

int RecordingController::count(const std::string& what) const {
    int n = 0;
    for (const auto& call : calls()) n += call.what == what;
    return n;
}

void RecordingController::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
}

standin::Outcome ScriptedUnit::execute(const ModbusRequest& request, std::uint8_t* bits,
                                       std::uint16_t* words) {
    const int index = static_cast<int>(requests.size());
    requests.push_back(request);
    if (index == fail_at) return {failure, "scripted failure"};
    switch (request.function) {
        case ModbusRequest::ReadInputBits:
            for (int i = 0; i < request.count; ++i) {
                auto it = input_bits.find(request.address + i);
                bits[i] = it == input_bits.end() ? 0 : it->second;
            }
            break;
        case ModbusRequest::ReadInputRegisters:
            for (int i = 0; i < request.count; ++i) {
                auto it = input_registers.find(request.address + i);
                words[i] = it == input_registers.end() ? 0 : it->second;
            }
            break;
        case ModbusRequest::WriteRegister:
        case ModbusRequest::WriteRegisters:
            if (refuse_writes) return {standin::Status::Exception, "illegal data address"};
            for (int i = 0; i < request.count; ++i)
                holding_registers[request.address + i] = request.values[i];
            if (request.function == ModbusRequest::WriteRegister) {
                words[0] = request.values[0];
            } else {
                words[0] = 16;
                words[1] = static_cast<std::uint16_t>(request.count);
            }
            break;
    }
    return {standin::Status::Answered, ""};
}

namespace {
std::atomic<std::int64_t> g_clock_seconds{0};  // seconds since the epoch, local time

const boost::posix_time::ptime kEpoch(boost::gregorian::date(1970, 1, 1));

boost::posix_time::ptime clock_source() {
    return kEpoch + boost::posix_time::seconds(static_cast<long>(g_clock_seconds.load()));
}
}  // namespace

TestClock::TestClock(boost::posix_time::ptime now) {
    set(now);
    previous_ = device::set_clock_source(&clock_source);
}

TestClock::~TestClock() { device::set_clock_source(previous_); }

void TestClock::set(boost::posix_time::ptime now) {
    g_clock_seconds = (now - kEpoch).total_seconds();
}

void TestClock::advance(boost::posix_time::time_duration by) {
    g_clock_seconds += by.total_seconds();
}

boost::posix_time::ptime at(int year, int month, int day, int hour, int minute, int second) {
    return {boost::gregorian::date(static_cast<unsigned short>(year),
                                   static_cast<unsigned short>(month),
                                   static_cast<unsigned short>(day)),
            boost::posix_time::time_duration(hour, minute, second)};
}

bool parse_json_text(const std::string& text, Json::Value& out) {
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    return reader->parse(text.data(), text.data() + text.size(), &out, &errors);
}

std::string fetch_status_text(VDeviceInterface& device) {
    std::string text;
    int size = 0;
    device.DeviceIoControl(IoGetStatusText, nullptr, 0, nullptr, 0, size);
    for (;;) {
        text.assign(static_cast<std::size_t>(size), '\0');
        if (device.DeviceIoControl(IoGetStatusText, nullptr, 0, text.data(), size, size) == 0)
            break;
    }
    text.resize(static_cast<std::size_t>(size));
    return text;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace testing_support
