// The pieces of a connection attempt that need no peer: the host list, the
// start-up packet with the client's additions, the record of hosts given up,
// reading redirect messages, and host texts kept inside the tags of errors.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>

#include "error/tagged_text.h"
#include "postgres/libpq/connect.h"
#include "postgres/libpq/connection_record.h"
#include "postgres/libpq/conninfo.h"
#include "postgres/libpq/host_list.h"
#include "postgres/libpq/redirect.h"
#include "postgres/libpq/startup_packet.h"
#include "support/connected_record.h"
#include "support/postgres_cluster.h"
#include "support/scripted_peer.h"

namespace {

namespace wire = kelvotest::wire;
using wire::Int32;

using kelvotest::ConnPtr;

ConnPtr MakeConn(std::initializer_list<std::pair<const char*, const char*>> settings) {
    ConnPtr conn(makeEmptyPGconn());
    ConninfoOptions options = pqConninfoInit();
    std::string error;
    for (const auto& [keyword, value] : settings)
        EXPECT_TRUE(pqConninfoStore(options.get(), keyword, value, error)) << error;
    EXPECT_TRUE(pqConninfoToConnection(conn.get(), options.get()));
    conn->pversion = PG_PROTOCOL(3, 0);
    conn->send_appname = true;
    return conn;
}

std::string Describe(const PGconn* conn) {
    std::string out;
    for (int i = 0; i < conn->nconnhost; ++i) {
        const pg_conn_host& e = conn->connhost[i];
        out += std::to_string(e.type) + "|" + (e.host ? e.host : "-") + "|" + (e.hostaddr ? e.hostaddr : "-") + "|" +
               (e.port ? e.port : "-") + ";";
    }
    return out;
}

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override { kelvotest::ScrubPgEnvironment(); }
};

TEST_F(StartupTest, HostListFromHostHostaddrAndPort) {
    // host, hostaddr, port; the entries as type|host|hostaddr|port, or the error text.
    const std::tuple<const char*, const char*, const char*, const char*> cases[] = {
        {nullptr, nullptr, nullptr, "2|/tmp|-|-;"},
        {"a,/s,", nullptr, "1", "0|a|-|1;2|/s|-|1;2|/tmp|-|1;"},
        {"a,b", "10.0.0.1,10.0.0.2", nullptr, "1|a|10.0.0.1|-;1|b|10.0.0.2|-;"},
        {"a,b", "1.1.1.1,2.2.2.2,3.3.3.3", nullptr, "Could not match 2 host names to 3 hostaddr values."},
        {"a,b,c", nullptr, "1,2", "Could not match 2 port numbers to 3 hosts."},
    };
    for (const auto& [host, hostaddr, port, expected] : cases) {
        SCOPED_TRACE(std::string(host ? host : "(null)") + " / " + (hostaddr ? hostaddr : "(null)"));
        ConnPtr conn(makeEmptyPGconn());
        conn->pghost = host ? strdup(host) : nullptr;
        conn->pghostaddr = hostaddr ? strdup(hostaddr) : nullptr;
        conn->pgport = port ? strdup(port) : nullptr;
        const bool ok = pqBuildHostList(conn.get());
        EXPECT_EQ(ok ? Describe(conn.get()) : std::string(conn->errorMessage.data), expected);
        EXPECT_TRUE(ok || conn->status == CONNECTION_BAD);
    }
}

TEST_F(StartupTest, OptionChecksBeforeAnySocket) {
    const std::tuple<const char*, const char*, const char*> cases[] = {
        // keyword, value, error or null
        {"sslmode", "require", "The sslmode value \"require\" is invalid when SSL support is not compiled in."},
        {"target_session_attrs", "read-only", "The target_session_attrs value \"read-only\" is invalid."},
    };
    for (const auto& [keyword, value, error] : cases) {
        SCOPED_TRACE(std::string(keyword) + "=" + value);
        ConnPtr conn = MakeConn({{"user", "u"}, {keyword, value}, {"passfile", "/nonexistent"}});
        bool ok = pqCheckConnectionOptions(conn.get());
        EXPECT_EQ(ok, error == nullptr);
        EXPECT_EQ(conn->options_valid, ok);
        EXPECT_STREQ(conn->errorMessage.data, error ? error : "");
    }

    // An absent sslmode is disable; the database defaults to the user name.
    ConnPtr conn = MakeConn({{"user", "someone"}, {"passfile", "/nonexistent"}});
    ASSERT_TRUE(pqCheckConnectionOptions(conn.get()));
    EXPECT_STREQ(conn->sslmode, "disable");
    EXPECT_STREQ(conn->dbName, "someone");
}

