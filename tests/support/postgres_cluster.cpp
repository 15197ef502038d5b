// The PostgreSQL peer of the wire tests; see postgres_cluster.h.
//
// Only the server binaries are run: initdb to make the cluster, the server in single-user mode to create the roles (so
// no client program is needed), and the server itself (postgres_process.h).
#include "postgres_cluster.h"

#include "local_connection.h"
#include "postgres_process.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace kelvotest {

using namespace pgproc;

namespace {

// The roles of postgres_cluster.h. One statement per line, as single-user mode reads them. password_encryption decides
// how each password is stored.
std::string SetupSql() {
    using C = PostgresCluster;
    std::ostringstream sql;
    auto quoted = [](const char* text) { return std::string("'") + text + "'"; };
    sql << "CREATE ROLE " << C::kTrustUser << " LOGIN;\n";
    sql << "CREATE ROLE " << C::kReadOnlyUser << " LOGIN;\n";
    sql << "ALTER ROLE " << C::kReadOnlyUser << " SET default_transaction_read_only = on;\n";
    sql << "SET password_encryption = 'md5';\n";
    sql << "CREATE ROLE " << C::kMd5User << " LOGIN PASSWORD " << quoted(C::kMd5UserPassword) << ";\n";
    sql << "SET password_encryption = 'scram-sha-256';\n";
    sql << "CREATE ROLE " << C::kPasswordUser << " LOGIN PASSWORD " << quoted(C::kPasswordUserPassword) << ";\n";
    sql << "CREATE ROLE " << C::kScramUser << " LOGIN PASSWORD " << quoted(C::kScramUserPassword) << ";\n";
    sql << "CREATE ROLE " << C::kSaslprepUser << " LOGIN PASSWORD " << quoted(C::kSaslprepUserPassword) << ";\n";
    sql << "CREATE DATABASE " << C::kDatabase << ";\n";
    return sql.str();
}

std::string HbaConf() {
    using C = PostgresCluster;
    const std::pair<const char*, const char*> rules[] = {
        {C::kAdminUser, "trust"},
        {C::kTrustUser, "trust"},
        {C::kReadOnlyUser, "trust"},
        {C::kPasswordUser, "password"},
        {C::kMd5User, "md5"},
        {C::kScramUser, "scram-sha-256"},
        {C::kSaslprepUser, "scram-sha-256"},
    };
    std::ostringstream hba;
    for (const auto& [user, method] : rules) {
        hba << "local all " << user << " " << method << "\n";
        hba << "host all " << user << " 127.0.0.1/32 " << method << "\n";
    }
    return hba.str();
}

}  // namespace

void ScrubPgEnvironment() {
    std::vector<std::string> names;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "PG", 2) == 0) {
            const char* eq = std::strchr(*entry, '=');
            names.emplace_back(*entry, eq ? eq - *entry : std::strlen(*entry));
        }
    }
    for (const auto& name : names)
        unsetenv(name.c_str());
}

int FindFreeTcpPort() {
    int port = 0;
    close(ListenTcpLoopback(port));
    return port;
}

const PostgresCluster& PostgresCluster::Shared() {
    static std::unique_ptr<PostgresCluster> cluster;
    static std::string failure;
    if (!failure.empty())
        throw std::runtime_error(failure);
    if (!cluster) {
        std::unique_ptr<PostgresCluster> fresh(new PostgresCluster());
        try {
            fresh->Start();
        } catch (const std::exception& e) {
            failure = std::string("the PostgreSQL peer did not start: ") + e.what();
            throw std::runtime_error(failure);
        }
        cluster = std::move(fresh);
    }
    return *cluster;
}

PostgresCluster::~PostgresCluster() { Stop(); }

void PostgresCluster::Start() {
    ScrubPgEnvironment();
    const Account account = PostgresAccount();
    m_root_dir = MakeCluster("/tmp/kelvo-pg-XXXXXX", account);
    m_data_dir = m_root_dir + "/data";
    m_socket_dir = m_root_dir + "/socket";
    WriteFile(m_data_dir + "/pg_hba.conf", HbaConf());
    Chown(m_data_dir + "/pg_hba.conf", account);

    const std::string sql_path = m_root_dir + "/setup.sql";
    WriteFile(sql_path, SetupSql());
    const std::string setup_log = m_root_dir + "/setup.log";
    RunToCompletion(account, {std::string(kBinDir) + "/postgres", "--single", "-D", m_data_dir, "-F", "postgres"},
                    sql_path, setup_log);
    std::string setup_output = ReadFile(setup_log);
    if (setup_output.find("ERROR:") != std::string::npos)
        throw std::runtime_error("setting up the roles failed:\n" + setup_output);

    m_port = FindFreeTcpPort();
    m_server_pid = StartServer(
        account, m_data_dir,
        {"port=" + std::to_string(m_port), "listen_addresses=127.0.0.1", "unix_socket_directories=" + m_socket_dir,
         "fsync=off", "max_connections=60", "shared_buffers=16MB"},
        m_root_dir + "/server.log", "ready");
}

void PostgresCluster::Stop() {
    // SIGINT is the fast shut-down: sessions are ended, nothing is kept.
    StopServer(m_server_pid, SIGINT);
    RemoveTree(m_root_dir);
}

}  // namespace kelvotest
