#include "simtracker/tcp_listener.h"

#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "simtracker/socket_platform.h"

namespace okulon::sim {

TcpListener::~TcpListener() { Close(); }

void TcpListener::Close() {
    if (m_handle != TcpSocket::kInvalid) {
        CloseNativeSocket(m_handle);
        m_handle = TcpSocket::kInvalid;
    }
}

bool TcpListener::Listen(uint16_t port, std::string* error) {
    const auto fail = [this, error](const std::string& why) {
        Close();
        if (error != nullptr) *error = why;
        return false;
    };
    Close();
    m_portInUse = false;
    if (!SocketsStartup()) return fail("socket library unavailable");
    m_handle = static_cast<intptr_t>(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!IsValidNativeSocket(m_handle)) {
        m_handle = TcpSocket::kInvalid;
        return fail("socket() failed");
    }
#ifndef _WIN32
    // A restarted server may take the port of one that just ended (TIME_WAIT);
    // on Winsock the same option would let two servers share a port.
    int on = 1;
    setsockopt(static_cast<NativeSocket>(m_handle), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on),
               sizeof on);
#endif
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(static_cast<NativeSocket>(m_handle), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        // Read before fail() closes the socket, which may reset the error.
        m_portInUse = LastErrorAddressInUse();
        return fail("cannot bind 127.0.0.1:" + std::to_string(port) + (m_portInUse ? ": the port is in use" : ""));
    }
    if (::listen(static_cast<NativeSocket>(m_handle), 16) != 0) return fail("listen() failed");
    if (!SetNonBlocking(m_handle)) return fail("cannot configure socket");
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    if (getsockname(static_cast<NativeSocket>(m_handle), reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        return fail("getsockname() failed");
    }
    m_port = ntohs(bound.sin_port);
    return true;
}

TcpSocket TcpListener::Accept(int timeoutMs) {
    if (m_handle == TcpSocket::kInvalid) return TcpSocket();
    if (WaitNativeSocket(m_handle, false, timeoutMs) != TcpSocket::Wait::kReady) return TcpSocket();
    const auto accepted = static_cast<intptr_t>(::accept(static_cast<NativeSocket>(m_handle), nullptr, nullptr));
    if (!IsValidNativeSocket(accepted)) return TcpSocket();
    TcpSocket socket(accepted);
    if (!SetNonBlocking(accepted) || !PrepareStreamSocket(accepted)) return TcpSocket();
    return socket;
}

}  // namespace okulon::sim
