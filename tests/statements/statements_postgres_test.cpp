// Statements against the PostgreSQL peer, for what only a real server shows, and cancel requests against a peer of the
// test's own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "postgres/libpq/cancel.h"
#include "postgres/libpq/client_encoding.h"
#include "postgres/libpq/connect.h"
#include "postgres/libpq/connection_record.h"
#include "postgres/libpq/parameter_status.h"
#include "postgres/libpq/ping.h"
#include "postgres/libpq/query_execution.h"
#include "postgres/libpq/result_record.h"
#include "postgres/mb/encoding.h"
#include "support/connected_record.h"
#include "support/postgres_cluster.h"
#include "support/scripted_peer.h"
#include "support/standby_server.h"

namespace {

using kelvotest::ConnPtr;
using kelvotest::PostgresCluster;
using Result = kelvotest::ResultPtr;
using Session = std::unique_ptr<PGconn, decltype(&PQfinish)>;
using CancelPtr = std::unique_ptr<PGcancel, decltype(&PQfreeCancel)>;

template <typename Address>
SockAddr ToSockAddr(const Address& address) {
    SockAddr out{};
    memcpy(&out.addr, &address, sizeof address);
    out.salen = sizeof address;
    return out;
}

// A cancel handle for a TCP port on 127.0.0.1 where nothing listens.
PGcancel ClosedPortHandle() {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(kelvotest::FindFreeTcpPort()));
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    PGcancel cancel{};
    cancel.raddr = ToSockAddr(sin);
    return cancel;
}

// A handle copies what it needs from the connection and outlives it; the call keeps errno and writes nothing on
// success. A server that never closes costs only the time limit: the request went out, so it counts.
TEST(CancelTest, SendsTheSixteenByteRequestAndWaitsForTheClose) {
    kelvotest::ScriptedPeer peer;
    peer.AddConnection().ExpectMessage(0).Close();
    peer.AddConnection().ExpectMessage(0).Close(5000);  // holds the socket until the client gives up
    peer.Start();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, peer.SocketPath().c_str(), sizeof address.sun_path - 1);
    ConnPtr conn(makeEmptyPGconn());
    conn->sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    conn->raddr = ToSockAddr(address);
    conn->be_pid = 0x01020304;
    conn->be_key = -2;
    CancelPtr cancel(PQgetCancel(conn.get()), &PQfreeCancel);
    ASSERT_NE(nullptr, cancel);
    conn.reset();
    char errbuf[256] = "untouched";
    errno = 4242;
    EXPECT_EQ(1, PQcancel(cancel.get(), errbuf, sizeof errbuf));
    EXPECT_EQ(4242, errno);
    EXPECT_STREQ("untouched", errbuf);
    EXPECT_EQ(1, pqCancelWithin(cancel.get(), errbuf, sizeof errbuf, 200));
    for (size_t i : {0, 1}) {
        peer.WaitForClose(i);
        EXPECT_EQ(std::string("\x00\x00\x00\x10\x04\xd2\x16\x2e\x01\x02\x03\x04\xff\xff\xff\xfe", 16),
                  peer.Received(i));
    }
}

// The text goes into the buffer as far as it fits, never past its size; a buffer of no size, or none, receives nothing.
// Handles need an open connection, and a failure of PQrequestCancel is the connection's error text.
TEST(CancelTest, FailureTextsAreCutToTheBufferOrGoToTheConnection) {
    PGcancel closedPort = ClosedPortHandle();
    const std::string prefix = "PQcancel() -- connect() failed: ";
    const std::string refused = prefix + strerror(ECONNREFUSED) + "\n";
    const int prefixSize = static_cast<int>(prefix.size());
    const std::tuple<PGcancel*, int, std::string> cases[] = {
        {&closedPort, 256, refused},
        {&closedPort, 1, ""},
        {&closedPort, prefixSize + 2, prefix + "\n"},  // no room for the system's text
        {&closedPort, prefixSize + 5, prefix + refused.substr(prefix.size(), 3) + "\n"},
        {nullptr, 5, "PQca"},
        {&closedPort, 0, ""},
        {nullptr, -100, ""}};
    for (const auto& [handle, size, expected] : cases) {
        SCOPED_TRACE(size);
        std::string buf(300, 'x');
        errno = 777;
        EXPECT_EQ(0, PQcancel(handle, &buf[0], size));
        if (handle != nullptr) {
            EXPECT_EQ(777, errno);
        }
        const size_t written = size > 0 ? expected.size() + 1 : 0;
        EXPECT_EQ(size > 0 ? expected + '\0' : "", buf.substr(0, written));
        EXPECT_EQ(std::string(300 - written, 'x'), buf.substr(written));
        EXPECT_EQ(0, PQcancel(handle, nullptr, size));
    }
    EXPECT_EQ(nullptr, PQgetCancel(nullptr));
    EXPECT_EQ(0, PQrequestCancel(nullptr));
    ConnPtr conn(makeEmptyPGconn());
    EXPECT_EQ(nullptr, PQgetCancel(conn.get()));
    EXPECT_EQ(0, PQrequestCancel(conn.get()));
    EXPECT_STREQ(
        "<sqlstate>08003</sqlstate><primary>The connection given to `PQrequestCancel()` is not open.</primary>",
        conn->errorMessage.data);
    conn->sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    conn->raddr = closedPort.raddr;
    EXPECT_EQ(0, PQrequestCancel(conn.get()));
    EXPECT_EQ(refused, conn->errorMessage.data);
}

