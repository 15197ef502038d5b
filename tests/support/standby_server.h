// A PostgreSQL 15 server that is up but refuses every connection: a fresh cluster started as a standby with hot_standby
// off stays in recovery and answers each start-up with 57P03. It runs as the "postgres" account in a temporary
// directory and is removed by the destructor; a failed start throws.
#pragma once

#include <signal.h>

#include <string>

#include "support/postgres_cluster.h"
#include "support/postgres_process.h"

namespace kelvotest {

class StandbyServer {
public:
    StandbyServer() {
        ScrubPgEnvironment();
        const pgproc::Account account = pgproc::PostgresAccount();
        m_root_dir = pgproc::MakeCluster("/tmp/kelvo-standby-XXXXXX", account);
        const std::string data_dir = m_root_dir + "/data";
        m_socket_dir = m_root_dir + "/socket";
        try {
            pgproc::WriteFile(data_dir + "/standby.signal", "");
            pgproc::Chown(data_dir + "/standby.signal", account);
            m_port = FindFreeTcpPort();
            m_server_pid = pgproc::StartServer(
                account, data_dir,
                {"port=" + std::to_string(m_port), "listen_addresses=", "unix_socket_directories=" + m_socket_dir,
                 "hot_standby=off", "fsync=off", "shared_buffers=8MB", "max_connections=10"},
                m_root_dir + "/server.log", "standby");
        } catch (...) {
            Stop();
            throw;
        }
    }
    ~StandbyServer() { Stop(); }
    StandbyServer(const StandbyServer&) = delete;
    StandbyServer& operator=(const StandbyServer&) = delete;

    int Port() const { return m_port; }
    const std::string& SocketDir() const { return m_socket_dir; }

private:
    // SIGQUIT: immediate shut-down; there is nothing to keep.
    void Stop() {
        pgproc::StopServer(m_server_pid, SIGQUIT);
        pgproc::RemoveTree(m_root_dir);
    }

    std::string m_root_dir;
    std::string m_socket_dir;
    int m_port = 0;
    int m_server_pid = -1;
};

}  // namespace kelvotest
