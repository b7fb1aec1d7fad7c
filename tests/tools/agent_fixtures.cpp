#include "tests/tools/agent_fixtures.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>
#include <mosquitto.h>

namespace agent_tests {

bool have(const char* program) {
    return system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

int connect_to(int port, bool wait) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (wait ? 0 : SOCK_NONBLOCK), 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
}

Certs::Certs(const ScratchDir& dir)
    : ca(dir.file("ca.pem")),
      other_ca(dir.file("other-ca.pem")),
      cert(dir.file("broker.pem")),
      key(dir.file("broker.key")) {
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2";
    write_file(dir.file("san.ext"), "subjectAltName=IP:127.0.0.1\n");
    const std::string script =
        "cd " + dir.path() + " && openssl req -x509" + ec +
        " -keyout ca.key -out ca.pem -subj /CN=test-ca" + " && openssl req -x509" + ec +
        " -keyout other-ca.key -out other-ca.pem -subj /CN=other-ca" + " && openssl req" + ec +
        " -keyout broker.key -out broker.csr -subj /CN=127.0.0.1" +
        " && openssl x509 -req -in broker.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2" +
        " -extfile san.ext -out broker.pem";
    made = system((script + " > openssl.out 2>&1").c_str()) == 0;
}

std::string Certs::listener() const {
    return "user root\ncafile " + ca + "\ncertfile " + cert + "\nkeyfile " + key +
           "\nallow_anonymous true\n";
}

std::string password_listener(const ScratchDir& dir, const std::string& user,
                              const std::string& password) {
    const std::string file = dir.file("broker-passwords");
    EXPECT_EQ(system(("mosquitto_passwd -b -c " + file + " " + user + " " + password +
                      " > /dev/null 2>&1")
                         .c_str()),
              0);
    return "user root\npassword_file " + file + "\nallow_anonymous false\n";
}

Broker::Broker(const ScratchDir& dir, int port, std::string listener)
    : dir_(dir), port_(port ? port : free_port()), listener_(std::move(listener)) {
    start();
}

void Broker::start() {
    const std::string name = "mosquitto-" + std::to_string(port_) + "-" + std::to_string(++starts_);
    write_file(dir_.file(name + ".conf"),
               "listener " + std::to_string(port_) + " 127.0.0.1\n" +
                   (listener_.empty() ? "allow_anonymous true\n" : listener_));
    child_ = std::make_unique<Child>(
        std::vector<std::string>{"mosquitto", "-c", dir_.file(name + ".conf")}, dir_, name);
    wait_until([&] { return child_->err().find("running") != std::string::npos; }, kLimit);
}

void Broker::kill() {
    child_->signal(SIGKILL);
    child_->wait(kLimit);
}

Subscriber::Subscriber(int port, std::string filter) : filter_(std::move(filter)) {
    mosquitto_lib_init();
    client_ = mosquitto_new(nullptr, true, this);
    mosquitto_connect_callback_set(client_, [](mosquitto* m, void* self, int) {
        mosquitto_subscribe(m, nullptr, static_cast<Subscriber*>(self)->filter_.c_str(), 1);
    });
    mosquitto_message_callback_set(client_, &Subscriber::on_message);
    mosquitto_reconnect_delay_set(client_, 1, 1, false);
    mosquitto_connect_async(client_, "127.0.0.1", port, 10);
    mosquitto_loop_start(client_);
}

void Subscriber::on_message(mosquitto*, void* self, const mosquitto_message* msg) {
    auto& me = *static_cast<Subscriber*>(self);
    std::lock_guard<std::mutex> lock(me.mutex_);
    const std::string payload(static_cast<const char*>(msg->payload),
                              static_cast<std::size_t>(msg->payloadlen));
    me.latest_[msg->topic] = payload;
    me.qos_[msg->topic] = msg->qos;
    me.log_.push_back(std::string(msg->topic) + " " + payload);
}

Subscriber::~Subscriber() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
}

std::string Subscriber::latest(const std::string& topic) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = latest_.find(topic);
    return it == latest_.end() ? "<none>" : it->second;
}

bool Subscriber::wait_for(const std::string& topic, const std::string& payload) {
    return wait_until([&] { return latest(topic) == payload; }, kLimit);
}

bool Subscriber::wait_for_any(const std::string& topic) {
    return wait_until([&] { return latest(topic) != "<none>"; }, kLimit);
}

std::vector<std::string> Subscriber::log() {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

void Subscriber::publish(const std::string& topic, const std::string& payload, bool retained) {
    mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                      payload.data(), 1, retained);
}

bool Subscriber::subscribed(const std::string& mark) {
    return wait_until(
        [&] {
            publish("quillark/probe", mark);
            return latest("quillark/probe") == mark;
        },
        kLimit);
}

std::size_t Subscriber::count(const std::string& topic) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = 0;
    for (const std::string& line : log_) n += line.compare(0, topic.size() + 1, topic + " ") == 0;
    return n;
}

void Subscriber::forget() {
    std::lock_guard<std::mutex> lock(mutex_);
    latest_.clear();
}

int Subscriber::qos(const std::string& topic) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = qos_.find(topic);
    return it == qos_.end() ? -1 : it->second;
}

std::map<std::string, std::string> Subscriber::topics() {
    std::lock_guard<std::mutex> lock(mutex_);
    return latest_;
}

Sim::Sim(const ScratchDir& dir, const std::string& name, std::vector<std::string> args) {
    args.insert(args.end(),
                {"--tcp", "127.0.0.1:0", "--port-file", dir.file(name + ".port"), "--verbose"});
    child = std::make_unique<Child>(tool(kSim, args), dir, name);
    wait_until([&] { return exists(dir.file(name + ".port")); }, kLimit);
    port = std::stoi(read_file(dir.file(name + ".port")));
}

std::string link(const std::string& name, int port, const std::string& extra) {
    return "[[link]]\nname = \"" + name + "\"\ntcp = \"127.0.0.1:" + std::to_string(port) +
           "\"\ntimeout_ms = 200\nretries = 0\n" + extra;
}

std::string unit(const std::string& name, const std::string& on, int id, const std::string& extra) {
    return "[[unit]]\nname = \"" + name + "\"\nlink = \"" + on +
           "\"\nunit_id = " + std::to_string(id) + "\ninterval = 0.3\n" + extra;
}

std::string mqtt(int port, const std::string& client) {
    return "[mqtt]\nbroker = \"mqtt://127.0.0.1:" + std::to_string(port) + "\"\nclient_id = \"" +
           client + "\"\nqos = 1\n";
}

std::string http(int port) {
    return "[http]\nlisten = \"127.0.0.1:" + std::to_string(port) + "\"\n";
}

std::unique_ptr<Child> run_agent(const ScratchDir& dir, const std::string& name,
                                 const std::string& toml) {
    write_file(dir.file(name + ".toml"), toml);
    return std::make_unique<Child>(tool(kAgent, {"--config", dir.file(name + ".toml")}), dir, name);
}

std::string get(int port, const std::string& path, int* status) {
    httplib::Client client("127.0.0.1", port);
    std::string body;
    wait_until(
        [&] {
            auto res = client.Get(path.c_str());
            if (!res) return false;
            if (status != nullptr) *status = res->status;
            body = res->body;
            return true;
        },
        kLimit);
    return body;
}

Json::Value unit_json(int port, const std::string& name) {
    return parse_json(get(port, "/api/units/" + name));
}

int rounds_complete(int port, const std::string& name) {
    return unit_json(port, name)["rounds_complete"].asInt();
}

}  // namespace agent_tests
