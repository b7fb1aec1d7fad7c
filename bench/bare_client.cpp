// The yardstick for the agent's cost: a bare libmodbus client that does the
// same 46 reads per unit round, one thread per link, units of a link in turn,
// each unit at its interval. Prints rounds done and CPU seconds used.
// BARE_FLUSH=1 flushes the link before each request, as the host's transport does.
//   quillark_bare_client SECONDS INTERVAL PORT:FIRST-LAST [PORT:FIRST-LAST ...]
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <modbus.h>

#include "quillark/record.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Link {
    int port = 0;
    int first = 1;
    int last = 1;
};

std::atomic<long> g_rounds{0};
std::atomic<long> g_failed{0};

bool g_flush = false;  // flush before each request, as the stand-in host's transport does

bool round_of(modbus_t* ctx, int unit) {
    std::uint8_t bits[64];
    std::uint16_t words[16];
    modbus_set_slave(ctx, unit);
    for (const quillark::PollRead& read : quillark::kPollReads) {
        if (g_flush) modbus_flush(ctx);
        const int rc = read.kind == quillark::ReadKind::Bits
                           ? modbus_read_input_bits(ctx, read.address, read.count, bits)
                           : modbus_read_input_registers(ctx, read.address, read.count, words);
        if (rc != read.count) return false;
    }
    return true;
}

void run_link(const Link& link, double seconds, double interval) {
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", link.port);
    if (ctx == nullptr || modbus_connect(ctx) == -1) {
        std::fprintf(stderr, "bare client: cannot connect to port %d\n", link.port);
        return;
    }
    modbus_set_response_timeout(ctx, 1, 0);
    const auto start = Clock::now();
    const auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    const auto step =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(interval));
    for (auto due = start; due < end; due += step) {
        std::this_thread::sleep_until(due);
        for (int unit = link.first; unit <= link.last; ++unit)
            (round_of(ctx, unit) ? g_rounds : g_failed)++;
    }
    modbus_close(ctx);
    modbus_free(ctx);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s SECONDS INTERVAL PORT:FIRST-LAST...\n", argv[0]);
        return 2;
    }
    g_flush = std::getenv("BARE_FLUSH") != nullptr;
    const double seconds = std::atof(argv[1]);
    const double interval = std::atof(argv[2]);
    std::vector<Link> links;
    for (int i = 3; i < argc; ++i) {
        Link link;
        if (std::sscanf(argv[i], "%d:%d-%d", &link.port, &link.first, &link.last) != 3) return 2;
        links.push_back(link);
    }
    std::vector<std::thread> threads;
    for (const Link& link : links) threads.emplace_back(run_link, link, seconds, interval);
    for (auto& thread : threads) thread.join();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double user = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6;
    const double sys = usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
    std::printf("rounds %ld failed %ld user %.3f sys %.3f maxrss_kb %ld\n", g_rounds.load(),
                g_failed.load(), user, sys, usage.ru_maxrss);
    return 0;
}
