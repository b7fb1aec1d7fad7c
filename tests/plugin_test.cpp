// The built quillark.so, loaded the way the host loads it.
#include <dlfcn.h>

#include <array>
#include <cstdio>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "fakes.h"
#include "provider.h"

namespace {

class Plugin : public ::testing::Test {
protected:
    void SetUp() override {
        handle_ = dlopen(QUILLARK_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
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
    const std::string command =
        std::string("nm -D --defined-only ") + QUILLARK_PLUGIN_PATH + " 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    ASSERT_TRUE(pipe);
    std::string symbols;
    std::array<char, 256> line{};
    while (fgets(line.data(), static_cast<int>(line.size()), pipe.get()) != nullptr) {
        std::string s(line.data());
        const auto space = s.rfind(' ');
        symbols += s.substr(space + 1);
    }
    EXPECT_EQ(symbols, "get_providers\n");
}
