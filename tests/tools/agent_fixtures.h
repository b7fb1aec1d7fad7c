// The agent's integration tests' own parts: a broker, a subscriber and
// simulators on free loopback ports, configuration snippets, the agent as a
// child process and its HTTP answers. The bodies live in agent_fixtures.cpp,
// so that the HTTP and MQTT client libraries are compiled once, not in every
// test file.
#pragma once

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/tools/child.h"

struct mosquitto;
struct mosquitto_message;

namespace agent_tests {

using namespace tool_tests;
using namespace std::chrono_literals;

inline const std::string kAgent = QUILLARK_AGENT;
inline const std::string kPoll = QUILLARK_POLL;
inline const std::string kSim = QUILLARK_SIM;
constexpr milliseconds kLimit = 15s;

bool have(const char* program);
int free_port();
// A raw TCP connection to the agent; non-blocking connects when `wait` is false.
int connect_to(int port, bool wait = true);

// Test certificates made with openssl: a CA and the broker's certificate for
// 127.0.0.1 signed by it, and a second CA that signed nothing of the broker's.
struct Certs {
    explicit Certs(const ScratchDir& dir);
    // The broker's listener settings for TLS.
    // A broker started as root reads its files as root: the scratch
    // directory is its own owner's alone.
    std::string listener() const;
    std::string ca, other_ca, cert, key;
    bool made = false;
};

// A broker password file with one user, made with mosquitto_passwd; the
// listener settings that ask for it.
std::string password_listener(const ScratchDir& dir, const std::string& user,
                              const std::string& password);

// A broker of our own on a free loopback port, stopped by its pid. `listener`
// is the listener's settings (TLS, passwords); anyone may connect without.
class Broker {
public:
    Broker(const ScratchDir& dir, int port = 0, std::string listener = "");
    // Files named by port and start: two brokers in one test each wait for their own.
    void start();
    void kill();
    int port() const { return port_; }

private:
    const ScratchDir& dir_;
    int port_;
    std::string listener_;
    int starts_ = 0;
    std::unique_ptr<Child> child_;
};

// Watches every topic under the prefix (or `filter`): the latest payload of
// each and the order in which they came.
class Subscriber {
public:
    explicit Subscriber(int port, std::string filter = "quillark/#");
    ~Subscriber();
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;
    std::string latest(const std::string& topic);
    bool wait_for(const std::string& topic, const std::string& payload);
    bool wait_for_any(const std::string& topic);
    std::vector<std::string> log();
    void publish(const std::string& topic, const std::string& payload, bool retained = false);
    // Once its own message on quillark/probe comes back, the subscription is
    // in place at the broker: what is published from then on is seen.
    bool subscribed(const std::string& mark = "here");
    // How many messages came on `topic` so far.
    std::size_t count(const std::string& topic);
    void forget();
    // The QoS the latest message on `topic` came with (the lower of the
    // publisher's and this subscription's, 1); -1 before any.
    int qos(const std::string& topic);
    // The latest payload of every topic seen.
    std::map<std::string, std::string> topics();

private:
    static void on_message(mosquitto*, void* self, const mosquitto_message* msg);
    std::string filter_;
    mosquitto* client_;
    std::mutex mutex_;
    std::map<std::string, std::string> latest_;
    std::map<std::string, int> qos_;
    std::vector<std::string> log_;
};

// A simulator on a free port, with extra arguments.
struct Sim {
    Sim(const ScratchDir& dir, const std::string& name, std::vector<std::string> args);
    std::unique_ptr<Child> child;
    int port = 0;
};

std::string link(const std::string& name, int port, const std::string& extra = "");
std::string unit(const std::string& name, const std::string& on, int id,
                 const std::string& extra = "");
std::string mqtt(int port, const std::string& client);
std::string http(int port);

std::unique_ptr<Child> run_agent(const ScratchDir& dir, const std::string& name,
                                 const std::string& toml);

// The body of a GET to the agent (tried until it answers or kLimit); its
// HTTP status in `status` if given.
std::string get(int port, const std::string& path, int* status = nullptr);

// A unit as the API gives it, and the rounds it has completed.
Json::Value unit_json(int port, const std::string& name);
int rounds_complete(int port, const std::string& name);

class AgentTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!have("mosquitto")) GTEST_SKIP() << "mosquitto is not installed";
    }
    ScratchDir dir;
};

}  // namespace agent_tests