TEST_F(StartupTest, HostTextsInsideTagsCannotCloseThem) {
    const std::string longDir = "/<x>" + std::string(110, 'd');
    const std::tuple<const char*, std::string, const char*, std::string> cases[] = {
        {"host", "/no</hint>dir&", "hint",
         "Is the server running locally and accepting connections on Unix domain socket "
         "\"/no</hint>dir&/.s.PGSQL.5432\"?"},
        {"hostaddr", "1.2.3.<4>", "primary", "Could not parse the network address \"1.2.3.<4>\"."},
        {"host", longDir, "primary", "The Unix-domain socket path \"" + longDir + "/.s.PGSQL.5432\" is too long."},
    };
    for (const auto& [keyword, value, tag, expected] : cases) {
        SCOPED_TRACE(value);
        const char* keywords[] = {keyword, "port", "user", nullptr};
        const char* values[] = {value.c_str(), "5432", "u", nullptr};
        std::unique_ptr<PGconn, decltype(&PQfinish)> conn(PQconnectdbParams(keywords, values, 0), &PQfinish);
        ASSERT_EQ(CONNECTION_BAD, PQstatus(conn.get()));
        const std::string text = PQerrorMessage(conn.get());
        EXPECT_EQ(expected, kelvoapi::ReadTagValue(text, tag)) << text;
    }
}

TEST_F(StartupTest, StartupPacketCarriesTheAdditionsEscaped) {
    ConnPtr conn = MakeConn({{"user", "u"},
                             {"dbname", "d"},
                             {"options", "allow_redirects=on"},
                             {"application_name", "app"},
                             {"fallback_application_name", "fallback"}});
    std::string packet = pqBuildStartupPacket(conn.get());
    ASSERT_EQ(packet.size(), static_cast<size_t>(static_cast<unsigned char>(packet[3])));
    EXPECT_EQ(packet.substr(4, 4), std::string("\x00\x03\x00\x00", 4));
    EXPECT_EQ(packet.substr(8), std::string("user\0u\0database\0d\0options\0allow_redirects=on\0"
                                            "application_name\0app\0\0",
                                            67));

    // The additions quoted, a blank in a socket directory kept inside one
    // item, an apostrophe or a backslash escaped: unquoted, a leading
    // apostrophe would open a quote the server never sees closed.
    conn->session_identifier = strdup("'s\\1");
    appendPQExpBufferStr(&conn->failedConnectionAttempts, "/tmp/my dir/.s.PGSQL.5432,h:1");
    EXPECT_EQ(pqStartupOptions(conn.get()),
              "allow_redirects=on session_identifier='\\'s\\\\1' "
              "failed_connection_attempts='/tmp/my dir/.s.PGSQL.5432,h:1'");
    // The option itself is left as it was: additions never accumulate.
    EXPECT_STREQ(conn->pgoptions, "allow_redirects=on");

    // A session identifier already named in the options is not added again.
    free(conn->pgoptions);
    conn->pgoptions = strdup("session_identifier=x");
    EXPECT_EQ(pqStartupOptions(conn.get()),
              "session_identifier=x failed_connection_attempts='/tmp/my dir/.s.PGSQL.5432,h:1'");

    // Without application_name the fallback goes; without send_appname neither.
    free(conn->appname);
    conn->appname = nullptr;
    EXPECT_NE(pqBuildStartupPacket(conn.get()).find(std::string("application_name\0fallback\0", 26)),
              std::string::npos);
    conn->send_appname = false;
    EXPECT_EQ(pqBuildStartupPacket(conn.get()).find("application_name"), std::string::npos);

    setenv("PGDATESTYLE", "ISO", 1);
    setenv("PGTZ", "Default", 1);
    EXPECT_NE(pqBuildStartupPacket(conn.get()).find(std::string("datestyle\0ISO\0\0", 15)), std::string::npos);
    EXPECT_EQ(pqBuildStartupPacket(conn.get()).find("timezone"), std::string::npos);
    unsetenv("PGDATESTYLE");
    unsetenv("PGTZ");
}

TEST_F(StartupTest, FailedAttemptsListEachHostGivenUp) {
    const auto giveUpEveryHost = [](const std::string& hosts, const char* ports) {
        ConnPtr conn(makeEmptyPGconn());
        conn->pghost = strdup(hosts.c_str());
        conn->pgport = ports ? strdup(ports) : nullptr;
        EXPECT_TRUE(pqBuildHostList(conn.get()));
        for (conn->whichhost = 0; conn->whichhost < conn->nconnhost; ++conn->whichhost)
            pqRecordFailedAttempt(conn.get());
        return std::string(conn->failedConnectionAttempts.data);
    };
    EXPECT_EQ(giveUpEveryHost("db.example,/var/run,,x", "6000,,7,"),
              "db.example:6000,/var/run/.s.PGSQL.5432,/tmp/.s.PGSQL.7,x:5432");
    // A long list grows; no fixed-size buffer cuts it.
    std::string hosts;
    for (int i = 0; i < 200; ++i)
        hosts += (i ? "," : "") + std::string(30, 'a' + i % 26);
    EXPECT_EQ(giveUpEveryHost(hosts, nullptr).size(), 200u * 35 + 199);
}

