// Start-up against a scripted server (redirects, the additions to the next start-up packet, failures) and against a
// real PostgreSQL 15 server (authentication, password file, dead hosts).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "postgres/libpq/connect.h"
#include "postgres/libpq/conninfo.h"
#include "postgres/libpq/parameter_status.h"
#include "postgres/libpq/result_record.h"
#include "support/postgres_cluster.h"
#include "support/scoped_temp_directory.h"
#include "support/scripted_peer.h"

namespace {

using namespace kelvotest;

using Conn = std::unique_ptr<PGconn, decltype(&PQfinish)>;

using Settings = std::vector<std::pair<std::string, std::string>>;

Conn ConnectParams(const Settings& settings) {
    std::vector<const char*> keywords, values;
    for (const auto& [keyword, value] : settings) {
        keywords.push_back(keyword.c_str());
        values.push_back(value.c_str());
    }
    keywords.push_back(nullptr);
    values.push_back(nullptr);
    return Conn(PQconnectdbParams(keywords.data(), values.data(), 0), &PQfinish);
}

Conn Connect(const std::string& host, const std::string& port, const std::string& options = "") {
    return ConnectParams({{"host", host}, {"port", port}, {"user", "u"}, {"dbname", "d"}, {"options", options}});
}

constexpr int kLingerMs = 5000;

std::string Success() {
    return wire::AuthenticationOk() + wire::ParameterStatus("server_version", "15.0") + wire::BackendKeyData(4242, 17) +
           wire::ReadyForQuery();
}

// What a peer answers to one connection's start-up packet.
struct Reply {
    std::string bytes;
    size_t piece = 0;  // sent in pieces of this size, each in a read of its own
};

// The options item of the start-up packet of a peer's connection i: "(no packet)", or "" when it has none.
std::string Options(const ScriptedPeer& peer, size_t i) {
    const std::vector<ClientMessage> messages = peer.Messages(i);
    if (messages.empty())
        return "(no packet)";
    for (const auto& [name, value] : wire::StartupParameters(messages[0].body))
        if (name == "options")
            return value;
    return "";
}

class ConnectRedirectTest : public ::testing::Test {
protected:
    void SetUp() override {
        ScrubPgEnvironment();
        setenv("PGPASSFILE", "/nonexistent/pgpass", 1);
    }
    void TearDown() override { ScrubPgEnvironment(); }

