// Host device framework: the classes, members and operations that a device
// plug-in builds on. The host library supplies every out-of-line operation;
// the inline bodies below are compiled into each plug-in.
//
// The order in which virtual operations are declared is the host's dispatch
// table order and must not change: plug-ins and the host share it.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/value.h>

#define TESSEL_API __attribute__((visibility("default")))

class TesselController;

// A threshold rule queued by a device for the batch check at the end of a round.
struct TESSEL_API rule_value {
    std::string name;
    float value = 0.0f;
    int level = 0;
};

enum EnumParity { ParityNone = 0, ParityOdd = 1, ParityEven = 2 };

// Wall-clock time stamp as the host stores it: year (16-bit, little-endian),
// then month, day, hour, minute and second, one byte each. Seven bytes, no padding.
struct __attribute__((packed)) ttime_t {
    std::uint16_t year;
    std::uint8_t month;
    std::uint8_t day;
    std::uint8_t hour;
    std::uint8_t minute;
    std::uint8_t second;
};
static_assert(sizeof(ttime_t) == 7, "host time stamp is seven bytes");

TESSEL_API ttime_t get_ttime(const boost::posix_time::ptime& t);

class TESSEL_API VDeviceInterface {
public:
    VDeviceInterface();

    virtual float Get_Value(unsigned int index, const std::string& name) const {
        (void)index;
        (void)name;
        throw std::out_of_range("数据未就绪");
    }
    virtual int LoadFromCache(const std::string& bytes) {
        const int length = bytes.size() > static_cast<std::size_t>(INT32_MAX)
                               ? -1
                               : static_cast<int>(bytes.size());
        return LoadFromCache(reinterpret_cast<const unsigned char*>(bytes.data()), length);
    }
    virtual int LoadFromCache(const unsigned char* bytes, int length) = 0;
    virtual std::uint32_t DataId() const { return device_id; }
    virtual std::string DeviceType() const { return device_type; }
    virtual int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                                int& out_size) = 0;
    virtual void RoundDone() = 0;
    virtual bool UseControllerDb() const { return use_controller_db; }
    virtual ~VDeviceInterface();

    std::uint32_t device_id = 0;
    std::string device_type;

protected:
    bool use_controller_db = false;
};

class TESSEL_API TesselVDevice : public VDeviceInterface {
public:
    TesselVDevice();
    ~TesselVDevice() override;

    using VDeviceInterface::LoadFromCache;
    int LoadFromCache(const unsigned char* bytes, int length) override;
    int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                        int& out_size) override;
    void RoundDone() override;

    virtual void Reset();
    virtual int InitV();
    virtual int Init(std::weak_ptr<TesselController> controller, unsigned int id,
                     const Json::Value& settings);
    virtual int InitSetting(const Json::Value& settings);
    virtual bool IsSupportDevice(const std::string& type) const;
    virtual VDeviceInterface* GetChildVDevice(unsigned int index) {
        (void)index;
        return nullptr;
    }
    virtual std::vector<VDeviceInterface*> GetAllChildVDevices() { return {}; }
    virtual int SendSP(int data_id, const void* data, int length, bool delayed);
    virtual int SendDelayData(int data_id, const void* data, int length);
    virtual int SendDoData(unsigned int channel, int value);
    virtual int ReadDi(unsigned int channel);
    virtual float ReadAi(unsigned int channel);
    virtual float Get_SP_Value(const std::string& name);

    // Host services for the end of a round; not part of the dispatch table.
    void SaveDeviceHistory(const void* data, int length);
    bool CheckAOReport(const std::string& name, float value);
    void CheckThreshold(const std::string& name, const std::string& extra, float& value, int level);
    bool DoBatchCheckThreshold(std::vector<rule_value>& batch);

    boost::posix_time::ptime last_data_time;
    bool data_ready = false;
    std::int16_t round_state = 0;
    bool report_flag = false;
    std::vector<std::string> report_names;
    std::map<std::string, float> report_values;
    std::vector<rule_value> rule_batch;

protected:
    std::shared_ptr<TesselController> controller() const { return controller_.lock(); }

private:
    std::weak_ptr<TesselController> controller_;
};

class TESSEL_API TesselSPDevice : public TesselVDevice {
public:
    TesselSPDevice();
    ~TesselSPDevice() override;

    void Reset() override;

    virtual int RefreshStatus();
    virtual int process();
    virtual bool IsProcessing() const;
    virtual bool IsStalled() const;
    virtual int SendData(const unsigned char* data, int length);
    virtual int SendParityData(const unsigned char* data, int length, EnumParity parity);
    virtual int OpenPort();
    virtual int ClosePort();

    int baud_rate = 9600;
};

// The host's own bookkeeping of a device's requests. Only the host knows its
// shape; a device holds it through one pointer and never looks inside.
struct StandinQueue;

class TESSEL_API SPModbus : public TesselSPDevice {
public:
    enum tab_type { TabBits = 0, TabInputBits = 1, TabRegisters = 2, TabInputRegisters = 3 };
    static constexpr int kMaxReadBits = 2000;       // Modbus limit for functions 1 and 2
    static constexpr int kMaxReadRegisters = 125;   // Modbus limit for functions 3 and 4
    static constexpr int kMaxWriteRegisters = 123;  // Modbus limit for function 16

    SPModbus();
    ~SPModbus() override;

    int InitSetting(const Json::Value& settings) override;

    virtual int process_payload(tab_type table, unsigned int length) = 0;
    virtual int on_error() {
        std::puts("SPModbus get error");
        return 0;
    }
    virtual void RunCheckThreshold() {}

    // Request primitives: each queues one request for the host's master.
    int modbus_read_input_bits(int address, int count);
    int modbus_read_input_registers(int address, int count);
    int modbus_write_register(int address, int value);
    int modbus_write_registers(int address, int count, const unsigned short* values);

    // Tag of the request in flight; written and read by different host threads.
    std::atomic<std::int32_t> poll_step{0};
    bool modbus_option = false;
    std::uint8_t bit_buf[kMaxReadBits] = {};
    std::uint16_t reg_buf[kMaxReadRegisters] = {};

private:
    friend struct StandinQueue;
    std::unique_ptr<StandinQueue> queue_;
};
