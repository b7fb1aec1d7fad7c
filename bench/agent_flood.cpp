// A flood of MQTT writes to one unit of a running agent
// (bench/agent_write_flood.sh runs it): publishes WRITES writes to UNIT,
// cycling through registers FIRST_REG..LAST_REG, waits for their results and
// prints when the flood began and ended (Unix time) and what the results were.
//   quillark_agent_flood BROKER_PORT UNIT FIRST_REG LAST_REG WRITES
#include <mosquitto.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

namespace {

struct Results {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, long> by_text;
    long count = 0;
};

void on_message(mosquitto*, void* context, const mosquitto_message* message) {
    auto& results = *static_cast<Results*>(context);
    const std::string payload(static_cast<const char*>(message->payload),
                              static_cast<std::size_t>(message->payloadlen));
    std::lock_guard<std::mutex> lock(results.mutex);
    ++results.by_text[payload];
    ++results.count;
    results.changed.notify_all();
}

double unix_now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s BROKER_PORT UNIT FIRST_REG LAST_REG WRITES\n", argv[0]);
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const std::string unit = argv[2];
    const int first_reg = std::atoi(argv[3]);
    const int last_reg = std::atoi(argv[4]);
    const long writes = std::atol(argv[5]);

    Results results;
    mosquitto_lib_init();
    mosquitto* client = mosquitto_new(nullptr, true, &results);
    mosquitto_message_callback_set(client, on_message);
    mosquitto_max_inflight_messages_set(client, 0);  // the flood as fast as the broker takes it
    if (mosquitto_connect(client, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "cannot connect to the broker on port %d\n", port);
        return 1;
    }
    mosquitto_subscribe(client, nullptr, ("quillark/" + unit + "/set/+/result").c_str(), 1);
    mosquitto_loop_start(client);

    const double began = unix_now();
    for (long i = 0; i < writes; ++i) {
        const int reg = first_reg + static_cast<int>(i % (last_reg - first_reg + 1));
        const std::string topic = "quillark/" + unit + "/set/" + std::to_string(reg);
        const std::string value = std::to_string(i % 65536);
        mosquitto_publish(client, nullptr, topic.c_str(), static_cast<int>(value.size()),
                          value.data(), 1, false);
    }
    {
        // Results that stop coming for half a minute are not coming.
        std::unique_lock<std::mutex> lock(results.mutex);
        while (results.count < writes) {
            const long had = results.count;
            results.changed.wait_for(lock, std::chrono::seconds(30),
                                     [&] { return results.count != had; });
            if (results.count == had) break;
        }
    }
    const double ended = unix_now();
    mosquitto_disconnect(client);
    mosquitto_loop_stop(client, false);
    mosquitto_destroy(client);

    std::lock_guard<std::mutex> lock(results.mutex);
    std::printf("flood %.3f %.3f\n", began, ended);
    std::printf("%ld writes to %s (registers %d-%d), %ld results in %.1f s:\n", writes,
                unit.c_str(), first_reg, last_reg, results.count, ended - began);
    for (const auto& [text, count] : results.by_text)
        std::printf("  %6ld  %s\n", count, text.c_str());
    return 0;
}
