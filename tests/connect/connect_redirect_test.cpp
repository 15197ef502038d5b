// Start-up against a scripted server: redirects (hops, chains, limits, the
// allow_redirects switch, malformed messages, any segmentation), the
// session_identifier and failed_connection_attempts items of the next
// start-up packet, the protocol 2.0 fall-back and start-up failures.
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "postgres/libpq/connect.h"
#include "postgres/libpq/conninfo.h"
#include "postgres/libpq/parameter_status.h"
#include "postgres/libpq/result_record.h"
#include "support/postgres_cluster.h"
#include "support/scratch_directory.h"
#include "support/scripted_peer.h"
#include "support/startup_peer.h"

namespace {

using namespace kelvotest;

struct ConnDeleter {
    void operator()(PGconn* conn) const { PQfinish(conn); }
};
using Conn = std::unique_ptr<PGconn, ConnDeleter>;

Conn Connect(const std::string& host, const std::string& port, const std::string& options = "") {
    const char* keywords[] = {"host", "port", "user", "dbname", "options", nullptr};
    const char* values[] = {host.c_str(), port.c_str(), "u", "d", options.c_str(), nullptr};
    return Conn(PQconnectdbParams(keywords, values, 0));
}

// Scripts run on the peer's thread; the test reads what they saw.
struct Seen {
    void Add(const StartupPacket& packet) {
        std::lock_guard<std::mutex> lock(mutex);
        packets.push_back(packet);
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex);
        return packets.size();
    }
    // The options item of packet i: "(no packet)", or "" when it has none.
    std::string Options(size_t i) {
        std::lock_guard<std::mutex> lock(mutex);
        if (i >= packets.size())
            return "(no packet)";
        auto it = packets[i].params.find("options");
        return it != packets[i].params.end() ? it->second : "";
    }
    std::mutex mutex;
    std::vector<StartupPacket> packets;
};

StartupPeer::Script Reply(Seen* seen, std::string bytes, size_t piece = 0) {
    return [seen, bytes, piece](PeerConnection& c) {
        StartupPacket packet;
        if (!c.ReadStartupPacket(packet))
            return;
        seen->Add(packet);
        if (piece != 0)
            c.SendInPieces(bytes, piece);
        else
            c.Send(bytes);
        c.ClientClosed();
    };
}

class ConnectRedirectTest : public ::testing::Test {
protected:
    void SetUp() override {
        kelvotest::ScrubPgEnvironment();
        setenv("PGPASSFILE", "/nonexistent/pgpass", 1);
    }
    void TearDown() override { kelvotest::ScrubPgEnvironment(); }

    wire::RedirectTarget To(int port) const { return {2, m_dir.Path(), std::to_string(port)}; }
    kelvotest::ScratchDirectory m_dir;
};

