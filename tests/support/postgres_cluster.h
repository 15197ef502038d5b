// A private PostgreSQL 15 cluster for wire tests: initialised in a fresh
// directory, started on a free port with its own socket directory, and
// stopped and removed by the destructor. Run as user "postgres" when the
// tests run as root (the server refuses root). The server is used as a
// black box: roles are made in single-user mode, never through a client.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kelvotest {

class PostgresCluster {
public:
    struct Options {
        // SQL statements run in single-user mode before the start, one per line.
        std::vector<std::string> setup_sql;
        // Lines of pg_hba.conf.
        std::vector<std::string> hba_lines;
    };

    // Throws std::runtime_error with the reason and the server's output when
    // the cluster cannot be made or started.
    explicit PostgresCluster(const Options& options);
    ~PostgresCluster();
    PostgresCluster(const PostgresCluster&) = delete;
    PostgresCluster& operator=(const PostgresCluster&) = delete;

    int port() const { return port_; }
    // The directory that holds the socket ".s.PGSQL.<port>".
    const std::string& socket_dir() const { return socket_dir_; }
    std::string socket_path() const;

private:
    void RunAsServerUser(const std::vector<std::string>& argv, const std::string& input, const std::string& what);
    void Start();
    void Stop();

    std::string root_;
    std::string data_dir_;
    std::string socket_dir_;
    std::string log_path_;
    int port_ = 0;
    pid_t server_pid_ = -1;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
};

}  // namespace kelvotest
