// The agent's HTTP face against hostile clients, with real sockets, a real
// simulator and certificates made by openssl: slow and idle clients, TLS
// with client certificates, and requests pipelined on one connection.
#include <fcntl.h>
#include <sys/resource.h>

#include <atomic>
#include <thread>

#include <httplib.h>

#include "tests/tools/agent_fixtures.h"

using namespace agent_tests;

namespace {

// Everything the agent sends until it closes the connection; false if it
// has not closed it in 15 s.
bool read_to_end(int fd, std::string& all) {
    timeval limit{15, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    char chunk[65536];
    ssize_t n;
    while ((n = recv(fd, chunk, sizeof chunk, 0)) > 0)
        all.append(chunk, static_cast<std::size_t>(n));
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

// Slow clients that send their request one byte a second and idle ones that
// send nothing, more of them than the service's 1024 descriptors: the agent
// keeps answering, a slow request is cut off, and a link that loses its
// connection still gets a socket for the next.
TEST(AgentHttp, SlowAndIdleClientsNeitherStopAnswersNorTakeTheLinksSockets) {
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 4096);
    if (setrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur < 1500)
        GTEST_SKIP() << "cannot open 1500 files";
    ScratchDir dir;
    const int sim_port = free_port();
    auto sim = std::make_unique<Child>(
        tool(kSim, {"--tcp", "127.0.0.1:" + std::to_string(sim_port), "--steady"}), dir, "sim");
    const int port = free_port();
    write_file(dir.file("agent.toml"), http(port) + link("gw", sim_port) + unit("ac01", "gw", 1));
    // As the service runs it: 1024 descriptors.
    std::vector<std::string> argv = tool(kAgent, {"--config", dir.file("agent.toml")});
    argv.insert(argv.begin(), {"prlimit", "--nofile=1024", "--"});
    Child agent(argv, dir, "agent");
    ASSERT_TRUE(wait_until([&] { return unit_json(port, "ac01")["online"].asBool(); }, kLimit))
        << agent.err();

    std::vector<int> idle;
    for (int i = 0; i < 1100; ++i) idle.push_back(connect_to(port, false));
    std::atomic<bool> done{false};
    std::vector<int> slow;
    for (int i = 0; i < 12; ++i) slow.push_back(connect_to(port));
    std::thread trickle([&] {
        const std::string request = "GET /metrics HTTP/1.1\r\nHost: agent\r\n\r\n";
        for (std::size_t sent = 0; !done; ++sent) {
            for (int fd : slow) send(fd, &request[sent % request.size()], 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(1s);
        }
    });

    for (int i = 0; i < 3; ++i) {
        int status = 0;
        EXPECT_NE(get(port, "/metrics", &status).find("quillark_up{unit=\"ac01\"} 1"),
                  std::string::npos);
        EXPECT_EQ(status, 200);
    }
    // A request still unfinished after its time is cut off.
    std::string answer;
    EXPECT_TRUE(read_to_end(slow[0], answer));
    EXPECT_EQ(answer, "");

    // The simulator goes away and comes back: the link opens a new socket.
    sim->signal(SIGTERM);
    sim->wait(kLimit);
    EXPECT_TRUE(wait_until([&] { return !unit_json(port, "ac01")["online"].asBool(); }, kLimit));
    sim = std::make_unique<Child>(
        tool(kSim, {"--tcp", "127.0.0.1:" + std::to_string(sim_port), "--steady"}), dir, "sim2");
    EXPECT_TRUE(wait_until([&] { return unit_json(port, "ac01")["online"].asBool(); }, kLimit))
        << agent.err() << sim->err();

    done = true;
    trickle.join();
    for (int fd : slow) close(fd);
    for (int fd : idle) close(fd);
}

// Two requests sent at once on one connection get two answers, in order.
TEST(AgentHttp, PipelinedRequestsAreAnsweredInOrder) {
    ScratchDir dir;
    Sim sim(dir, "sim", {"--steady"});
    const int port = free_port();
    auto agent = run_agent(dir, "agent", http(port) + link("gw", sim.port) + unit("ac01", "gw", 1));
    ASSERT_TRUE(wait_until([&] { return unit_json(port, "ac01")["online"].asBool(); }, kLimit))
        << agent->err();
    const int fd = connect_to(port);
    const std::string requests =
        "GET /api/units/ac01 HTTP/1.1\r\nHost: agent\r\n\r\n"
        "GET /favicon.svg HTTP/1.1\r\nHost: agent\r\nConnection: close\r\n\r\n";
    ASSERT_EQ(send(fd, requests.data(), requests.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(requests.size()));
    std::string answers;
    EXPECT_TRUE(read_to_end(fd, answers));
    close(fd);
    const std::size_t first = answers.find("HTTP/1.1 200 OK");
    const std::size_t second = answers.find("HTTP/1.1 200 OK", first + 1);
    ASSERT_NE(second, std::string::npos) << answers.substr(0, 400);
    EXPECT_NE(answers.find("\"name\":\"ac01\"", first), std::string::npos);
    EXPECT_LT(answers.find("application/json"), second);
    EXPECT_GT(answers.find("image/svg+xml"), second);
}

// A CA, a server certificate for 127.0.0.1 and a client certificate, made by
// openssl in `dir`.
void make_certificates(const ScratchDir& dir) {
    const std::string script =
        "cd " + dir.path() +
        " && "
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj /CN=row-ca && "
        "openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj /CN=agent && "
        "printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\n' > server.ext && "
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
        "-extfile server.ext -out server.pem && "
        "openssl req -newkey rsa:2048 -nodes -keyout client.key -out client.csr -subj /CN=prometheus && "
        "openssl x509 -req -in client.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -out client.pem";
    ASSERT_EQ(system(("(" + script + ") > " + dir.file("openssl.log") + " 2>&1").c_str()), 0)
        << read_file(dir.file("openssl.log"));
}

// TLS with client certificates: a client with one and the token is answered;
// one without a certificate, or speaking plain HTTP, is not.
TEST(AgentHttp, TlsAnswersOnlyClientsWithACertificate) {
    ScratchDir dir;
    make_certificates(dir);
    write_file(dir.file("token"), "s3cret\n");
    Sim sim(dir, "sim", {"--steady"});
    const int port = free_port();
    auto agent =
        run_agent(dir, "agent",
                  http(port) + "token_file = \"" + dir.file("token") + "\"\ncert_file = \"" +
                      dir.file("server.pem") + "\"\nkey_file = \"" + dir.file("server.key") +
                      "\"\nclient_ca_file = \"" + dir.file("ca.pem") + "\"\n" +
                      link("gw", sim.port) + unit("ac01", "gw", 1));
    ASSERT_TRUE(wait_until(
        [&] { return agent->err().find("metrics on https://127.0.0.1:") != std::string::npos; },
        kLimit))
        << agent->err();

    httplib::SSLClient client("127.0.0.1", port, dir.file("client.pem"), dir.file("client.key"));
    client.set_ca_cert_path(dir.file("ca.pem").c_str());
    client.enable_server_certificate_verification(true);
    std::string metrics;
    EXPECT_TRUE(wait_until(
        [&] {
            auto res = client.Get("/metrics",
                                  {{"Authorization", "bearer s3cret"}});  // the scheme in any case
            metrics = res ? res->body : "";
            return res && res->status == 200 &&
                   metrics.find("quillark_up{unit=\"ac01\"} 1") != std::string::npos;
        },
        kLimit))
        << metrics << agent->err();
    auto refused = client.Get("/metrics");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 401);

    httplib::SSLClient stranger("127.0.0.1", port);
    stranger.set_ca_cert_path(dir.file("ca.pem").c_str());
    stranger.enable_server_certificate_verification(true);
    EXPECT_FALSE(stranger.Get("/metrics", {{"Authorization", "Bearer s3cret"}}));
    httplib::Client plain("127.0.0.1", port);
    EXPECT_FALSE(plain.Get("/metrics", {{"Authorization", "Bearer s3cret"}}));
    agent->signal(SIGTERM);
    EXPECT_EQ(agent->wait(kLimit), 0);
}

}  // namespace
