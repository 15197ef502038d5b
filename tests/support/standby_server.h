// A PostgreSQL 15 server that is up but refuses every connection: a fresh
// cluster started as a standby (standby.signal) with hot_standby off, so it
// stays in recovery and answers each start-up with SQLSTATE 57P03. Ping
// tests use it for a server that rejects.
//
// Like the shared cluster it runs as the "postgres" account in a temporary
// directory, with its own socket directory and port, and is stopped and
// removed by the destructor. A server that cannot be started throws.
#pragma once

#include <string>

namespace kelvotest {

class StandbyServer {
public:
    StandbyServer();
    ~StandbyServer();
    StandbyServer(const StandbyServer&) = delete;
    StandbyServer& operator=(const StandbyServer&) = delete;

    int Port() const { return m_port; }
    const std::string& SocketDir() const { return m_socket_dir; }

private:
    void Stop();

    std::string m_root_dir;
    std::string m_socket_dir;
    int m_port = 0;
    int m_server_pid = -1;
};

}  // namespace kelvotest
