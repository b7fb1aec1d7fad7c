// Loading the plug-in as the host does, and the host side that captures what
// the driver publishes.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "provider.h"
#include "tessel_controller.h"

namespace quillark_poll {

// Where the plug-in is looked for when none is named: beside the executable,
// one directory up (the build tree), and where it is installed relative to the
// installed executable.
std::vector<std::string> default_plugin_paths();

// --version: this release, and the release of the plug-in named (or else found
// where it is looked for by default), after loading it as for a poll.
int print_version(std::ostream& out, const std::string& plugin_path);

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
