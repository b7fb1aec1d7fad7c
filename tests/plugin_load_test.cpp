// The built quillark.so loaded the way the host loads it: dlopen, dlsym of the
// one exported entry point, a device made through its provider. Runs in every
// configuration, under qemu-arm too.
#include <dlfcn.h>

#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "provider.h"
#include "tessel_device.h"

namespace {

struct Library {
    void* handle = dlopen(QUILLARK_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ~Library() {
        if (handle != nullptr) dlclose(handle);
    }
};

get_providers_fn entry_point(void* handle) {
    void* symbol = dlsym(handle, "get_providers");
    get_providers_fn fn = nullptr;
    static_assert(sizeof fn == sizeof symbol);
    if (symbol != nullptr) std::memcpy(&fn, &symbol, sizeof fn);
    return fn;
}

}  // namespace

TEST(PluginSmoke, LoadsAndMakesAQuillarkDevice) {
    Library lib;
    ASSERT_NE(lib.handle, nullptr) << dlerror();
    const get_providers_fn get_providers = entry_point(lib.handle);
    ASSERT_NE(get_providers, nullptr) << dlerror();
    {
        std::vector<std::shared_ptr<Provider>> providers = get_providers();
        ASSERT_EQ(providers.size(), 1u);
        auto* maker = dynamic_cast<TesselSPDeviceProvider*>(providers[0].get());
        ASSERT_NE(maker, nullptr);
        std::unique_ptr<TesselSPDevice> device(maker->create());
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(device->DeviceType(), "quillark");
        EXPECT_NE(dynamic_cast<SPModbus*>(device.get()), nullptr);
    }  // everything the plug-in made is gone before it is unloaded
}

TEST(PluginSmoke, ExportsNothingButTheEntryPoint) {
    Library lib;
    ASSERT_NE(lib.handle, nullptr) << dlerror();
    EXPECT_EQ(dlsym(lib.handle, "_ZN8QuillarkC1Ev"), nullptr) << "Quillark::Quillark()";
    EXPECT_EQ(dlsym(lib.handle, "_ZTV8Quillark"), nullptr) << "vtable for Quillark";
}