TEST_F(ConnectRedirectTest, RedirectIsFollowedWhereverItArrives) {
    const std::string redirect = wire::Redirect("sess-1", {To(7102)});
    const std::string after_ok = wire::AuthenticationOk() + wire::ParameterStatus("server_version", "15.0") +
                                 wire::ParameterStatus("client_encoding", "UTF8");
    struct Case {
        const char* name;
        std::string bytes;
        size_t piece;
        std::string options = "allow_redirects=on";
    };
    const Case cases[] = {
        // A session identifier already given is never doubled.
        {"before authentication, identifier given", redirect, 0, "session_identifier=mine"},
        {"after parameter statuses, byte by byte", after_ok + redirect, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Seen first, second;
        {
            StartupPeer a(m_dir.Path(), 7101, {Reply(&first, c.bytes, c.piece), Reply(&first, StartupSuccess())});
            StartupPeer b(m_dir.Path(), 7102, {Reply(&second, StartupSuccess())});
            Conn conn = Connect(m_dir.Path(), "7101", c.options);
            ASSERT_EQ(PQstatus(conn.get()), CONNECTION_OK) << PQerrorMessage(conn.get());
            EXPECT_STREQ(PQport(conn.get()), "7102");
            // What was given is still what PQconninfo reports.
            PQconninfoOption* options = PQconninfo(conn.get());
            EXPECT_STREQ(pqConninfoValue(options, "port"), "7101");
            EXPECT_STREQ(pqConninfoValue(options, "options"), c.options.c_str());
            PQconninfoFree(options);
            // Only what the second server said counts.
            EXPECT_EQ(PQparameterStatus(conn.get(), "client_encoding"), nullptr);
            // A reset starts over from the given host.
            PQreset(conn.get());
            ASSERT_EQ(PQstatus(conn.get()), CONNECTION_OK) << PQerrorMessage(conn.get());
            EXPECT_STREQ(PQport(conn.get()), "7101");
        }
        EXPECT_EQ(first.Options(0), c.options);
        EXPECT_EQ(first.Options(1), c.options);
        // The redirecting host is no failed attempt.
        const bool given = c.options.find("session_identifier") != std::string::npos;
        EXPECT_EQ(second.Options(0), given ? c.options : c.options + " session_identifier=sess-1");
    }
}

TEST_F(ConnectRedirectTest, ChainsUpToTheLimit) {
    // A redirect without addresses sends the client back to the same host.
    for (int redirects : {1, 10, 11}) {
        SCOPED_TRACE(redirects);
        Seen seen;
        std::vector<StartupPeer::Script> scripts;
        for (int i = 0; i < redirects; ++i)
            scripts.push_back(Reply(&seen, wire::Redirect("s" + std::to_string(i), {})));
        scripts.push_back(Reply(&seen, StartupSuccess()));
        StartupPeer peer(m_dir.Path(), 7103, scripts);
        Conn conn = Connect(m_dir.Path(), "7103");
        if (redirects <= 10) {
            EXPECT_EQ(PQstatus(conn.get()), CONNECTION_OK) << PQerrorMessage(conn.get());
            EXPECT_EQ(peer.Accepted(), redirects + 1);
        } else {
            EXPECT_EQ(PQstatus(conn.get()), CONNECTION_BAD);
            EXPECT_STREQ(PQerrorMessage(conn.get()),
                         "<sqlstate>08S01</sqlstate><primary>The connection was redirected 11 times, which is more "
                         "than the limit of 10.</primary>");
        }
        // The first session identifier is carried to every later packet.
        ASSERT_GE(seen.Count(), 2u);
        for (size_t i = 1; i < seen.Count(); ++i)
            EXPECT_EQ(seen.Options(i), " session_identifier=s0") << i;
    }
}

TEST_F(ConnectRedirectTest, FailedAttemptsTravelQuotedInTheNextPacket) {
    const std::string blank_dir = m_dir.Path() + "/my dir";
    Seen seen;
    {
        StartupPeer live(m_dir.Path(), 7141, {Reply(&seen, StartupSuccess())});
        Conn conn = Connect(blank_dir + "," + m_dir.Path() + ",/nonexistent", "7140,7141,7142", "a=1");
        EXPECT_EQ(PQstatus(conn.get()), CONNECTION_OK) << PQerrorMessage(conn.get());
    }
    EXPECT_EQ(seen.Options(0), "a=1 failed_connection_attempts='" + blank_dir + "/.s.PGSQL.7140'");

    // A redirect target that fails is recorded; the redirecting host is not.
    Seen a_seen, b_seen;
    {
        StartupPeer a(
            m_dir.Path(), 7143,
            {Reply(&a_seen, wire::Redirect("s", {To(7144), {1, "127.0.0.1", "1"}})), Reply(&a_seen, StartupSuccess())});
        Conn conn = Connect(m_dir.Path(), "7143");
        EXPECT_EQ(PQstatus(conn.get()), CONNECTION_OK) << PQerrorMessage(conn.get());
    }
    EXPECT_EQ(a_seen.Options(1),
              " session_identifier=s failed_connection_attempts=" + m_dir.Path() + "/.s.PGSQL.7144,127.0.0.1:1");
}

// Protocol 2.0 answers: no length words; a row description and a data row
// of one text column.
std::string OldRow(const std::string& value) {
    const std::string description =
        std::string("T\0\x01", 3) + "v" + '\0' + wire::Int32(25) + std::string("\xff\xff", 2) + wire::Int32(-1);
    return std::string("Pblank") + '\0' + description + "D\x80" + wire::Int32(static_cast<int32_t>(value.size() + 4)) +
           value;
}

TEST_F(ConnectRedirectTest, OldServersGetTheOldStartupPacketAndSettingsExchange) {
    Seen seen;
    std::vector<std::string> queries;
    auto old_server = [&seen, &queries](PeerConnection& c) {
        StartupPacket packet;
        if (!c.ReadStartupPacket(packet))
            return;
        seen.Add(packet);
        c.Send(std::string("R") + wire::Int32(0) + "K" + wire::Int32(99) + wire::Int32(7) + "Z");
        std::string query;
        while (c.ReadOldQuery(query)) {
            queries.push_back(query);
            if (query.find("version()") != std::string::npos) {
                c.Send(std::string("CBEGIN") + '\0' + OldRow("PostgreSQL 7.4.30 on x86_64") + "CSELECT" + '\0' +
                       "CCOMMIT" + '\0' + "Z");
            } else if (query.find("pg_client_encoding") != std::string::npos) {
                c.Send(OldRow("LATIN1") + "CSELECT" + '\0' + "Z");
            } else {
                c.Send(std::string("CSET") + '\0' + "Z");
            }
        }
    };
    setenv("PGDATESTYLE", "ISO", 1);
    {
        StartupPeer peer(m_dir.Path(), 7161,
                         {Reply(&seen, std::string("EFATAL:  unsupported frontend protocol\n") + '\0'), old_server});
        Conn conn = Connect(m_dir.Path(), "7161");
        unsetenv("PGDATESTYLE");
        ASSERT_EQ(PQstatus(conn.get()), CONNECTION_OK) << PQerrorMessage(conn.get());
        EXPECT_STREQ(PQerrorMessage(conn.get()), "");
        EXPECT_EQ(PQprotocolVersion(conn.get()), 2);
        EXPECT_EQ(PQbackendPID(conn.get()), 99);
        EXPECT_EQ(PQserverVersion(conn.get()), 70430);
        EXPECT_STREQ(PQparameterStatus(conn.get(), "client_encoding"), "LATIN1");
    }  // the peer's thread has ended: its records can be read
    ASSERT_EQ(seen.packets.size(), 2u);
    EXPECT_EQ(seen.packets[0].version, 196608u);
    EXPECT_EQ(seen.packets[1].version, 131072u);
    EXPECT_EQ(seen.packets[1].raw.size(), 296u);
    ASSERT_EQ(queries.size(), 3u);
    EXPECT_EQ(queries[0], "SET datestyle = 'ISO'");
    EXPECT_EQ(queries[1], "begin; select version(); end");
    EXPECT_EQ(queries[2], "select pg_client_encoding()");
}

TEST_F(ConnectRedirectTest, SilentServerIsGivenUpAfterTheTimeout) {
    Seen silent_seen, live_seen;
    auto silent = [&silent_seen](PeerConnection& c) {
        StartupPacket packet;
        if (c.ReadStartupPacket(packet))
            silent_seen.Add(packet);
        c.ClientClosed();
    };
    StartupPeer quiet(m_dir.Path(), 7201, {silent});
    StartupPeer live(m_dir.Path(), 7202, {Reply(&live_seen, StartupSuccess())});
    // connect_timeout 1 counts as 2 seconds, so the test takes about that.
    const std::string conninfo =
        "host='" + m_dir.Path() + "," + m_dir.Path() + "' port=7201,7202 user=u connect_timeout=1";
    Conn conn(PQconnectdb(conninfo.c_str()));
    ASSERT_EQ(PQstatus(conn.get()), CONNECTION_OK) << PQerrorMessage(conn.get());
    EXPECT_STREQ(PQport(conn.get()), "7202");
    conn.reset();
    EXPECT_EQ(live_seen.Options(0), " failed_connection_attempts=" + m_dir.Path() + "/.s.PGSQL.7201");
}

// Every malformed redirect is read in startup_test; here the attempt ends
// at once with the one error, before and after AuthenticationOk.
TEST_F(ConnectRedirectTest, StartupFailures) {
    struct Case {
        const char* name;
        std::string bytes;
        std::string error;
        const char* options = "";
    };
    const Case cases[] = {
        // Declares 2 GiB and sends nothing more: no allocation, no wait.
        {"oversized redirect", "@" + wire::Int32(0x7fffffff),
         "<sqlstate>08P01</sqlstate><primary>The redirect request has an invalid length of 2147483647 "
         "bytes.</primary>"},
        {"oversized redirect after AuthenticationOk", wire::AuthenticationOk() + "@" + wire::Int32(0x40000000),
         "<sqlstate>08P01</sqlstate><primary>The redirect request has an invalid length of 1073741824 "
         "bytes.</primary>"},
        // The values of the switch are read in startup_test.
        {"redirect while disabled", wire::Redirect("ignored", {To(7172)}),
         "<sqlstate>08P01</sqlstate><primary>The server sent a redirect request even though `allow_redirects` is "
         "disabled.</primary>",
         "a=1 allow_redirects=OFF"},
        {"unexpected message", wire::Message('X', ""),
         "Expected an authentication request or redirect from the server, but received X."},
        {"oversized authentication request", wire::Message('R', std::string(2000, '\0')),
         "Expected an authentication request from the server, but received R."},
        {"error after AuthenticationOk",
         wire::AuthenticationOk() +
             wire::ErrorResponse({{'S', "FATAL"}, {'V', "FATAL"}, {'C', "53300"}, {'M', "too many"}}),
         "<severity>FATAL</severity><sqlstate>53300</sqlstate><primary>too many</primary>\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Seen seen;
        StartupPeer peer(m_dir.Path(), 7171, {Reply(&seen, c.bytes)});
        StartupPeer target(m_dir.Path(), 7172, {Reply(&seen, StartupSuccess())});
        Conn conn = Connect(m_dir.Path(), "7171", c.options);
        EXPECT_EQ(PQstatus(conn.get()), CONNECTION_BAD);
        EXPECT_EQ(PQerrorMessage(conn.get()), c.error);
        EXPECT_EQ(target.Accepted(), 0);
    }
}

TEST_F(ConnectRedirectTest, RequirePeerNamesTheServersUser) {
    const std::string me = getpwuid(geteuid())->pw_name;
    const std::pair<std::string, std::string> cases[] = {
        {me, ""},
        {"nobody-at-all",
         "The requirepeer parameter specifies \"nobody-at-all\", but the actual peer user name is \"" + me + "\"."},
    };
    for (const auto& [peer_user, error] : cases) {
        SCOPED_TRACE(peer_user);
        Seen seen;
        StartupPeer peer(m_dir.Path(), 7191, {Reply(&seen, StartupSuccess())});
        const std::string conninfo = "host='" + m_dir.Path() + "' port=7191 user=u requirepeer=" + peer_user;
        Conn conn(PQconnectdb(conninfo.c_str()));
        EXPECT_EQ(PQstatus(conn.get()), error.empty() ? CONNECTION_OK : CONNECTION_BAD);
        EXPECT_EQ(PQerrorMessage(conn.get()), error);
        // The check comes before the start-up packet.
        conn.reset();
        EXPECT_EQ(seen.Count(), error.empty() ? 1u : 0u);
    }
}

// Polled without blocking over a reply cut into pieces, with a notice before
// the end of the start-up that reaches the receiver installed meanwhile.
TEST_F(ConnectRedirectTest, NonBlockingPollReportsEachStepAndNotices) {
    const std::string notice = wire::Message('N', std::string("SNOTICE\0VNOTICE\0C00000\0Mwelcome\0\0", 33));
    Seen seen;
    StartupPeer peer(
        m_dir.Path(), 7192,
        {Reply(&seen, wire::AuthenticationOk() + notice + wire::BackendKeyData(1, 2) + wire::ReadyForQuery(), 3)});
    Conn conn(PQconnectStart(("host='" + m_dir.Path() + "' port=7192 user=u").c_str()));
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

}  // namespace