// A session of the superuser on the shared peer, over its Unix socket.
Session OpenSession() {
    const PostgresCluster& cluster = PostgresCluster::Shared();
    const std::string port = cluster.PortText();
    const char* keywords[] = {"host", "port", "user", "dbname", nullptr};
    const char* values[] = {cluster.SocketDir().c_str(), port.c_str(), PostgresCluster::kAdminUser,
                            PostgresCluster::kDatabase, nullptr};
    Session session(PQconnectdbParams(keywords, values, 0), &PQfinish);
    EXPECT_EQ(CONNECTION_OK, PQstatus(session.get())) << PQerrorMessage(session.get());
    return session;
}

// The first value of the result of a query.
std::string Value(PGconn* conn, const std::string& sql) {
    Result res(PQexec(conn, sql.c_str()));
    EXPECT_EQ(PGRES_TUPLES_OK, PQresultStatus(res.get())) << sql << ": " << PQresultErrorMessage(res.get());
    return PQntuples(res.get()) < 1 || PQnfields(res.get()) < 1 ? "<no value>" : PQgetvalue(res.get(), 0, 0);
}

// Each test holds a session of its own.
class StatementsPostgresTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(CONNECTION_OK, PQstatus(conn_.get())); }
    Session conn_ = OpenSession();
};

