// The rejecting peer of standby_server.h.
#include "standby_server.h"

#include <signal.h>

#include "postgres_cluster.h"
#include "postgres_process.h"

namespace kelvotest {

StandbyServer::StandbyServer() {
    ScrubPgEnvironment();
    const pgproc::Account account = pgproc::PostgresAccount();
    m_root_dir = pgproc::MakeCluster("/tmp/kelvo-standby-XXXXXX", account);
    const std::string data_dir = m_root_dir + "/data";
    m_socket_dir = m_root_dir + "/socket";
    try {
        pgproc::WriteFile(data_dir + "/standby.signal", "");
        pgproc::Chown(data_dir + "/standby.signal", account);
        m_port = FindFreeTcpPort();
        // Without hot standby the server stays in recovery and says so in
        // postmaster.pid once it listens.
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

StandbyServer::~StandbyServer() { Stop(); }

void StandbyServer::Stop() {
    // SIGQUIT: immediate shut-down; there is nothing to keep.
    pgproc::StopServer(m_server_pid, SIGQUIT);
    pgproc::RemoveTree(m_root_dir);
}

}  // namespace kelvotest
