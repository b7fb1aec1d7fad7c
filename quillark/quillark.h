// Driver for one in-row precision air-conditioning unit (compressor circuit
// and refrigerant pump circuit) on Modbus.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include <json/value.h>

#include "record.h"
#include "tessel_device.h"
#include "uni_data_device.h"

// DeviceIoControl command codes.
enum EnumIoCode {
    IoWriteRegister = 206,    // word 0 address, word 1 value
    IoWriteRegisters = 210,   // word 0 start address, words 1..n values
    IoSignalCommand = 310,    // JSON text naming a signal in "signal_id"
    IoEmptyCommand = 320,
    IoGetStatusText = 801,    // the status document as compact JSON text
    IoGetStatusObject = 803,  // the address of the driver's status document
};

constexpr int kQuillarkDataId = 5156;

class Quillark : public UniDataDevice<Quillark_Data_t, SPModbus, kQuillarkDataId> {
public:
    Quillark();
    ~Quillark() override;

    float Get_Value(unsigned int index, const std::string& name) const override;
    int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                        int& out_size) override;
    int InitSetting(const Json::Value& settings) override;
    int RefreshStatus() override;
    int process_payload(SPModbus::tab_type table, unsigned int length) override;
    void RunCheckThreshold() override;

    // Outcome of the last control write: -1 pending (and before any), 1
    // confirmed by the unit, 3 not confirmed. Shared with command callers.
    std::atomic<std::int32_t> ctrl_result{-1};
    // What the unit's answer must echo: the value written (206) or the number
    // of registers written (210).
    std::atomic<std::int32_t> ctrl_expect{-1};

    // Brings status_doc up to date with the last completed round; the caller
    // holds doc_mutex.
    void refresh_status_doc_locked();

private:
    void issue_read(std::size_t index);
    void render_status_doc();

    // Command handlers behind DeviceIoControl.
    void begin_control(std::int32_t code, std::int32_t expect);
    int write_register(const void* in, int in_len);
    int write_registers(const void* in, int in_len);
    int signal_command(const void* in, int in_len);
    int status_text(void* out, int out_len, int& out_size);
    int status_object(void* out, int out_len, int& out_size);
    int result_query(void* out, int out_len, int& out_size);
};
