#include "tools/agent/history/history_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace quillark_agent {
namespace {

constexpr char kMagic[8] = {'Q', 'L', 'K', 'H', 'I', 'S', 'T', '1'};
constexpr std::size_t kMinuteBytes = 1 + 8 + 5 * kSeries;
constexpr std::size_t kRoundBytes = 1 + 6 + 2 * kSeries;
constexpr std::size_t kDayBytes =
    UnitHistory::kMinutes * kMinuteBytes + UnitHistory::kMaxRounds * kRoundBytes;
// Past this the file is written anew; a file larger is no file of ours.
constexpr std::size_t kRewriteAt = 3 * kDayBytes;
constexpr std::size_t kLargest = 8 * kDayBytes;

void put16(std::string& out, std::uint16_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8);
}
void put32(std::string& out, std::uint32_t v) {
    put16(out, static_cast<std::uint16_t>(v & 0xFFFF));
    put16(out, static_cast<std::uint16_t>(v >> 16));
}

// Little-endian fields from a byte cursor.
struct Reader {
    const unsigned char* at;
    std::uint8_t u8() { return *at++; }
    std::uint16_t u16() {
        const std::uint16_t v = static_cast<std::uint16_t>(at[0] | (at[1] << 8));
        at += 2;
        return v;
    }
    std::uint32_t u32() {
        const std::uint32_t low = u16();
        return low | (static_cast<std::uint32_t>(u16()) << 16);
    }
};

std::string header() {
    std::string out(kMagic, sizeof kMagic);
    out += static_cast<char>(kSeries);
    for (std::size_t s = 0; s < kSeries; ++s) {
        const std::string id = series_point(s).id;
        out += static_cast<char>(id.size());
        out += id;
    }
    return out;
}

void put_minute(std::string& out, const UnitHistory::Minute& m) {
    out += 'M';
    put32(out, m.minute);
    put16(out, m.complete);
    put16(out, m.failed);
    for (const std::uint16_t v : m.min) put16(out, v);
    for (const std::uint16_t v : m.max) put16(out, v);
    for (const std::uint8_t v : m.mean) out += static_cast<char>(v);
}

void put_round(std::string& out, const UnitHistory::Round& r) {
    out += 'R';
    put32(out, r.second);
    put16(out, r.millis);
    for (const std::uint16_t v : r.words) put16(out, v);
}

// Where each series of the file goes among ours (kSeries: nowhere); whether
// they are ours, in our order. Returns the header's length, 0 for no header.
std::size_t read_header(const std::string& bytes, std::array<std::size_t, 256>& into, bool& same) {
    if (bytes.size() < sizeof kMagic + 1 || bytes.compare(0, sizeof kMagic, kMagic, sizeof kMagic))
        return 0;
    std::size_t at = sizeof kMagic;
    const std::size_t n = static_cast<unsigned char>(bytes[at++]);
    same = n == kSeries;
    for (std::size_t i = 0; i < n; ++i) {
        if (at >= bytes.size()) return 0;
        const std::size_t length = static_cast<unsigned char>(bytes[at++]);
        if (at + length > bytes.size()) return 0;
        into[i] = series_of(bytes.substr(at, length));
        same = same && into[i] == i;
        at += length;
    }
    for (std::size_t i = n; i < into.size(); ++i) into[i] = kSeries;
    return at;
}

UnitHistory::Minute read_minute(Reader& in, std::size_t n, const std::array<std::size_t, 256>& to) {
    UnitHistory::Minute m{};
    m.min.fill(0xFFFF);  // a series the file lacks has no value
    m.minute = in.u32();
    m.complete = in.u16();
    m.failed = in.u16();
    std::array<std::uint16_t, 256> min{}, max{};
    for (std::size_t i = 0; i < n; ++i) min[i] = in.u16();
    for (std::size_t i = 0; i < n; ++i) max[i] = in.u16();
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t mean = in.u8();
        if (to[i] == kSeries) continue;
        m.min[to[i]] = min[i];
        m.max[to[i]] = max[i];
        m.mean[to[i]] = mean;
    }
    return m;
}

}  // namespace