    // A peer on the socket for port in m_dir that answers the connections, in the order they arrive, with the replies,
    // and closes each once the client has (or after a while, so a client waiting for more fails).
    std::unique_ptr<ScriptedPeer> Peer(int port, const std::vector<Reply>& replies) const {
        auto peer = std::make_unique<ScriptedPeer>(m_dir.Path(), port);
        for (const Reply& r : replies)
            peer->AddConnection().ExpectMessage(0).Send(r.bytes, r.piece).Close(kLingerMs);
        peer->Start();
        return peer;
    }
    wire::RedirectTarget To(int port) const { return {2, m_dir.Path(), std::to_string(port)}; }
    ScopedTempDirectory m_dir;
};

TEST_F(ConnectRedirectTest, RedirectIsFollowedWhereverItArrives) {
    const std::string redirect = wire::Redirect("sess-1", {To(7102)});
    const std::string after_ok = wire::AuthenticationOk() + wire::ParameterStatus("server_version", "15.0") +
                                 wire::ParameterStatus("client_encoding", "UTF8");
    // The reply, the size of its pieces, the options given. A session identifier already given is never doubled.
    const std::tuple<std::string, size_t, std::string> cases[] = {{redirect, 0, "session_identifier=mine"},
                                                                  {after_ok + redirect, 1, "allow_redirects=on"}};
    for (const auto& [bytes, piece, given] : cases) {
        SCOPED_TRACE(given);
        auto a = Peer(7101, {{bytes, piece}, {Success()}});
        auto b = Peer(7102, {{Success()}});
        Conn conn = Connect(m_dir.Path(), "7101", given);
        ASSERT_EQ(PQstatus(conn.get()), CONNECTION_OK) << PQerrorMessage(conn.get());
        EXPECT_STREQ(PQport(conn.get()), "7102");
        // What was given is still what PQconninfo reports.
        PQconninfoOption* options = PQconninfo(conn.get());
        EXPECT_STREQ(pqConninfoValue(options, "port"), "7101");
        EXPECT_STREQ(pqConninfoValue(options, "options"), given.c_str());
        PQconninfoFree(options);
        // Only what the second server said counts.
        EXPECT_EQ(PQparameterStatus(conn.get(), "client_encoding"), nullptr);
        // A reset starts over from the given host.
        PQreset(conn.get());
        ASSERT_EQ(PQstatus(conn.get()), CONNECTION_OK) << PQerrorMessage(conn.get());
        EXPECT_STREQ(PQport(conn.get()), "7101");
        EXPECT_EQ(Options(*a, 0), given);
        EXPECT_EQ(Options(*a, 1), given);
        // The redirecting host is no failed attempt.
        EXPECT_EQ(Options(*b, 0),
                  given.rfind("session_identifier", 0) == 0 ? given : given + " session_identifier=sess-1");
    }
}

TEST_F(ConnectRedirectTest, ChainsUpToTheLimit) {
    // A redirect without addresses sends the client back to the same host.
    for (size_t redirects : {1, 10, 11}) {
        SCOPED_TRACE(redirects);
        std::vector<Reply> replies;
        for (size_t i = 0; i < redirects; ++i)
            replies.push_back({wire::Redirect("s" + std::to_string(i), {})});
        replies.push_back({Success()});
        auto peer = Peer(7103, replies);
        Conn conn = Connect(m_dir.Path(), "7103");
        if (redirects <= 10) {
            EXPECT_EQ(PQstatus(conn.get()), CONNECTION_OK) << PQerrorMessage(conn.get());
            EXPECT_EQ(peer->Accepted(), redirects + 1);
        } else {
            EXPECT_EQ(PQstatus(conn.get()), CONNECTION_BAD);
            EXPECT_STREQ(PQerrorMessage(conn.get()),
                         "<sqlstate>08S01</sqlstate><primary>The connection was redirected 11 times, which is more "
                         "than the limit of 10.</primary>");
        }
        // The first session identifier is carried to every later packet.
        ASSERT_GE(peer->Accepted(), 2u);
        for (size_t i = 1; i < peer->Accepted(); ++i)
            EXPECT_EQ(Options(*peer, i), " session_identifier=s0") << i;
    }
}

TEST_F(ConnectRedirectTest, FailedAttemptsTravelQuotedInTheNextPacket) {
    const std::string blank_dir = m_dir.Path() + "/my dir";
    auto live = Peer(7141, {{Success()}});
    Conn conn = Connect(blank_dir + "," + m_dir.Path() + ",/nonexistent", "7140,7141,7142", "a=1");
    EXPECT_EQ(PQstatus(conn.get()), CONNECTION_OK) << PQerrorMessage(conn.get());
    EXPECT_EQ(Options(*live, 0), "a=1 failed_connection_attempts='" + blank_dir + "/.s.PGSQL.7140'");

    // A redirect target that fails is recorded; the redirecting host is not.
    auto a = Peer(7143, {{wire::Redirect("s", {To(7144), {1, "127.0.0.1", "1"}})}, {Success()}});
    Conn redirected = Connect(m_dir.Path(), "7143");
    EXPECT_EQ(PQstatus(redirected.get()), CONNECTION_OK) << PQerrorMessage(redirected.get());
    EXPECT_EQ(Options(*a, 1),
              " session_identifier=s failed_connection_attempts=" + m_dir.Path() + "/.s.PGSQL.7144,127.0.0.1:1");
}

// Protocol 2.0 answers: no length words; a row description and a data row of one text column.
std::string OldRow(const std::string& value) {
    const std::string description =
        std::string("T\0\x01", 3) + "v" + '\0' + wire::Int32(25) + std::string("\xff\xff", 2) + wire::Int32(-1);
    return std::string("Pblank") + '\0' + description + "D\x80" + wire::Int32(static_cast<int32_t>(value.size() + 4)) +
           value;
}

TEST_F(ConnectRedirectTest, OldServersGetTheOldStartupPacketAndSettingsExchange) {
    const std::string queries[] = {"SET datestyle = 'ISO'", "begin; select version(); end",
                                   "select pg_client_encoding()"};
    const std::string answers[] = {std::string("CSET") + '\0' + "Z",
                                   std::string("CBEGIN") + '\0' + OldRow("PostgreSQL 7.4.30 on x86_64") + "CSELECT" +
                                       '\0' + "CCOMMIT" + '\0' + "Z",
                                   OldRow("LATIN1") + "CSELECT" + '\0' + "Z"};
    ScriptedPeer peer(m_dir.Path(), 7161);
    peer.AddConnection().ExpectMessage(0).Send(std::string("EFATAL:  unsupported frontend protocol\n") + '\0');
    auto& old_server = peer.AddConnection().ExpectMessage(0).Send(std::string("R") + wire::Int32(0) + "K" +
                                                                  wire::Int32(99) + wire::Int32(7) + "Z");
    for (size_t i = 0; i < 3; ++i)
        old_server.ExpectBytes(wire::CStr(queries[i]).size() + 1).Send(answers[i]);
    old_server.Close(kLingerMs);
    peer.Start();
    setenv("PGDATESTYLE", "ISO", 1);
    Conn conn = Connect(m_dir.Path(), "7161");
    unsetenv("PGDATESTYLE");
    ASSERT_EQ(PQstatus(conn.get()), CONNECTION_OK) << PQerrorMessage(conn.get());
    EXPECT_STREQ(PQerrorMessage(conn.get()), "");
    EXPECT_EQ(PQprotocolVersion(conn.get()), 2);
    EXPECT_EQ(PQbackendPID(conn.get()), 99);
    EXPECT_EQ(PQserverVersion(conn.get()), 70430);
    EXPECT_STREQ(PQparameterStatus(conn.get(), "client_encoding"), "LATIN1");
    const std::vector<ClientMessage> first = peer.Messages(0), second = peer.Messages(1);
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 4u);
    EXPECT_EQ(first[0].body.substr(0, 4), wire::Int32(196608));
    EXPECT_EQ(second[0].body.substr(0, 4), wire::Int32(131072));
    EXPECT_EQ(second[0].body.size() + 4, 296u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(second[i + 1].body, "Q" + wire::CStr(queries[i]));
}

TEST_F(ConnectRedirectTest, SilentServerIsGivenUpAfterTheTimeout) {
    auto quiet = Peer(7201, {{""}});
    auto live = Peer(7202, {{Success()}});
    // connect_timeout 1 counts as 2 seconds: one second could end before a server had a fair chance to answer.
    const std::string conninfo =
        "host='" + m_dir.Path() + "," + m_dir.Path() + "' port=7201,7202 user=u connect_timeout=1";
    const auto start = std::chrono::steady_clock::now();
    Conn conn(PQconnectdb(conninfo.c_str()), &PQfinish);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GT(took, std::chrono::milliseconds(1500));
    EXPECT_LT(took, std::chrono::milliseconds(3500));
    ASSERT_EQ(PQstatus(conn.get()), CONNECTION_OK) << PQerrorMessage(conn.get());
    EXPECT_STREQ(PQport(conn.get()), "7202");
    EXPECT_EQ(Options(*live, 0), " failed_connection_attempts=" + m_dir.Path() + "/.s.PGSQL.7201");
}

// Every malformed redirect is read in conninfo_test; here the attempt ends at once with the one error, before and after
// AuthenticationOk.
TEST_F(ConnectRedirectTest, StartupFailures) {
    // What the server sends, the options given, the error.
    const std::tuple<std::string, const char*, std::string> cases[] = {
        // Declares 2 GiB and sends nothing more: no allocation, no wait.
        {"@" + wire::Int32(0x7fffffff), "",
         "<sqlstate>08P01</sqlstate><primary>The redirect request has an invalid length of 2147483647 "
         "bytes.</primary>"},
        {wire::AuthenticationOk() + "@" + wire::Int32(0x40000000), "",
         "<sqlstate>08P01</sqlstate><primary>The redirect request has an invalid length of 1073741824 "
         "bytes.</primary>"},
        // The values of the switch are read in conninfo_test.
        {wire::Redirect("ignored", {To(7172)}), "a=1 allow_redirects=OFF",
         "<sqlstate>08P01</sqlstate><primary>The server sent a redirect request even though `allow_redirects` is "
         "disabled.</primary>"},
        {wire::Message('X', ""), "", "Expected an authentication request or redirect from the server, but received X."},
        {wire::Message('R', std::string(2000, '\0')), "",
         "Expected an authentication request from the server, but received R."},
        {wire::AuthenticationOk() +
             wire::ErrorResponse({{'S', "FATAL"}, {'V', "FATAL"}, {'C', "53300"}, {'M', "too many"}}),
         "", "<severity>FATAL</severity><sqlstate>53300</sqlstate><primary>too many</primary>\n"}};
    for (const auto& [bytes, options, error] : cases) {
        SCOPED_TRACE(error);
        auto peer = Peer(7171, {{bytes}});
        auto target = Peer(7172, {{Success()}});
        Conn conn = Connect(m_dir.Path(), "7171", options);
        EXPECT_EQ(PQstatus(conn.get()), CONNECTION_BAD);
        EXPECT_EQ(PQerrorMessage(conn.get()), error);
        EXPECT_EQ(target->Accepted(), 0u);
    }
}

TEST_F(ConnectRedirectTest, RequirePeerNamesTheServersUser) {
    const std::string me = getpwuid(geteuid())->pw_name;
    const std::pair<std::string, std::string> cases[] = {
        {me, ""},
        {"nobody-at-all",
         "The requirepeer parameter specifies \"nobody-at-all\", but the actual peer user name is \"" + me + "\"."}};
    for (const auto& [peer_user, error] : cases) {
        SCOPED_TRACE(peer_user);
        auto peer = Peer(7191, {{Success()}});
        const std::string conninfo = "host='" + m_dir.Path() + "' port=7191 user=u requirepeer=" + peer_user;
        Conn conn(PQconnectdb(conninfo.c_str()), &PQfinish);
        EXPECT_EQ(PQstatus(conn.get()), error.empty() ? CONNECTION_OK : CONNECTION_BAD);
        EXPECT_EQ(PQerrorMessage(conn.get()), error);
        // The check comes before the start-up packet.
        conn.reset();
        peer->WaitForClose(0);
        EXPECT_EQ(peer->Messages(0).size(), error.empty() ? 1u : 0u);
    }
}

// Polled without blocking over a reply cut into pieces, with a notice before the end of the start-up that reaches the
// receiver installed meanwhile.
TEST_F(ConnectRedirectTest, NonBlockingPollReportsEachStepAndNotices) {
    const std::string notice =
        wire::NoticeResponse({{'S', "NOTICE"}, {'V', "NOTICE"}, {'C', "00000"}, {'M', "welcome"}});
    auto peer =
        Peer(7192, {{wire::AuthenticationOk() + notice + wire::BackendKeyData(1, 2) + wire::ReadyForQuery(), 3}});
    Conn conn(PQconnectStart(("host='" + m_dir.Path() + "' port=7192 user=u").c_str()), &PQfinish);
    ASSERT_NE(PQstatus(conn.get()), CONNECTION_BAD) << PQerrorMessage(conn.get());
    std::vector<std::string> notices;
    PQnoticeReceiver receiver = [](void* arg, const PGresult* res) {
        static_cast<std::vector<std::string>*>(arg)->push_back(PQresultErrorMessage(res));
    };
    EXPECT_NE(PQsetNoticeReceiver(conn.get(), receiver, &notices), nullptr);
    // A null receiver only reports the one installed.
    EXPECT_EQ(PQsetNoticeReceiver(conn.get(), nullptr, nullptr), receiver);
    PostgresPollingStatusType flag = PGRES_POLLING_WRITING;
    while (flag == PGRES_POLLING_READING || flag == PGRES_POLLING_WRITING) {
        pollfd p{PQsocket(conn.get()), static_cast<short>(flag == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0};
        ASSERT_EQ(poll(&p, 1, 5000), 1);
        flag = PQconnectPoll(conn.get());
    }
    ASSERT_EQ(flag, PGRES_POLLING_OK) << PQerrorMessage(conn.get());
    EXPECT_EQ(PQconnectPoll(conn.get()), PGRES_POLLING_OK);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_NE(notices[0].find("welcome"), std::string::npos) << notices[0];
    EXPECT_EQ(PQconnectPoll(nullptr), PGRES_POLLING_FAILED);
    EXPECT_EQ(PQstatus(nullptr), CONNECTION_BAD);
    EXPECT_STREQ(PQerrorMessage(nullptr), "The given connection pointer is NULL.");
}

using C = PostgresCluster;

// Opening connections to a real PostgreSQL 15 server.
class ConnectPostgresTest : public ConnectRedirectTest {
protected:
    void SetUp() override {
        ConnectRedirectTest::SetUp();
        m_cluster = &PostgresCluster::Shared();
    }

    // The cluster's settings for user over TCP or the socket, then more.
    Settings Over(bool tcp, const char* user, const Settings& more = {}) const {
        Settings settings{{"host", tcp ? PostgresCluster::kTcpHost : m_cluster->SocketDir()},
                          {"port", m_cluster->PortText()},
                          {"user", user},
                          {"dbname", PostgresCluster::kDatabase}};
        settings.insert(settings.end(), more.begin(), more.end());
        return settings;
    }
    const PostgresCluster* m_cluster = nullptr;
};

TEST_F(ConnectPostgresTest, EveryMethodWithRightWrongAndMissingPasswords) {
    const std::string no_password =
        "<sqlstate>28P01</sqlstate><primary>fe_sendauth: No password was supplied.</primary>";
    // A null password: none given.
    const std::tuple<const char*, const char*, bool, std::string> cases[] = {
        {C::kTrustUser, nullptr, true, ""},
        {C::kPasswordUser, C::kPasswordUserPassword, true, ""},
        {C::kPasswordUser, nullptr, false, no_password},
        {C::kMd5User, C::kMd5UserPassword, true, ""},
        {C::kScramUser, "wrong", false, "<sqlstate>28P01</sqlstate>"},
        {C::kScramUser, nullptr, false, no_password},
        {C::kSaslprepUser, C::kSaslprepUserPassword, true, ""},
        // Stored as "IX 9": SASLprep maps U+00AD to nothing, U+00A0 and U+2000 to a blank, and U+2168 to "IX".
        {C::kSaslprepUser, "\xE2\x85\xA8\xE2\x80\x80\x39", true, ""}};
    for (bool tcp : {false, true}) {
        for (const auto& [user, password, ok, error_part] : cases) {
            SCOPED_TRACE(std::string(user) + " " + (password ? password : "(none)") + (tcp ? " tcp" : " socket"));
            Conn conn = ConnectParams(Over(tcp, user, password ? Settings{{"password", password}} : Settings{}));
            ASSERT_NE(conn, nullptr);
            EXPECT_EQ(PQstatus(conn.get()), ok ? CONNECTION_OK : CONNECTION_BAD) << PQerrorMessage(conn.get());
            if (ok) {
                EXPECT_STREQ(PQerrorMessage(conn.get()), "");
                EXPECT_GT(PQbackendPID(conn.get()), 0);
                EXPECT_GE(PQserverVersion(conn.get()), 150000);
                EXPECT_STREQ(PQparameterStatus(conn.get(), "session_authorization"), user);
                EXPECT_STREQ(PQuser(conn.get()), user);
                EXPECT_EQ(PQprotocolVersion(conn.get()), 3);
                EXPECT_EQ(PQconnectionUsedPassword(conn.get()), password != nullptr);
            } else if (error_part == no_password) {
                EXPECT_EQ(PQerrorMessage(conn.get()), no_password);
                EXPECT_EQ(PQconnectionNeedsPassword(conn.get()), 1);
            } else {
                EXPECT_NE(std::string(PQerrorMessage(conn.get())).find(error_part), std::string::npos)
                    << PQerrorMessage(conn.get());
            }
        }
    }
}

// Which line matches and which files are ignored: conninfo_test.
TEST_F(ConnectPostgresTest, PasswordFileSuppliesPasswords) {
    // A wrong password from the file says where it came from.
    const std::string wrong =
        m_dir.WriteFile("pgpass-wrong", std::string("*:*:*:") + C::kScramUser + ":not\\:it\n", 0600);
    Conn conn = ConnectParams(Over(true, C::kScramUser, {{"passfile", wrong}}));
    EXPECT_EQ(PQstatus(conn.get()), CONNECTION_BAD);
    const std::string message = PQerrorMessage(conn.get());
    EXPECT_NE(message.find("<sqlstate>28P01</sqlstate>"), std::string::npos) << message;
    EXPECT_NE(message.find("The password was retrieved from file \"" + wrong + "\"."), std::string::npos) << message;
}

TEST_F(ConnectPostgresTest, DeadHostsAreReportedAndRecorded) {
    const std::string dead = std::to_string(FindFreeTcpPort());

    // Only dead hosts: one tagged text per host, in order.
    Conn none = ConnectParams({{"host", std::string(C::kTcpHost) + ",/nonexistent"}, {"port", dead}, {"user", "u"}});
    EXPECT_EQ(PQstatus(none.get()), CONNECTION_BAD);
    EXPECT_EQ(std::string(PQerrorMessage(none.get())),
              "<sqlstate>08001</sqlstate><primary>Could not connect to the Kelvo server.</primary><detail>Connection "
              "refused</detail><hint>Is the server running on host \"127.0.0.1\" and accepting TCP/IP connections on "
              "port " +
                  dead +
                  "?</hint>"
                  "<sqlstate>08001</sqlstate><primary>Could not connect to the Kelvo server.</primary><detail>No such "
                  "file or directory</detail><hint>Is the server running locally and accepting connections on Unix "
                  "domain socket \"/nonexistent/.s.PGSQL." +
                  dead + "\"?</hint>");

    // A host name shows its numeric address too; an empty host is the /tmp socket.
    Conn named = ConnectParams({{"host", "localhost"}, {"hostaddr", ""}, {"port", dead}, {"user", "u"}});
    EXPECT_NE(std::string(PQerrorMessage(named.get())).find("Is the server running on host \"localhost\" ("),
              std::string::npos)
        << PQerrorMessage(named.get());
    Conn tmp = ConnectParams({{"host", ","}, {"port", dead}, {"user", "u"}});
    EXPECT_NE(std::string(PQerrorMessage(tmp.get())).find("socket \"/tmp/.s.PGSQL." + dead + "\""), std::string::npos);

    // A negative keep-alive value is sent as 0, which the system refuses for the interval.
    const std::pair<Settings, const char*> refused[] = {
        {{{"keepalives", "1x"}}, "The given keepalives parameter is not an integer."},
        {{{"keepalives_interval", "-5"}},
         "<primary>The call to `setsockopt(TCP_KEEPINTVL)` failed.</primary><detail>Invalid argument</detail>"},
        {{{"port", "70000"}}, "The port number \"70000\" is invalid."}};
    for (const auto& [more, error] : refused)
        EXPECT_STREQ(PQerrorMessage(ConnectParams(Over(true, C::kTrustUser, more)).get()), error);
    // Chosen keep-alive values are what the connection's socket carries.
    Conn alive = ConnectParams(
        Over(true, C::kTrustUser,
             {{"keepalives", "1"}, {"keepalives_idle", "7"}, {"keepalives_interval", "3"}, {"keepalives_count", "2"}}));
    ASSERT_EQ(PQstatus(alive.get()), CONNECTION_OK) << PQerrorMessage(alive.get());
    for (const auto& [level, option, value] : {std::tuple<int, int, int>{SOL_SOCKET, SO_KEEPALIVE, 1},
                                               {IPPROTO_TCP, TCP_KEEPIDLE, 7},
                                               {IPPROTO_TCP, TCP_KEEPINTVL, 3},
                                               {IPPROTO_TCP, TCP_KEEPCNT, 2}}) {
        int set = -1;
        socklen_t length = sizeof set;
        ASSERT_EQ(getsockopt(PQsocket(alive.get()), level, option, &set, &length), 0);
        EXPECT_EQ(set, value) << option;
    }
}

TEST_F(ConnectPostgresTest, ReadWriteTargetRefusesReadOnlySessions) {
    Conn refused = ConnectParams(Over(true, C::kReadOnlyUser, {{"target_session_attrs", "read-write"}}));
    EXPECT_EQ(PQstatus(refused.get()), CONNECTION_BAD);
    EXPECT_EQ(std::string(PQerrorMessage(refused.get())),
              "Could not establish a writable connection to server \"127.0.0.1:" + m_cluster->PortText() + "\".");

    Conn accepted = ConnectParams(Over(false, C::kTrustUser, {{"target_session_attrs", "read-write"}}));
    EXPECT_EQ(PQstatus(accepted.get()), CONNECTION_OK) << PQerrorMessage(accepted.get());
    EXPECT_EQ(PQtransactionStatus(accepted.get()), PQTRANS_IDLE);
}

}  // namespace
