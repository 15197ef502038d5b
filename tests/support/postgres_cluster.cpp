// The PostgreSQL peer of the wire tests; see postgres_cluster.h.
//
// Only the server binaries are run: initdb to make the cluster, the server in
// single-user mode to create the roles (so no client program is needed), and
// the server itself. Each runs as the "postgres" account in a child that drops
// root's identity before exec.
#include "postgres_cluster.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace kelvotest {
namespace {

constexpr const char* kBinDir = "/usr/lib/postgresql/15/bin";
constexpr auto kStartLimit = std::chrono::seconds(60);
constexpr auto kStopLimit = std::chrono::seconds(30);

struct Account {
    uid_t uid;
    gid_t gid;
};

Account PostgresAccount() {
    struct passwd pw;
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwnam_r("postgres", &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr)
        throw std::runtime_error("there is no \"postgres\" account to run the PostgreSQL peer as");
    return {pw.pw_uid, pw.pw_gid};
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush())
        throw std::runtime_error("cannot write " + path);
}

void Chown(const std::string& path, const Account& account) {
    if (chown(path.c_str(), account.uid, account.gid) != 0)
        throw std::runtime_error("cannot hand " + path + " to postgres: " + std::strerror(errno));
}

// Forks a child that becomes the postgres account, reads stdin_path (or
// /dev/null), writes both output streams to log_path and runs argv. The
// child asks for SIGQUIT (the server's immediate shut-down) when this
// process dies, so an aborted test binary leaves no server behind.
pid_t SpawnAsPostgres(const Account& account, const std::vector<std::string>& args,
                      const std::string& stdin_path, const std::string& log_path) {
    std::vector<char*> argv;
    for (const auto& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const char* input = stdin_path.empty() ? "/dev/null" : stdin_path.c_str();
    const pid_t parent = getpid();

    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error(std::string("fork failed: ") + std::strerror(errno));
    if (pid == 0) {
        // Only async-signal-safe calls from here on.
        int in = open(input, O_RDONLY);
        int out = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0)
            _exit(126);
        if (fchown(out, account.uid, account.gid) != 0)
            _exit(126);
        gid_t groups[1] = {account.gid};
        if (setgroups(1, groups) != 0 || setgid(account.gid) != 0 || setuid(account.uid) != 0)
            _exit(126);
        // After setuid: a change of identity clears the death signal.
        prctl(PR_SET_PDEATHSIG, SIGQUIT);
        if (getppid() != parent)
            _exit(126);
        if (chdir("/") != 0)
            _exit(126);
        execve(argv[0], argv.data(), environ);
        _exit(127);
    }
    return pid;
}

int WaitForExit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void RunToCompletion(const Account& account, const std::vector<std::string>& args,
                     const std::string& stdin_path, const std::string& log_path) {
    int code = WaitForExit(SpawnAsPostgres(account, args, stdin_path, log_path));
    if (code != 0) {
        throw std::runtime_error(args[0] + " exited with code " + std::to_string(code) + ":\n" +
                                 ReadFile(log_path));
    }
}

// The roles of postgres_cluster.h. One statement per line, as single-user
// mode reads them. password_encryption decides how each password is stored.
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
    sql << "CREATE ROLE " << C::kPasswordUser << " LOGIN PASSWORD " << quoted(C::kPasswordUserPassword)
        << ";\n";
    sql << "CREATE ROLE " << C::kScramUser << " LOGIN PASSWORD " << quoted(C::kScramUserPassword) << ";\n";
    sql << "CREATE ROLE " << C::kSaslprepUser << " LOGIN PASSWORD " << quoted(C::kSaslprepUserPassword)
        << ";\n";
    sql << "CREATE DATABASE " << C::kDatabase << ";\n";
    return sql.str();
}

std::string HbaConf() {
    using C = PostgresCluster;
    const std::pair<const char*, const char*> rules[] = {
        {C::kAdminUser, "trust"},        {C::kTrustUser, "trust"},       {C::kReadOnlyUser, "trust"},
        {C::kPasswordUser, "password"},  {C::kMd5User, "md5"},           {C::kScramUser, "scram-sha-256"},
        {C::kSaslprepUser, "scram-sha-256"},
    };
    std::ostringstream hba;
    for (const auto& [user, method] : rules) {
        hba << "local all " << user << " " << method << "\n";
        hba << "host all " << user << " 127.0.0.1/32 " << method << "\n";
    }
    return hba.str();
}