// A cancel ends the running statement only. A session ended by the server gives PQexec one result with both the
// server's FATAL error and the lost connection; sending on it then fails with a text, not a signal.
TEST_F(StatementsPostgresTest, CancelEndsTheStatementTerminationTheSession) {
    Session observer = OpenSession();
    ASSERT_EQ(1, PQsendQuery(conn_.get(), "SELECT pg_sleep(30)"));
    const std::string sleeping =
        "SELECT count(*) FROM pg_stat_activity WHERE pid = " + std::to_string(PQbackendPID(conn_.get())) +
        " AND state = 'active' AND query LIKE '%pg_sleep%'";
    for (int i = 0; i < 1000 && Value(observer.get(), sleeping) != "1"; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(1, PQrequestCancel(conn_.get())) << PQerrorMessage(conn_.get());
    Result res(PQgetResult(conn_.get()));
    EXPECT_EQ(PGRES_FATAL_ERROR, PQresultStatus(res.get()));
    EXPECT_STREQ("57014", PQresultErrorField(res.get(), 'C'));
    EXPECT_STREQ("canceling statement due to user request", PQresultErrorField(res.get(), 'M'));
    EXPECT_EQ(nullptr, PQgetResult(conn_.get()));
    EXPECT_EQ("alive", Value(conn_.get(), "SELECT 'alive'"));
    res.reset(PQexec(conn_.get(), "SELECT pg_terminate_backend(pg_backend_pid())"));
    EXPECT_EQ(PGRES_FATAL_ERROR, PQresultStatus(res.get()));
    const std::string text = PQresultErrorMessage(res.get());
    EXPECT_NE(std::string::npos, text.find("<sqlstate>57P01</sqlstate>")) << text;
    EXPECT_NE(std::string::npos, text.find("<sqlstate>08003</sqlstate>")) << text;
    EXPECT_EQ(text, PQerrorMessage(conn_.get()));
    EXPECT_EQ(CONNECTION_BAD, PQstatus(conn_.get()));
    const auto old = signal(SIGPIPE, SIG_DFL);
    res.reset(PQexec(conn_.get(), "SELECT 1"));
    EXPECT_EQ(nullptr, res);
    EXPECT_STREQ("<sqlstate>08003</sqlstate><primary>There is no connection to the server.</primary>",
                 PQerrorMessage(conn_.get()));
    signal(SIGPIPE, old);
}

// A notice reaches the processor that replaced the default one, as its tagged text; the client encoding changes only
// when the server accepts the change.
TEST_F(StatementsPostgresTest, NoticesReachTheProcessorAndTheClientEncodingChangesWhenTheServerAcceptsIt) {
    PGconn* conn = conn_.get();
    std::string text;
    const auto append = [](void* out, const char* message) { *static_cast<std::string*>(out) += message; };
    EXPECT_NE(nullptr, PQsetNoticeProcessor(conn, append, &text));
    Result res(PQexec(conn, "DO $$BEGIN RAISE NOTICE 'from the server'; END$$"));
    EXPECT_EQ(PGRES_COMMAND_OK, PQresultStatus(res.get()));
    const std::string notice =
        "<severity>NOTICE</severity><sqlstate>00000</sqlstate><primary>from the server</primary>\n";
    EXPECT_EQ(notice, text.substr(0, notice.size())) << "the location that follows names the server's source";
    ASSERT_EQ(PG_UTF8, PQclientEncoding(conn));
    EXPECT_TRUE(conn->std_strings);
    EXPECT_GE(PQserverVersion(conn), 150000);
    EXPECT_LT(PQserverVersion(conn), 160000);
    const std::string tooLong(101, 'a');
    // What PQsetClientEncoding returns, and the encoding reported afterwards.
    const std::tuple<const char*, int, int> cases[] = {
        {"latin1", 0, PG_LATIN1},         {"no_such_encoding", -1, PG_LATIN1},  // refused by the server
        {tooLong.c_str(), -1, PG_LATIN1},                                       // refused before sending
        {nullptr, -1, PG_LATIN1},         {"UTF8", 0, PG_UTF8},  // replaces the report at the head of the list
    };
    for (const auto& [name, result, encoding] : cases) {
        SCOPED_TRACE(name != nullptr ? name : "(null)");
        EXPECT_EQ(result, PQsetClientEncoding(conn, name));
        EXPECT_EQ(encoding, PQclientEncoding(conn));
        EXPECT_STREQ(pg_encoding_to_char(encoding), PQparameterStatus(conn, "client_encoding"));
        EXPECT_EQ(PQTRANS_IDLE, PQtransactionStatus(conn));
    }
    EXPECT_EQ(-1, PQsetClientEncoding(nullptr, "UTF8"));
    EXPECT_EQ(-1, PQclientEncoding(nullptr));
}

// Pinging the peer (up, whatever it thinks of the credentials), a standby that refuses every connection, a port with no
// listener, and options that never allow an attempt.
TEST(PingTest, ReportsWhetherAServerIsThereAndAccepting) {
    const PostgresCluster& cluster = PostgresCluster::Shared();
    kelvotest::StandbyServer standby;
    const std::string socketDir = cluster.SocketDir();
    const std::string port = cluster.PortText();
    const std::string closedPort = std::to_string(kelvotest::FindFreeTcpPort());
    const std::string peer = "host=" + socketDir + " port=" + port;
    const std::pair<std::string, PGPing> cases[] = {
        {peer + " user=kelvo_admin", PQPING_OK},
        {peer + " user=nobody_here", PQPING_OK},  // refusing an unknown role is an answer too
        {"host=" + standby.SocketDir() + " port=" + std::to_string(standby.Port()) + " user=kelvo_admin",
         PQPING_REJECT},
        {"host=127.0.0.1 port=" + closedPort + " user=kelvo_admin", PQPING_NO_RESPONSE},
        {peer + " sslmode=sometimes", PQPING_NO_ATTEMPT},
        {"host='unterminated", PQPING_NO_ATTEMPT}};
    for (const auto& [conninfo, expected] : cases)
        EXPECT_EQ(expected, PQping(conninfo.c_str())) << conninfo;
    // The keyword form.
    const char* keywords[] = {"host", "port", "user", nullptr};
    const char* values[] = {socketDir.c_str(), port.c_str(), PostgresCluster::kAdminUser, nullptr};
    EXPECT_EQ(PQPING_OK, PQpingParams(keywords, values, 0));
}

}  // namespace
