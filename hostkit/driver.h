// One driver as a program drives it: made by the plug-in, set up with its
// device id and settings, polled round by round through the stand-in host's
// master, asked for its status text, and handed register writes whose
// verdict it then gives.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <json/value.h>

#include "hostkit/common/args.h"
#include "quillark/commands.h"
#include "host/standin/master.h"
#include "hostkit/plugin.h"

namespace quillark_kit {

class Driver {
public:
    // Throws PluginError when the plug-in's device does not speak Modbus.
    Driver(const Plugin& plugin, unsigned int device_id, const Json::Value& settings);
    ~Driver();  // the driver goes before its host
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    std::string device_type();
    // Records published so far, and the last of them.
    int published() const { return host_->published; }
    const std::vector<std::uint8_t>& last_record() const { return host_->last_record; }

    // One poll round; complete when the driver published a record in it.
    struct Round {
        standin::PumpResult result;
        bool complete = false;
    };
    Round run_round(standin::Master& master);

    // The status document's text (command 801), or "" when the driver gives
    // none. `buffer` is the caller's, kept from call to call so a text costs
    // no fresh 64 KiB; it grows when a text does not fit.
    std::string status_text(std::vector<char>& buffer);

    // A write (command 206, or 210 for several registers) sent through
    // `master`, and the driver's verdict on it (command 802). `taken` is false
    // when the driver refused the command: nothing was sent, the verdict is
    // Pending.
    struct WriteResult {
        bool taken = false;
        quillark::WriteOutcome verdict = quillark::Pending;
        standin::PumpResult sent;
    };
    WriteResult write(standin::Master& master, const quillark_tools::RegisterWrite& write);

private:
    std::shared_ptr<Host> host_ = std::make_shared<Host>();
    std::unique_ptr<TesselSPDevice> device_;
    SPModbus* modbus_ = nullptr;
};

}  // namespace quillark_kit
