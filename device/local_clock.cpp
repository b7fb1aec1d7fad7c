#include "device/local_clock.h"

#include <atomic>

#include <boost/date_time/posix_time/posix_time.hpp>

namespace device {
namespace {

boost::posix_time::ptime system_local_time() {
    return boost::posix_time::second_clock::local_time();
}

std::atomic<ClockSource> g_source{&system_local_time};

}  // namespace

boost::posix_time::ptime local_now() { return g_source.load(std::memory_order_acquire)(); }

ClockSource set_clock_source(ClockSource source) {
    return g_source.exchange(source != nullptr ? source : &system_local_time,
                             std::memory_order_acq_rel);
}

}  // namespace device
