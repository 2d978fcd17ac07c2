#pragma once
// The small socket calls of the update tool: a TCP connection with a bounded
// wait, sends that never raise SIGPIPE, and one UDP broadcast datagram.
#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/SettingsCommands.h"

namespace ferrik {

std::string AddressText(const protocol::Ipv4& address);  // "%d.%d.%d.%d"

// Owns one socket descriptor.
class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() { Close(); }
    Socket(Socket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    bool Valid() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    void Close();

    // One send call: the count it sent, or -1 on failure. Retries when interrupted.
    long SendOnce(const std::uint8_t* data, std::size_t length);

private:
    int fd_ = -1;
};

// Connects to address:port, waiting at most `timeoutMs`. Invalid on failure.
Socket ConnectTcp(const protocol::Ipv4& address, std::uint16_t port, int timeoutMs);
// A UDP socket with SO_BROADCAST on. Invalid on failure.
Socket BroadcastSocket();
// Sends one datagram to host:port. False when it could not be sent whole.
bool SendDatagram(const Socket& socket, const std::string& host, std::uint16_t port,
                  const std::uint8_t* data, std::size_t length);

}  // namespace ferrik
