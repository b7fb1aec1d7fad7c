// The plug-in's only entry point for the host.
#include <memory>
#include <vector>

#include "quillark.h"
#include "quillark_provider.h"

TesselSPDevice* QuillarkProvider::create() const { return new Quillark(); }

// The host looks the entry point up by its unmangled name and calls it as C++:
// returning a C++ type through C linkage is its contract.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>>
get_providers() {
    std::vector<std::shared_ptr<Provider>> providers;
    std::shared_ptr<Provider> provider = std::make_shared<QuillarkProvider>();
    providers.push_back(std::move(provider));
    return providers;
}
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
