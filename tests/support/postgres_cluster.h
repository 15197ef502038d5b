// A private PostgreSQL 15 cluster that wire tests use as a real peer.
//
// The cluster is made and started on first use, once per test binary, in a temporary directory owned by the "postgres"
// account (the server refuses to run as root), with its own Unix-socket directory and a free TCP port on
// 127.0.0.1. It is stopped and removed when the binary exits, and the server
// is told to quit should the test binary die first. A cluster that cannot be started makes Shared() throw, so every
// test that needs it fails; none is skipped.
//
// The roles below exist in every cluster; pg_hba.conf gives each one its authentication method over both the socket and
// TCP.
#pragma once

#include <string>

namespace kelvotest {

// Removes every PG* variable from the environment, so that neither the peer nor the client under test picks up the
// settings of whoever runs the tests.
void ScrubPgEnvironment();

// A TCP port on 127.0.0.1 that nothing listened on a moment ago; for a host that refuses connections.
int FindFreeTcpPort();

class PostgresCluster {
public:
    // Superuser, trust.
    static constexpr const char* kAdminUser = "kelvo_admin";
    // Trust: no password asked.
    static constexpr const char* kTrustUser = "kelvo_trust";
    // Cleartext password exchange.
    static constexpr const char* kPasswordUser = "kelvo_password";
    static constexpr const char* kPasswordUserPassword = "plain secret";
    // MD5 exchange (the password is stored as an MD5 hash).
    static constexpr const char* kMd5User = "kelvo_md5";
    static constexpr const char* kMd5UserPassword = "md5 secret";
    // SCRAM-SHA-256 exchange.
    static constexpr const char* kScramUser = "kelvo_scram";
    static constexpr const char* kScramUserPassword = "scram secret";
    // SCRAM-SHA-256 with a password that SASLprep changes: "I", U+00AD SOFT HYPHEN (mapped to nothing), "X", U+00A0
    // NO-BREAK SPACE (mapped to a blank), "9"; the server stores the verifier of "IX 9".
    static constexpr const char* kSaslprepUser = "kelvo_saslprep";
    static constexpr const char* kSaslprepUserPassword =
        "I\xC2\xADX\xC2\xA0"
        "9";
    // Trust, but every transaction of this role is read-only.
    static constexpr const char* kReadOnlyUser = "kelvo_readonly";
    // A database besides "postgres" that every role may use.
    static constexpr const char* kDatabase = "kelvo_test";

    // The cluster of this test binary, started on first use. Throws std::runtime_error, with the server's log, when it
    // cannot be started; later calls throw the same text again without retrying.
    static const PostgresCluster& Shared();

    ~PostgresCluster();
    PostgresCluster(const PostgresCluster&) = delete;
    PostgresCluster& operator=(const PostgresCluster&) = delete;

    int Port() const { return m_port; }
    std::string PortText() const { return std::to_string(m_port); }
    // The directory holding the server's socket ".s.PGSQL.<port>".
    const std::string& SocketDir() const { return m_socket_dir; }
    // The TCP address the server listens on.
    static constexpr const char* kTcpHost = "127.0.0.1";

private:
    PostgresCluster() = default;
    void Start();
    void Stop();

    std::string m_root_dir;
    std::string m_data_dir;
    std::string m_socket_dir;
    int m_port = 0;
    int m_server_pid = -1;
};

}  // namespace kelvotest
