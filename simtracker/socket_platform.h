// The few places where POSIX sockets and Winsock differ, for tcp_socket.cpp and
// tcp_listener.cpp only (include after the platform's socket headers).
#pragma once

#include <cstdint>

#include "simtracker/tcp_socket.h"

namespace okulon::sim {

#ifdef _WIN32
using NativeSocket = SOCKET;
constexpr int kSendFlags = 0;

inline bool IsValidNativeSocket(intptr_t handle) { return static_cast<SOCKET>(handle) != INVALID_SOCKET; }
inline void CloseNativeSocket(intptr_t handle) { closesocket(static_cast<SOCKET>(handle)); }
inline bool SetNonBlocking(intptr_t handle) {
    u_long on = 1;
    return ioctlsocket(static_cast<SOCKET>(handle), FIONBIO, &on) == 0;
}
inline bool LastErrorWouldBlock() { return WSAGetLastError() == WSAEWOULDBLOCK; }
inline bool LastErrorAddressInUse() { return WSAGetLastError() == WSAEADDRINUSE; }
inline bool ConnectInProgress() { return WSAGetLastError() == WSAEWOULDBLOCK; }

inline TcpSocket::Wait WaitNativeSocket(intptr_t handle, bool forWriting, int timeoutMs) {
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(static_cast<SOCKET>(handle), &ready);
    fd_set failed;  // a failed non-blocking connect shows up here on Winsock
    FD_ZERO(&failed);
    FD_SET(static_cast<SOCKET>(handle), &failed);
    timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int result = select(0, forWriting ? nullptr : &ready, forWriting ? &ready : nullptr, &failed, &timeout);
    if (result < 0) return TcpSocket::Wait::kError;
    if (result == 0) return TcpSocket::Wait::kTimeout;
    // A failed connect counts as ready: the caller reads SO_ERROR.
    return TcpSocket::Wait::kReady;
}
#else
using NativeSocket = int;
constexpr int kSendFlags = MSG_NOSIGNAL;  // a vanished peer must not kill the process with SIGPIPE

inline bool IsValidNativeSocket(intptr_t handle) { return handle >= 0; }
inline void CloseNativeSocket(intptr_t handle) { ::close(static_cast<int>(handle)); }
inline bool SetNonBlocking(intptr_t handle) {
    const int flags = fcntl(static_cast<int>(handle), F_GETFL, 0);
    return flags >= 0 && fcntl(static_cast<int>(handle), F_SETFL, flags | O_NONBLOCK) == 0;
}
inline bool LastErrorWouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }
inline bool LastErrorAddressInUse() { return errno == EADDRINUSE; }
inline bool ConnectInProgress() { return errno == EINPROGRESS; }

inline TcpSocket::Wait WaitNativeSocket(intptr_t handle, bool forWriting, int timeoutMs) {
    pollfd entry{};
    entry.fd = static_cast<int>(handle);
    entry.events = forWriting ? POLLOUT : POLLIN;
    const int result = poll(&entry, 1, timeoutMs < 0 ? 0 : timeoutMs);
    if (result < 0) return errno == EINTR ? TcpSocket::Wait::kTimeout : TcpSocket::Wait::kError;
    if (result == 0) return TcpSocket::Wait::kTimeout;
    // Hang-up and error count as ready: the next read or write reports them.
    return TcpSocket::Wait::kReady;
}
#endif

// Samples are small and must not wait for Nagle's algorithm.
inline bool PrepareStreamSocket(intptr_t handle) {
    int on = 1;
    return setsockopt(static_cast<NativeSocket>(handle), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                      sizeof on) == 0;
}

}  // namespace okulon::sim
