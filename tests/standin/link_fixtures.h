// The far ends that the transport tests script: a serial line (a
// pseudo-terminal pair) or a TCP listener on a free loopback port, and the
// frames a scripted unit sends back.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/standin/modbus_transport.h"

namespace standin_tests {

using Bytes = std::vector<std::uint8_t>;

// A serial line as the transport sees it, with a short timeout.
inline standin::LinkSettings rtu_link(const std::string& device) {
    standin::LinkSettings link;
    link.kind = standin::LinkSettings::Kind::Rtu;
    link.device = device;
    link.timeout_ms = 200;
    return link;
}

// The frame with its Modbus RTU CRC appended, computed here rather than by
// the code under test.
inline Bytes with_crc(Bytes frame) {
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t byte : frame) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    return frame;
}

// A Modbus TCP answer: MBAP header, then the PDU.
inline Bytes tcp_frame(int transaction, int unit, const Bytes& pdu) {
    Bytes frame = {static_cast<std::uint8_t>((transaction >> 8) & 0xFF),
                   static_cast<std::uint8_t>(transaction & 0xFF),
                   0,
                   0,
                   0,
                   static_cast<std::uint8_t>(pdu.size() + 1),
                   static_cast<std::uint8_t>(unit)};
    for (std::uint8_t byte : pdu) frame.push_back(byte);
    return frame;
}

// A raw pseudo-terminal pair: the transport opens `device`, the scripted
// unit reads and writes `far`. `device` stays empty if none could be made.
class SerialPair {
public:
    SerialPair() {
        char name[128];
        if (openpty(&far_, &near_, name, nullptr, nullptr) != 0) return;
        termios raw{};
        tcgetattr(near_, &raw);
        cfmakeraw(&raw);
        tcsetattr(near_, TCSANOW, &raw);
        device_ = name;
    }
    ~SerialPair() {
        for (int fd : {far_, near_})
            if (fd != -1) close(fd);
    }
    SerialPair(const SerialPair&) = delete;
    SerialPair& operator=(const SerialPair&) = delete;

    int far() const { return far_; }
    const std::string& device() const { return device_; }

private:
    int far_ = -1;
    int near_ = -1;
    std::string device_;
};

// A listening socket on a free loopback port, closed with the object.
class LoopbackListener {
public:
    explicit LoopbackListener(int backlog) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ == -1 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(fd_, backlog) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port_ = ntohs(address.sin_port);
    }
    ~LoopbackListener() {
        if (fd_ != -1) close(fd_);
    }
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    int fd() const { return fd_; }
    int port() const { return port_; }  // 0 if the listener could not be set up

private:
    int fd_ = -1;
    int port_ = 0;
};

}  // namespace standin_tests
