// Owner of a listening TCP socket bound to 127.0.0.1 only (the simulated
// tracker must not be reachable from other machines). Used by the server's
// accept thread after Listen.
#pragma once

#include <cstdint>
#include <string>

#include "simtracker/tcp_socket.h"

namespace okulon::sim {

class TcpListener {
public:
    TcpListener() = default;
    ~TcpListener();
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // port 0: any free port; Port() then tells which.
    bool Listen(uint16_t port, std::string* error);
    uint16_t Port() const { return m_port; }
    // After a failed Listen: the platform said that another socket holds the port.
    bool PortInUse() const { return m_portInUse; }

    // A new non-blocking connection, or a closed socket when none came within timeoutMs.
    TcpSocket Accept(int timeoutMs);

    void Close();

private:
    intptr_t m_handle = TcpSocket::kInvalid;
    uint16_t m_port = 0;
    bool m_portInUse = false;
};

}  // namespace okulon::sim
