// Owner of one non-blocking TCP stream socket, over POSIX sockets or Winsock.
// Every wait has a time-out, so no caller can block forever on a peer that
// went silent. Used by one thread at a time; moved, never copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace okulon::sim {

// Makes sure the socket library is ready (Winsock needs WSAStartup); idempotent.
bool SocketsStartup();

class TcpSocket {
public:
    enum class Io { kOk, kWouldBlock, kClosed, kError };
    enum class Wait { kReady, kTimeout, kError };

    TcpSocket() = default;
    explicit TcpSocket(intptr_t handle);
    ~TcpSocket();
    TcpSocket(TcpSocket&& other) noexcept;
    TcpSocket& operator=(TcpSocket&& other) noexcept;
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // Resolves host (IPv4) and connects within timeoutMs.
    static TcpSocket Connect(const std::string& host, uint16_t port, int timeoutMs, std::string* error);

    bool IsOpen() const { return m_handle != kInvalid; }
    void Close();

    Io Send(const uint8_t* data, size_t size, size_t* sent);
    Io Receive(uint8_t* data, size_t size, size_t* received);
    Wait WaitReadable(int timeoutMs);
    Wait WaitWritable(int timeoutMs);

    // Sends everything, waiting at most timeoutMs for the peer to make room.
    bool SendAll(const uint8_t* data, size_t size, int timeoutMs);

    static constexpr intptr_t kInvalid = -1;

private:
    intptr_t m_handle = kInvalid;
};

}  // namespace okulon::sim
