#include "simtracker/tcp_socket.h"

#include <chrono>
#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "simtracker/socket_platform.h"

namespace okulon::sim {

bool SocketsStartup() {
#ifdef _WIN32
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
#else
    return true;
#endif
}

TcpSocket::TcpSocket(intptr_t handle) : m_handle(handle) {}

TcpSocket::~TcpSocket() { Close(); }

TcpSocket::TcpSocket(TcpSocket&& other) noexcept : m_handle(other.m_handle) { other.m_handle = kInvalid; }

TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept {
    if (this != &other) {
        Close();
        m_handle = other.m_handle;
        other.m_handle = kInvalid;
    }
    return *this;
}

void TcpSocket::Close() {
    if (m_handle != kInvalid) {
        CloseNativeSocket(m_handle);
        m_handle = kInvalid;
    }
}

TcpSocket TcpSocket::Connect(const std::string& host, uint16_t port, int timeoutMs, std::string* error) {
    const auto fail = [error](const std::string& why) {
        if (error != nullptr) *error = why;
        return TcpSocket();
    };
    if (!SocketsStartup()) return fail("socket library unavailable");

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
        return fail("cannot resolve " + host);
    }
    sockaddr_in address{};
    std::memcpy(&address, found->ai_addr, sizeof address);
    freeaddrinfo(found);

    TcpSocket socket(static_cast<intptr_t>(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)));
    if (!IsValidNativeSocket(socket.m_handle)) {
        socket.m_handle = kInvalid;
        return fail("socket() failed");
    }
    if (!SetNonBlocking(socket.m_handle) || !PrepareStreamSocket(socket.m_handle)) {
        return fail("cannot configure socket");
    }
    const int result = ::connect(static_cast<NativeSocket>(socket.m_handle),
                                 reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (result != 0 && !ConnectInProgress()) {
        return fail("connection refused");
    }
    if (result != 0) {
        if (socket.WaitWritable(timeoutMs) != Wait::kReady) return fail("connection timed out");
        int socketError = 0;
        socklen_t length = sizeof socketError;
        if (getsockopt(static_cast<NativeSocket>(socket.m_handle), SOL_SOCKET, SO_ERROR,
                       reinterpret_cast<char*>(&socketError), &length) != 0 ||
            socketError != 0) {
            return fail("connection refused");
        }
    }
    return socket;
}

TcpSocket::Io TcpSocket::Send(const uint8_t* data, size_t size, size_t* sent) {
    *sent = 0;
    if (!IsOpen()) return Io::kClosed;
    const auto chunk = static_cast<int>(size > 1 << 20 ? 1 << 20 : size);
    const auto result =
        ::send(static_cast<NativeSocket>(m_handle), reinterpret_cast<const char*>(data), chunk, kSendFlags);
    if (result >= 0) {
        *sent = static_cast<size_t>(result);
        return Io::kOk;
    }
    return LastErrorWouldBlock() ? Io::kWouldBlock : Io::kError;
}

TcpSocket::Io TcpSocket::Receive(uint8_t* data, size_t size, size_t* received) {
    *received = 0;
    if (!IsOpen()) return Io::kClosed;
    const auto chunk = static_cast<int>(size > 1 << 20 ? 1 << 20 : size);
    const auto result = ::recv(static_cast<NativeSocket>(m_handle), reinterpret_cast<char*>(data), chunk, 0);
    if (result > 0) {
        *received = static_cast<size_t>(result);
        return Io::kOk;
    }
    if (result == 0) return Io::kClosed;
    return LastErrorWouldBlock() ? Io::kWouldBlock : Io::kError;
}

TcpSocket::Wait TcpSocket::WaitReadable(int timeoutMs) {
    if (!IsOpen()) return Wait::kError;
    return WaitNativeSocket(m_handle, false, timeoutMs);
}

TcpSocket::Wait TcpSocket::WaitWritable(int timeoutMs) {
    if (!IsOpen()) return Wait::kError;
    return WaitNativeSocket(m_handle, true, timeoutMs);
}

bool TcpSocket::SendAll(const uint8_t* data, size_t size, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t done = 0;
    while (done < size) {
        size_t sent = 0;
        const Io io = Send(data + done, size - done, &sent);
        if (io == Io::kOk) {
            done += sent;
            continue;
        }
        if (io != Io::kWouldBlock) return false;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return false;
        if (WaitWritable(static_cast<int>(left)) == Wait::kError) return false;
    }
    return true;
}

}  // namespace okulon::sim
