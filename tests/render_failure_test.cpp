// What the driver does with the heap: a rebuild that runs out of memory
// half-way must not pass for a current document, and a driver deleted through
// the host's interface gives back everything it took. This test binary's
// operator new simulates allocation failure and counts the blocks in use.
#include <atomic>
#include <cstdlib>
#include <new>

#include <gtest/gtest.h>

#include "quillark/points.h"
#include "tests/support/status_device.h"

using namespace testing_support;

namespace {
std::atomic<int> g_allocations_left{-1};  // -1: never fail
std::atomic<long> g_blocks_in_use{0};
}  // namespace

void* operator new(std::size_t size) {
    int left = g_allocations_left.load();
    while (left > 0 && !g_allocations_left.compare_exchange_weak(left, left - 1)) {
    }
    if (left == 0) throw std::bad_alloc();
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        g_blocks_in_use.fetch_add(1);
        return p;
    }
    throw std::bad_alloc();
}
// Out of line, so that no caller sees a new paired with free.
__attribute__((noinline)) void operator delete(void* p) noexcept {
    if (p != nullptr) g_blocks_in_use.fetch_sub(1);
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept { ::operator delete(p); }

TEST(StatusRefresh, RebuildCutShortIsRetriedByTheNextRequest) {
    TestClock clock(at(2024, 3, 5, 8, 7, 9));
    StatusDevice d;
    RecordImage image{};
    image[4] = 1;
    d.load(image);

    g_allocations_left = 40;  // the first rebuild creates every member: fail among them
    EXPECT_THROW(d.status(), std::bad_alloc);
    g_allocations_left = -1;
    EXPECT_LT(d.dev.status_doc.size(), 144u) << "the failure came half-way";

    const Json::Value& doc = d.status();
    EXPECT_EQ(doc.size(), 144u);
    EXPECT_EQ(doc[quillark::kAlertArrayKey].size(), 56u);
    EXPECT_EQ(d.dev.doc_time, at(2024, 3, 5, 8, 7, 9));
}

// The host holds drivers as VDeviceInterface pointers and deletes them so: the
// driver's members (its document, its status text, the host base's strings
// and settings) must all be given back.
TEST(DriverLifetime, DeletingThroughTheBaseRunsTheWholeDestructorChain) {
    TestClock clock(at(2024, 3, 5, 8, 7, 9));
    auto host = std::make_shared<TesselController>();
    auto life = [&] {
        VDeviceInterface* dev = new Quillark;
        Json::Value settings;
        settings["appSetting"]["b_mode"] = "4";
        static_cast<TesselVDevice*>(dev)->Init(host, 3, settings);
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(dev->LoadFromCache(std::string(187, '\x01')), 1);
        ::testing::internal::GetCapturedStdout();
        std::string text(16384, ' ');
        int size = 0;
        EXPECT_EQ(dev->DeviceIoControl(IoGetStatusText, nullptr, 0, &text[0], 16384, size), 0);
        delete dev;
    };
    life();  // sets up what lives as long as the process (streams, constant tables)
    const long before = g_blocks_in_use.load();
    life();
    EXPECT_EQ(g_blocks_in_use.load(), before);
}
