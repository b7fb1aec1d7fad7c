#include "hostkit/plugin.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace quillark_kit {

std::vector<std::string> default_plugin_paths() {
    char exe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return {"quillark.so"};
    std::string dir(exe, static_cast<std::size_t>(n));
    dir = dir.substr(0, dir.rfind('/'));
    if (dir.empty()) dir = "/";
    const std::string parent = dir.substr(0, dir.rfind('/'));
    const std::string installed = QUILLARK_PLUGIN_FROM_BINDIR;
    const bool absolute = !installed.empty() && installed.front() == '/';
    return {dir + "/quillark.so", (parent.empty() ? "" : parent) + "/quillark.so",
            (absolute ? installed : dir + "/" + installed) + "/quillark.so"};
}

PluginChoice find_plugin(const std::string& named) {
    PluginChoice choice;
    if (!named.empty()) {
        choice.path = named;
        choice.named = true;
        return choice;
    }
    for (const std::string& path : default_plugin_paths()) {
        if (access(path.c_str(), F_OK) == 0) {
            choice.path = path;
            return choice;
        }
        choice.tried += (choice.tried.empty() ? "" : ", ") + path;
    }
    return choice;
}

Plugin::Plugin(const std::string& path) : path_(path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) throw PluginError(dlerror());
    auto entry = reinterpret_cast<get_providers_fn>(dlsym(handle_, "get_providers"));
    if (entry == nullptr) {
        const std::string error = dlerror();
        dlclose(handle_);
        throw PluginError(error);
    }
    providers_ = entry();
    for (const auto& provider : providers_) {
        provider_ = dynamic_cast<TesselSPDeviceProvider*>(provider.get());
        if (provider_ != nullptr) break;
    }
    if (provider_ == nullptr) {
        providers_.clear();
        dlclose(handle_);
        throw PluginError(path + ": get_providers offers no device provider");
    }
}

Plugin::~Plugin() {
    // The providers' code lives in the plug-in: drop them before unloading it.
    provider_ = nullptr;
    providers_.clear();
    dlclose(handle_);
}

TesselSPDevice* Plugin::create() const { return provider_->create(); }

int Host::SendSP(TesselVDevice&, int data_id, const void* data, int length, bool) {
    ++published;
    last_data_id = data_id;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    if (bytes != nullptr && length > 0) last_record.assign(bytes, bytes + length);
    else last_record.clear();
    return 1;
}

}  // namespace quillark_kit