void HistoryFile::decode(const std::string& bytes, UnitHistory& history, double now) {
    std::array<std::size_t, 256> to{};
    bool same = false;
    std::size_t at = read_header(bytes, to, same);
    if (at == 0) return;
    const std::size_t n = static_cast<unsigned char>(bytes[sizeof kMagic]);
    const double oldest = now - 86400 - 60, newest = now + 60;
    while (at < bytes.size()) {
        const char tag = bytes[at];
        const std::size_t length = tag == 'M' ? 1 + 8 + 5 * n : tag == 'R' ? 1 + 6 + 2 * n : 0;
        if (length == 0 || at + length > bytes.size()) return;  // cut short, or not ours
        Reader in{reinterpret_cast<const unsigned char*>(bytes.data()) + at + 1};
        at += length;
        if (tag == 'M') {
            const UnitHistory::Minute m = read_minute(in, n, to);
            if (m.minute * 60.0 >= oldest && m.minute * 60.0 <= newest) history.restore(m);
            continue;
        }
        UnitHistory::Round r{};
        r.second = in.u32();
        r.millis = in.u16();
        for (std::size_t i = 0; i < n && same; ++i) r.words[i] = in.u16();
        // Rounds of another point table cannot say which of their words are missing.
        if (same && r.second >= now - UnitHistory::kRoundSpan - 60 && r.second <= newest)
            history.restore(r);
    }
}

std::string HistoryFile::encode_all(const UnitHistory& history) {
    std::string out = header();
    const std::uint32_t current = history.current_minute();
    for (std::uint32_t m = current > UnitHistory::kMinutes ? current - UnitHistory::kMinutes + 1
                                                           : 1;
         m <= current && current > 0; ++m)
        if (const UnitHistory::Minute* minute = history.minute_at(m)) put_minute(out, *minute);
    history.rounds([&out](const UnitHistory::Round& r) { put_round(out, r); });
    return out;
}

std::string HistoryFile::load(UnitHistory& history, double now) {
    std::ifstream in(path_, std::ios::binary);
    if (!in) return errno == ENOENT ? "" : path_ + ": " + std::strerror(errno);
    std::ostringstream all;
    all << in.rdbuf();
    const std::string bytes = all.str();
    if (bytes.size() > kLargest) return path_ + ": too large for a unit's history, left aside";
    std::array<std::size_t, 256> to{};
    bool same = false;
    if (!bytes.empty() && read_header(bytes, to, same) == 0)
        return path_ + ": not a unit's history, left aside";
    decode(bytes, history, now);
    saved_rounds_ = history.rounds_added();
    saved_minute_ = history.current_minute() > 0 ? history.current_minute() - 1 : 0;
    size_ = bytes.size();
    whole_ = true;  // starts the file anew with what was kept
    return {};
}

std::string HistoryFile::take_new(const UnitHistory& history, bool all) {
    const std::uint32_t current = history.current_minute();
    if (current == 0) return {};  // no round yet
    // The minute still being filled is written again once it is whole.
    const std::uint32_t before = saved_minute_;
    saved_minute_ = current - 1;
    if (whole_ || size_ == 0 || size_ > kRewriteAt) {
        whole_ = true;
        saved_rounds_ = history.rounds_added();
        return encode_all(history);
    }
    std::string out;
    const std::uint32_t first =
        current > UnitHistory::kMinutes ? current - UnitHistory::kMinutes + 1 : 1;
    for (std::uint32_t m = std::max(before + 1, first); m < current + (all ? 1 : 0); ++m)
        if (const UnitHistory::Minute* minute = history.minute_at(m)) put_minute(out, *minute);
    const std::uint64_t fresh = history.rounds_added() - saved_rounds_;
    std::uint64_t skip = 0;
    history.rounds([&](const UnitHistory::Round&) { ++skip; });
    skip = skip > fresh ? skip - fresh : 0;
    history.rounds([&](const UnitHistory::Round& r) {
        if (skip > 0) --skip;
        else put_round(out, r);
    });
    saved_rounds_ = history.rounds_added();
    return out;
}

std::string HistoryFile::write(const std::string& bytes) {
    if (bytes.empty()) return {};
    const bool whole = whole_;
    const std::string target = whole ? path_ + ".new" : path_;
    const int fd =
        ::open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (whole ? O_TRUNC : O_APPEND), 0640);
    if (fd < 0) return target + ": " + std::strerror(errno);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    const bool synced = !whole || ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    // What could not be written is written with the rest, whole, next time.
    whole_ = true;
    if (done < bytes.size() || !synced) return target + ": " + std::strerror(error);
    if (whole && std::rename(target.c_str(), path_.c_str()) != 0)
        return path_ + ": " + std::strerror(errno);
    size_ = whole ? bytes.size() : size_ + bytes.size();
    whole_ = false;
    return {};
}

}  // namespace quillark_agent
