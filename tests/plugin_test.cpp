// quillark.so as installed, loaded the way the host loads it.
#include <dlfcn.h>
#include <stdlib.h>

#include <array>
#include <cstdio>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/fakes.h"
#include "host/provider.h"

namespace {

std::string run(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string out;
    if (!pipe) return out;
    std::array<char, 256> chunk{};
    while (fgets(chunk.data(), static_cast<int>(chunk.size()), pipe.get()) != nullptr)
        out += chunk.data();
    return out;
}

// The plug-in component installed once per test program into a scratch root
// outside the build tree, with cmake --install as an integrator would.
const std::string& installed_plugin() {
    static char root[] = "/tmp/quillark-install-XXXXXX";
    static const std::string path = [] {
        if (mkdtemp(root) == nullptr) return std::string("/nonexistent/quillark.so");
        std::atexit([] {
            // A scratch root left behind in /tmp is no failure of the test.
            if (std::system((std::string("rm -rf ") + root).c_str()) != 0) return;
        });
        const std::string command = std::string("DESTDIR=") + root +
                                    " " QUILLARK_CMAKE " --install " QUILLARK_BUILD_DIR
                                    " --component " QUILLARK_PLUGIN_COMPONENT " >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) return std::string("/nonexistent/quillark.so");
        return std::string(root) + QUILLARK_INSTALLED_PLUGIN;
    }();
    return path;
}

class Plugin : public ::testing::Test {
protected:
    void SetUp() override {
        handle_ = dlopen(installed_plugin().c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
        entry_ = reinterpret_cast<get_providers_fn>(dlsym(handle_, "get_providers"));
        ASSERT_NE(entry_, nullptr) << dlerror();
    }
    void TearDown() override {
        if (handle_ != nullptr) dlclose(handle_);
    }
    std::shared_ptr<TesselSPDeviceProvider> provider() {
        auto providers = entry_();
        EXPECT_EQ(providers.size(), 1u);
        return std::dynamic_pointer_cast<TesselSPDeviceProvider>(providers.at(0));
    }

    void* handle_ = nullptr;
    get_providers_fn entry_ = nullptr;
};

}  // namespace

TEST_F(Plugin, EachCallMakesOneNewProvider) {
    auto first = provider();
    auto second = provider();
    ASSERT_TRUE(first && second);
    EXPECT_NE(first.get(), second.get());
}

TEST_F(Plugin, DriversAreIndependentAndOutliveTheirProvider) {
    auto p = provider();
    ASSERT_TRUE(p);
    std::unique_ptr<TesselSPDevice> a(p->create());
    std::unique_ptr<TesselSPDevice> b(p->create());
    ASSERT_TRUE(a && b);
    EXPECT_NE(a.get(), b.get());
    p.reset();  // the host may drop the provider first

    auto host = std::make_shared<testing_support::RecordingController>();
    a->Init(host, 1, Json::Value());
    b->Init(host, 2, Json::Value());
    host->clear();
    EXPECT_EQ(a->DeviceType(), "quillark");
    EXPECT_EQ(a->baud_rate, 9600);

    testing::internal::CaptureStdout();
    ASSERT_EQ(a->LoadFromCache(std::string(187, '\x05')), 1);
    testing::internal::GetCapturedStdout();
    const auto sent = host->calls().at(0).bytes;
    ASSERT_EQ(sent.size(), 187u);
    EXPECT_EQ(sent[0], 5) << "cache image replaces the device id until the next settings";
    EXPECT_EQ(sent[4], 5);

    // b's record is untouched by a's reload: the next publication of b is all zero.
    host->clear();
    testing::internal::CaptureStdout();
    b->RoundDone();
    testing::internal::GetCapturedStdout();
    const auto sent_b = host->calls().at(0).bytes;
    EXPECT_EQ(sent_b[0], 2);
    EXPECT_EQ(sent_b[4], 0);
}

TEST_F(Plugin, ExportsOnlyItsEntryPoint) {
    std::string symbols;
    const std::string listing = run("nm -D --defined-only " + installed_plugin() + " 2>/dev/null");
    for (std::size_t at = 0; at < listing.size();) {
        const std::size_t end = listing.find('\n', at);
        const std::string line = listing.substr(at, end - at);
        symbols += line.substr(line.rfind(' ') + 1) + "\n";
        at = end == std::string::npos ? listing.size() : end + 1;
    }
    EXPECT_EQ(symbols, "get_providers\n");
}

// What makes the file loadable in the real host: no library of our stand-in
// host to look for, no search path into a build tree, and which release it is.
TEST_F(Plugin, ShipsWithoutTheStandInHostAndSaysWhichReleaseItIs) {
    const std::string dynamic = run("readelf -d " + installed_plugin());
    ASSERT_NE(dynamic.find("(NEEDED)"), std::string::npos) << dynamic;
    EXPECT_EQ(dynamic.find("tesselhost"), std::string::npos) << dynamic;
    EXPECT_EQ(dynamic.find("(RUNPATH)"), std::string::npos) << dynamic;
    EXPECT_EQ(dynamic.find("(RPATH)"), std::string::npos) << dynamic;
    EXPECT_NE(run("strings " + installed_plugin()).find("quillark " QUILLARK_TEST_VERSION),
              std::string::npos);
}
