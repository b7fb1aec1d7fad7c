// Serves a simulated unit to Modbus masters over TCP (several connections,
// one request at a time) or over a serial line (RTU).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "host/standin/modbus_transport.h"
#include "hostkit/simunit/unit.h"

struct _modbus;

namespace quillark_sim {

struct ServerSettings {
    // The same link settings a master uses. TCP: the address and port to
    // listen on (port "0" picks a free one). `unit`: the id answered (the first
    // of a range, see below).
    standin::LinkSettings link = [] {
        standin::LinkSettings tcp;
        tcp.port = "0";
        return tcp;
    }();
    bool verbose = false;  // one line per request on stderr
};

class Server {
public:
    // Listens (TCP) or opens the serial device (RTU); throws std::runtime_error.
    Server(SimulatedUnit& unit, ServerSettings settings);
    // Several units behind one gateway (TCP only): units[i] answers as unit
    // id settings.unit + i.
    Server(std::vector<SimulatedUnit*> units, ServerSettings settings);
    ~Server();  // stops and joins the background thread, if any
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    int port() const { return port_; }  // TCP: the port bound
    std::string where() const;          // "127.0.0.1:1502" or the device

    void run();    // serves until stop()
    void start();  // run() on a background thread
    // Safe from any thread and from a signal handler.
    void stop();

private:
    bool serve_one(int fd);
    bool pause(int ms);  // false if stopped meanwhile
    bool reopen_serial();
    void close_serial();

    std::vector<SimulatedUnit*> units_;
    ServerSettings settings_;
    _modbus* ctx_ = nullptr;
    int listen_fd_ = -1;
    int serial_fd_ = -1;
    int port_ = 0;
    int stop_pipe_[2] = {-1, -1};
    std::thread thread_;
};

}  // namespace quillark_sim
