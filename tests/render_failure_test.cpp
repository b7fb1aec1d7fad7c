// A rebuild that runs out of memory half-way must not pass for a current
// document. Allocation failure is simulated by this test binary's operator new.
#include <atomic>
#include <cstdlib>
#include <new>

#include <gtest/gtest.h>

#include "points.h"
#include "status_device.h"

using namespace testing_support;

namespace {
std::atomic<int> g_allocations_left{-1};  // -1: never fail
}  // namespace

void* operator new(std::size_t size) {
    int left = g_allocations_left.load();
    while (left > 0 && !g_allocations_left.compare_exchange_weak(left, left - 1)) {
    }
    if (left == 0) throw std::bad_alloc();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
// Out of line, so that no caller sees a new paired with free.
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
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
