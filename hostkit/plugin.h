// Loading the plug-in as the host does, and the host side that captures what
// the driver publishes.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/provider.h"
#include "host/tessel_controller.h"

namespace quillark_kit {

// Where the plug-in is looked for when none is named: beside the executable,
// one directory up (the build tree), and where it is installed relative to the
// installed executable.
std::vector<std::string> default_plugin_paths();

// The one rule every program follows: the plug-in named, else the first of
// default_plugin_paths() that exists. `path` is empty when none exists;
// `tried` then lists where it was looked for.
struct PluginChoice {
    std::string path;
    bool named = false;
    std::string tried;
};
PluginChoice find_plugin(const std::string& named);

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

}  // namespace quillark_kit
