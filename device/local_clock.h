// The local wall clock as devices read it: second_clock::local_time(), whole
// seconds. Tests put their own source in its place to set the time exactly.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>

namespace device {

using ClockSource = boost::posix_time::ptime (*)();

// Current local time from the installed source.
boost::posix_time::ptime local_now();

// Installs a source; nullptr restores the system clock. Returns the previous one.
ClockSource set_clock_source(ClockSource source);

}  // namespace device
