// Out-of-line operations of the host's device classes. Whatever reaches beyond
// the device (publication, history, thresholds, the port) is handed to the
// controller the device was attached to by Init.
#include <algorithm>
#include <cstring>

#include "host/standin/standin_queue.h"
#include "host/tessel_controller.h"
#include "host/tessel_device.h"

ttime_t get_ttime(const boost::posix_time::ptime& t) {
    ttime_t out{};
    if (t.is_special()) return out;
    const auto date = t.date();
    const auto tod = t.time_of_day();
    out.year = static_cast<std::uint16_t>(date.year());
    out.month = static_cast<std::uint8_t>(date.month().as_number());
    out.day = static_cast<std::uint8_t>(date.day().as_number());
    out.hour = static_cast<std::uint8_t>(tod.hours());
    out.minute = static_cast<std::uint8_t>(tod.minutes());
    out.second = static_cast<std::uint8_t>(tod.seconds());
    return out;
}

VDeviceInterface::VDeviceInterface() = default;
VDeviceInterface::~VDeviceInterface() = default;

TesselVDevice::TesselVDevice() = default;
TesselVDevice::~TesselVDevice() = default;

int TesselVDevice::LoadFromCache(const unsigned char*, int) { return 0; }

int TesselVDevice::DeviceIoControl(int, const void*, int, void*, int, int&) { return -1; }

void TesselVDevice::RoundDone() {}

void TesselVDevice::Reset() {}

int TesselVDevice::InitV() { return 0; }

int TesselVDevice::Init(std::weak_ptr<TesselController> controller, unsigned int id,
                        const Json::Value& settings) {
    controller_ = std::move(controller);
    device_id = id;
    return InitSetting(settings);
}

int TesselVDevice::InitSetting(const Json::Value&) { return 0; }

bool TesselVDevice::IsSupportDevice(const std::string& type) const { return type == device_type; }

int TesselVDevice::SendSP(int data_id, const void* data, int length, bool delayed) {
    if (auto c = controller()) return c->SendSP(*this, data_id, data, length, delayed);
    return 0;
}

int TesselVDevice::SendDelayData(int data_id, const void* data, int length) {
    return SendSP(data_id, data, length, true);
}

int TesselVDevice::SendDoData(unsigned int, int) { return -1; }
int TesselVDevice::ReadDi(unsigned int) { return -1; }
float TesselVDevice::ReadAi(unsigned int) { return 0.0f; }
float TesselVDevice::Get_SP_Value(const std::string&) { return 0.0f; }

void TesselVDevice::SaveDeviceHistory(const void* data, int length) {
    if (auto c = controller()) c->SaveDeviceHistory(*this, data, length);
}

bool TesselVDevice::CheckAOReport(const std::string& name, float value) {
    if (auto c = controller()) return c->CheckAOReport(*this, name, value);
    return false;
}

void TesselVDevice::CheckThreshold(const std::string& name, const std::string& extra, float& value,
                                   int level) {
    if (auto c = controller()) c->CheckThreshold(*this, name, extra, value, level);
}

bool TesselVDevice::DoBatchCheckThreshold(std::vector<rule_value>& batch) {
    if (auto c = controller()) return c->DoBatchCheckThreshold(*this, batch);
    return false;
}

TesselSPDevice::TesselSPDevice() = default;
TesselSPDevice::~TesselSPDevice() = default;

void TesselSPDevice::Reset() {
    if (auto c = controller()) c->Reset(*this);
}

int TesselSPDevice::RefreshStatus() {
    if (auto c = controller()) return c->RefreshStatus(*this);
    return 1;
}

int TesselSPDevice::process() { return 0; }
bool TesselSPDevice::IsProcessing() const { return false; }
bool TesselSPDevice::IsStalled() const { return false; }
int TesselSPDevice::SendData(const unsigned char*, int) { return -1; }
int TesselSPDevice::SendParityData(const unsigned char*, int, EnumParity) { return -1; }

int TesselSPDevice::OpenPort() {
    if (auto c = controller()) return c->OpenPort(*this);
    return 0;
}

int TesselSPDevice::ClosePort() { return 0; }

SPModbus::SPModbus() : queue_(std::make_unique<StandinQueue>()) {}
SPModbus::~SPModbus() = default;

int SPModbus::InitSetting(const Json::Value& settings) {
    if (auto c = controller()) return c->InitSetting(*this, settings);
    return 0;
}

int SPModbus::modbus_read_input_bits(int address, int count) {
    if (count < 1 || count > kMaxReadBits) return -1;
    queue_->put(ModbusRequest::ReadInputBits, address, count, nullptr);
    return 0;
}

int SPModbus::modbus_read_input_registers(int address, int count) {
    if (count < 1 || count > kMaxReadRegisters) return -1;
    queue_->put(ModbusRequest::ReadInputRegisters, address, count, nullptr);
    return 0;
}

int SPModbus::modbus_write_register(int address, int value) {
    const auto word = static_cast<unsigned short>(value);
    queue_->put(ModbusRequest::WriteRegister, address, 1, &word);
    return 0;
}

int SPModbus::modbus_write_registers(int address, int count, const unsigned short* values) {
    // The master refuses what one Modbus request cannot carry.
    if (values == nullptr || count < 1 || count > kMaxWriteRegisters) return -1;
    queue_->put(ModbusRequest::WriteRegisters, address, count, values);
    return 0;
}

void StandinQueue::put(ModbusRequest::Function function, int address, int count,
                       const unsigned short* values) {
    std::lock_guard<std::mutex> lock(mutex_);
    request_.function = function;
    request_.address = address;
    request_.count = count;
    if (values != nullptr) std::memcpy(request_.values, values, sizeof(*values) * count);
    pending_ = true;
    ++queued_;
}

bool StandinQueue::take(ModbusRequest& out, const std::atomic<std::int32_t>& tag) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!pending_) return false;
    out = request_;
    pending_ = false;
    taken_ = queued_;
    taken_tag_ = tag.load(std::memory_order_acquire);
    return true;
}

bool StandinQueue::superseded(const std::atomic<std::int32_t>& tag) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queued_ != taken_ || tag.load(std::memory_order_acquire) != taken_tag_;
}

namespace standin {

bool take_request(SPModbus& device, ModbusRequest& out) {
    return StandinQueue::of(device).take(out, device.poll_step);
}

bool superseded(const SPModbus& device) {
    return StandinQueue::of(device).superseded(device.poll_step);
}

}  // namespace standin
