// The pieces of quillark-poll: loading the plug-in, the host that captures
// what the driver publishes, and how a run's outcome becomes the exit status.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "provider.h"
#include "tessel_controller.h"

namespace quillark_poll {

enum ExitStatus {
    kExitOk = 0,
    kExitFailed = 1,       // no complete round, or a write with no answer
    kExitUsage = 2,        // a bad argument
    kExitNotConfirmed = 3, // a write the unit answered but did not confirm
};

// Exit status from the number of complete rounds (when rounds were asked
// for) and the results the driver gave for the writes (quillark::WriteOutcome).
int exit_status(bool polled, int complete_rounds, const std::vector<int>& write_results);

// The status document indented, with the signal names as readable UTF-8.
// Throws std::invalid_argument if the text is not JSON.
std::string pretty_document(const std::string& text);

// Where the plug-in is looked for when none is named: beside the executable
// and one directory up.
std::vector<std::string> default_plugin_paths();

class PluginError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The plug-in, loaded the way the host loads it: dlopen, get_providers, and
// the device provider's create.
class Plugin {
public:
    explicit Plugin(const std::string& path);  // throws PluginError
    ~Plugin();
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    // A new driver; delete it before the plug-in goes.
    TesselSPDevice* create() const;
    const std::string& path() const { return path_; }

private:
    std::string path_;
    void* handle_ = nullptr;
    std::vector<std::shared_ptr<Provider>> providers_;
    TesselSPDeviceProvider* provider_ = nullptr;
};

// The host side of one device: keeps the last record the device published.
class Host : public TesselController {
public:
    int SendSP(TesselVDevice& device, int data_id, const void* data, int length,
               bool delayed) override;

    int published = 0;  // records published so far
    int last_data_id = 0;
    std::vector<std::uint8_t> last_record;
};

}  // namespace quillark_poll