bool ServerIsReady(const std::string& pid_file) {
    // The last line of postmaster.pid reads "ready" once connections are accepted.
    std::string text = ReadFile(pid_file);
    return text.find("\nready") != std::string::npos;
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
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        int err = errno;
        close(fd);
        throw std::runtime_error(std::string("cannot find a free port: ") + std::strerror(err));
    }
    close(fd);
    return ntohs(addr.sin_port);
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

std::string PostgresCluster::SocketPath() const {
    return m_socket_dir + "/.s.PGSQL." + std::to_string(m_port);
}

void PostgresCluster::Start() {
    ScrubPgEnvironment();
    const Account account = PostgresAccount();

    char root_template[] = "/tmp/kelvo-pg-XXXXXX";
    if (mkdtemp(root_template) == nullptr)
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    m_root_dir = root_template;
    m_data_dir = m_root_dir + "/data";
    m_socket_dir = m_root_dir + "/socket";
    m_scratch_dir = m_root_dir + "/scratch";
    m_log_path = m_root_dir + "/server.log";
    Chown(m_root_dir, account);
    for (const auto& dir : {m_data_dir, m_socket_dir}) {
        if (mkdir(dir.c_str(), 0700) != 0)
            throw std::runtime_error("mkdir " + dir + ": " + std::strerror(errno));
        Chown(dir, account);
    }
    if (mkdir(m_scratch_dir.c_str(), 0700) != 0)
        throw std::runtime_error("mkdir " + m_scratch_dir + ": " + std::strerror(errno));

    const std::string bin = kBinDir;
    RunToCompletion(account,
                    {bin + "/initdb", "-D", m_data_dir, "-U", kAdminUser, "--auth=trust", "--no-sync",
                     "--locale=C", "--encoding=UTF8"},
                    "", m_root_dir + "/initdb.log");
    WriteFile(m_data_dir + "/pg_hba.conf", HbaConf());
    Chown(m_data_dir + "/pg_hba.conf", account);

    const std::string sql_path = m_root_dir + "/setup.sql";
    WriteFile(sql_path, SetupSql());
    const std::string setup_log = m_root_dir + "/setup.log";
    RunToCompletion(account, {bin + "/postgres", "--single", "-D", m_data_dir, "-F", "postgres"}, sql_path,
                    setup_log);
    std::string setup_output = ReadFile(setup_log);
    if (setup_output.find("ERROR:") != std::string::npos)
        throw std::runtime_error("setting up the roles failed:\n" + setup_output);

    m_port = FindFreeTcpPort();
    m_server_pid = SpawnAsPostgres(account,
                                   {bin + "/postgres", "-D", m_data_dir, "-p", std::to_string(m_port), "-c",
                                    "listen_addresses=127.0.0.1", "-c", "unix_socket_directories=" + m_socket_dir,
                                    "-c", "fsync=off", "-c", "max_connections=60", "-c", "shared_buffers=16MB"},
                                   "", m_log_path);

    const std::string pid_file = m_data_dir + "/postmaster.pid";
    const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    while (!ServerIsReady(pid_file)) {
        int status = 0;
        if (waitpid(m_server_pid, &status, WNOHANG) == m_server_pid) {
            m_server_pid = -1;
            throw std::runtime_error("the server exited during start-up:\n" + ReadFile(m_log_path));
        }
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("the server was not ready within a minute:\n" + ReadFile(m_log_path));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void PostgresCluster::Stop() {
    if (m_server_pid > 0) {
        // SIGINT is the fast shut-down: sessions are ended, nothing is kept.
        kill(m_server_pid, SIGINT);
        const auto deadline = std::chrono::steady_clock::now() + kStopLimit;
        int status = 0;
        while (waitpid(m_server_pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(m_server_pid, SIGKILL);
                waitpid(m_server_pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        m_server_pid = -1;
    }
    if (!m_root_dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_root_dir, ignored);
        m_root_dir.clear();
    }
}

}  // namespace kelvotest
