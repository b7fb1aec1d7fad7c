// Driver for one in-row precision air-conditioning unit (compressor circuit
// and refrigerant pump circuit) on Modbus.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include <json/value.h>

#include "quillark/commands.h"
#include "quillark/record.h"
#include "host/tessel_device.h"
#include "device/uni_data_device.h"

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

    // Outcome of the last control write (quillark::WriteOutcome). Shared
    // with command callers.
    std::atomic<std::int32_t> ctrl_result{quillark::Pending};
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

    // The status text of the document as last rendered; current only while
    // the document is exactly what the renderer made. Once an 803 has handed
    // out the document's address, a caller may have changed it through that
    // address, and 801 writes the live document every time instead.
    std::string status_text_;
    bool text_current_ = false;
    bool doc_handed_out_ = false;
};