TEST_F(StartupTest, AllowRedirectsSwitch) {
    // The first item counts.
    const std::pair<const char*, bool> cases[] = {
        {nullptr, true},
        {"x=1 allow_redirects=off y=2", false},
        {"allow_redirects=No", false},
        {"allow_redirects=of", true},
        {"allow_redirects=", true},
        {"allow_redirects=on allow_redirects=off", true},
    };
    for (const auto& [options, allowed] : cases)
        EXPECT_EQ(pqRedirectsAllowed(options), allowed) << (options ? options : "(null)");
}

// A redirect message around body, with its true length unless one is given.
std::string Redirect(const std::string& body, int32_t length = -1) {
    return length < 0 ? wire::Message('@', body) : "@" + wire::Int32(length) + body;
}

std::string Target(char type, const std::string& address, const std::string& port) {
    return std::string(1, type) + wire::CStr(address) + wire::CStr(port);
}

TEST_F(StartupTest, RedirectMessagesAreReadInsideTheirLength) {
    using R = RedirectParseResult;
    auto bad = [](const std::string& primary) {
        return "<sqlstate>08P01</sqlstate><primary>The redirect request " + primary + "</primary>";
    };
    const std::string ends_early = bad("ends before its contents are complete.");
    const std::string s0 = wire::CStr("s");
    const std::string two_targets = wire::CStr("sess") + Int32(2) + Target(0, "host", "6000") + Target(2, "/sock", "7");
    const std::tuple<const char*, std::string, R, std::string> cases[] = {
        {"trailing bytes inside the length", Redirect(s0 + Int32(0) + "xyz"), R::Complete, ""},
        {"body still arriving", Redirect(two_targets).substr(0, 12), R::Incomplete, ""},
        {"negative length", "@" + Int32(INT32_MIN), R::Malformed, bad("has an invalid length of -2147483648 bytes.")},
        {"identifier runs past the length", Redirect("abc") + wire::CStr("") + Int32(0), R::Malformed, ends_early},
        {"count runs past the length", Redirect(s0 + wire::Int16(0)) + wire::Int16(0), R::Malformed, ends_early},
        {"address runs past the length",
         Redirect(s0 + Int32(1) + std::string("\0ho", 3)) + wire::CStr("st") + wire::CStr("1"), R::Malformed,
         ends_early},
        {"missing port", Redirect(s0 + Int32(1) + std::string(1, '\0') + wire::CStr("host")), R::Malformed, ends_early},
        {"negative count", Redirect(s0 + Int32(-1)), R::Malformed, bad("has a negative address count.")},
        {"eleven addresses", Redirect(s0 + Int32(11)), R::Malformed,
         bad("contains 11 addresses, which is more than the limit of 10.")},
        {"bad type", Redirect(s0 + Int32(1) + Target(3, "h", "1")), R::Malformed,
         bad("contains the invalid address type '3'.")},
    };
    for (const auto& [name, bytes, result, expected_error] : cases) {
        SCOPED_TRACE(name);
        RedirectRequest request;
        size_t consumed = 0;
        std::string error;
        EXPECT_EQ(pqParseRedirect(bytes.data(), bytes.size(), &request, &consumed, &error), result);
        EXPECT_EQ(error, expected_error);
        EXPECT_TRUE(result != R::Complete || consumed == bytes.size());
    }

    RedirectRequest request;
    size_t consumed = 0;
    std::string error;
    const std::string bytes = Redirect(two_targets) + "Zmore";
    ASSERT_EQ(pqParseRedirect(bytes.data(), bytes.size(), &request, &consumed, &error), RedirectParseResult::Complete);
    EXPECT_EQ(consumed, bytes.size() - 5);
    EXPECT_EQ(request.session_identifier, "sess");
    ASSERT_EQ(request.targets.size(), 2u);
    EXPECT_EQ(request.targets[0].type, CHT_HOST_NAME);
    EXPECT_EQ(request.targets[0].address + ":" + request.targets[0].port, "host:6000");
    EXPECT_EQ(request.targets[1].type, CHT_UNIX_SOCKET);
    EXPECT_EQ(request.targets[1].address + ":" + request.targets[1].port, "/sock:7");
}

}  // namespace
