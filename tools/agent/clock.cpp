#include "tools/agent/clock.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace quillark_agent {

double unix_now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string iso_time(double unix_seconds) {
    const std::time_t t = static_cast<std::time_t>(unix_seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::string iso_time_ms(double unix_seconds) {
    const double whole = std::floor(unix_seconds);
    const int millis = std::clamp(static_cast<int>((unix_seconds - whole) * 1000 + 0.5), 0, 999);
    std::string text = iso_time(whole);
    char tail[16];
    std::snprintf(tail, sizeof tail, ".%03dZ", millis);
    text.replace(text.size() - 1, 1, tail);
    return text;
}

double parse_time(const std::string& text) {
    if (text.empty()) return -1;
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (*end == '\0' && std::isfinite(seconds) && text.find_first_of("xXnN") == std::string::npos)
        return seconds >= 0 ? seconds : -1;
    std::tm tm{};
    const char* rest = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm);
    if (rest == nullptr || *rest != '\0') return -1;
    const double t = static_cast<double>(timegm(&tm));
    return t >= 0 ? t : -1;
}

}  // namespace quillark_agent
