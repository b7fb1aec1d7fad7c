// A flood of MQTT writes to one unit of a running agent, and what it does to
// the rhythm of the other units' rounds (bench/agent_write_flood.sh runs it).
// Every unit's status is timed as it arrives, one per complete round; the
// worst gap between two of a unit's statuses is told for the quiet time
// before the flood and for the flood itself (from its first write until the
// last write has its result).
//   quillark_agent_flood BROKER_PORT UNIT FIRST_REG LAST_REG WRITES QUIET_SECONDS
#include <mosquitto.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Seen {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, std::vector<Clock::time_point>> statuses;  // by unit
    std::map<std::string, long> results;                              // by text
    long result_count = 0;
};

void on_message(mosquitto*, void* context, const mosquitto_message* message) {
    auto& seen = *static_cast<Seen*>(context);
    const std::string topic = message->topic;
    const std::string payload(static_cast<const char*>(message->payload),
                              static_cast<std::size_t>(message->payloadlen));
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(seen.mutex);
    const std::size_t first = topic.find('/');
    const std::size_t second = topic.find('/', first + 1);
    if (topic.compare(second, std::string::npos, "/status") == 0) {
        if (!payload.empty()) seen.statuses[topic.substr(first + 1, second - first - 1)].push_back(now);
    } else {
        ++seen.results[payload];
        ++seen.result_count;
    }
    seen.changed.notify_all();
}

struct Gap {
    double seconds = 0;
    std::string unit;
};

// The worst gap between statuses of any unit but `skip`, for the gaps that
// end in [from, to].
Gap worst_gap(const Seen& seen, const std::string& skip, Clock::time_point from, Clock::time_point to) {
    Gap worst;
    for (const auto& [unit, times] : seen.statuses) {
        if (unit == skip) continue;
        for (std::size_t i = 1; i < times.size(); ++i) {
            if (times[i] < from || times[i] > to) continue;
            const double gap = std::chrono::duration<double>(times[i] - times[i - 1]).count();
            if (gap > worst.seconds) worst = {gap, unit};
        }
    }
    return worst;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: %s BROKER_PORT UNIT FIRST_REG LAST_REG WRITES QUIET_SECONDS\n", argv[0]);
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const std::string unit = argv[2];
    const int first_reg = std::atoi(argv[3]);
    const int last_reg = std::atoi(argv[4]);
    const long writes = std::atol(argv[5]);
    const int quiet = std::atoi(argv[6]);

    Seen seen;
    mosquitto_lib_init();
    mosquitto* client = mosquitto_new(nullptr, true, &seen);
    mosquitto_message_callback_set(client, on_message);
    mosquitto_max_inflight_messages_set(client, 0);  // the flood as fast as the broker takes it
    if (mosquitto_connect(client, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "cannot connect to the broker on port %d\n", port);
        return 1;
    }
    mosquitto_subscribe(client, nullptr, "quillark/+/status", 0);
    mosquitto_subscribe(client, nullptr, ("quillark/" + unit + "/set/+/result").c_str(), 1);
    mosquitto_loop_start(client);

    const auto quiet_from = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(quiet));
    const auto flood_from = Clock::now();
    for (long i = 0; i < writes; ++i) {
        const int reg = first_reg + static_cast<int>(i % (last_reg - first_reg + 1));
        const std::string topic = "quillark/" + unit + "/set/" + std::to_string(reg);
        const std::string value = std::to_string(i % 65536);
        mosquitto_publish(client, nullptr, topic.c_str(), static_cast<int>(value.size()), value.data(), 1, false);
    }
    Clock::time_point flood_to;
    {
        // Results that stop coming for half a minute are not coming.
        std::unique_lock<std::mutex> lock(seen.mutex);
        while (seen.result_count < writes) {
            const long had = seen.result_count;
            seen.changed.wait_for(lock, std::chrono::seconds(30), [&] { return seen.result_count != had; });
            if (seen.result_count == had) break;
        }
        flood_to = Clock::now();
        if (seen.result_count < writes)
            std::printf("only %ld of %ld results came\n", seen.result_count, writes);
    }
    // The rounds that were due while the last writes went out come now.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    mosquitto_disconnect(client);
    mosquitto_loop_stop(client, false);
    mosquitto_destroy(client);

    std::lock_guard<std::mutex> lock(seen.mutex);
    const Gap before = worst_gap(seen, unit, quiet_from, flood_from);
    const Gap during = worst_gap(seen, unit, flood_from, flood_to + std::chrono::seconds(3));
    long rounds = 0;
    for (const auto& [name, times] : seen.statuses)
        for (const auto& t : times) rounds += name != unit && t >= flood_from && t <= flood_to;
    std::printf("%ld writes to %s (registers %d-%d): all results in %.1f s; %zu other units, %ld of their rounds meanwhile\n",
                writes, unit.c_str(), first_reg, last_reg,
                std::chrono::duration<double>(flood_to - flood_from).count(), seen.statuses.size(), rounds);
    for (const auto& [text, count] : seen.results) std::printf("  %6ld  %s\n", count, text.c_str());
    std::printf("worst gap between a unit's rounds: %.3f s (%s) in %d s before the flood, %.3f s (%s) during it\n",
                before.seconds, before.unit.c_str(), quiet, during.seconds, during.unit.c_str());
    return 0;
}
