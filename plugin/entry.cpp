// The plug-in's only entry point for the host.
#include <memory>
#include <vector>

#include "quillark/quillark.h"
#include "plugin/quillark_provider.h"
#include "quillark_version.h"

namespace {
// Which release this file is, for people and tools that read the file
// (`strings quillark.so`, `quillark-poll --version`); kept in the binary
// without being exported.
[[gnu::used]] constexpr char kIdentification[] =
    QUILLARK_IDENTIFICATION_MARK QUILLARK_IDENTIFICATION;
}  // namespace

TesselSPDevice* QuillarkProvider::create() const { return new Quillark(); }

// The host looks the entry point up by its unmangled name and calls it as a C++
// function (get_providers_fn); it is never called from C.
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
