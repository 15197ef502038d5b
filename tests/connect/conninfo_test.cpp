// Connection options from strings, URIs, arrays, the service file and the environment; the password file; and the
// pieces of a connection attempt that need no peer.
#include "postgres/libpq/conninfo.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <tuple>

#include "error/tagged_text.h"
#include "postgres/libpq/connect.h"
#include "postgres/libpq/connection_record.h"
#include "postgres/libpq/host_list.h"
#include "postgres/libpq/password_file.h"
#include "postgres/libpq/redirect.h"
#include "postgres/libpq/startup_packet.h"
#include "support/connected_record.h"
#include "support/postgres_cluster.h"
#include "support/scoped_temp_directory.h"
#include "support/scripted_peer.h"

namespace {

using Settings = std::map<std::string, std::string>;

Settings ValuesOf(const PQconninfoOption* options) {
    Settings values;
    for (const PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
        if (option->val != nullptr)
            values[option->keyword] = option->val;
    }
    return values;
}

// A failure as Parse reports it; the client's own texts tagged with 22023.
Settings Failure(const std::string& text) { return {{"error", text}}; }
Settings Invalid(const std::string& primary) {
    return Failure("<sqlstate>22023</sqlstate><primary>" + primary + "</primary>");
}

// Parses text; the settings, or "error: " and the message.
Settings Parse(const std::string& text) {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(text.c_str(), &error);
    if (options == nullptr) {
        const Settings failure = Failure(error != nullptr ? error : "(none)");
        free(error);
        return failure;
    }
    EXPECT_EQ(error, nullptr);
    Settings values = ValuesOf(options);
    PQconninfoFree(options);
    return values;
}

class ConninfoTest : public ::testing::Test {
protected:
    void SetUp() override { kelvotest::ScrubPgEnvironment(); }
    void TearDown() override { kelvotest::ScrubPgEnvironment(); }
};

TEST_F(ConninfoTest, KeywordValueStringsAndUris) {
    const std::pair<const char*, Settings> cases[] = {
        {"host = a\tport =\n5 ", {{"host", "a"}, {"port", "5"}}},
        {"password='it\\'s' user=a\\ b", {{"password", "it's"}, {"user", "a b"}}},
        {"host=a host=b", {{"host", "b"}}},
        {"requiressl=1", {{"sslmode", "require"}}},
        {"requiressl=0", {{"sslmode", "prefer"}}},
        {"a<b>&=1", Invalid("The connection option \"a&lt;b>&amp;\" is invalid.")},
        {"host", Invalid("The connection info string is missing an \"=\" after \"host\".")},
        // A keyword cannot end the tag it is quoted in.
        {"x</primary>", Invalid("The connection info string is missing an \"=\" after \"x&lt;/primary>\".")},
        {"user='abc\\'", Invalid("The connection info string contains an unterminated quoted string.")},
        {"postgresql://", {}},
        {"postgresql://:p@h", {{"password", "p"}, {"host", "h"}}},
        {"postgresql://a:1,b,c:3/db", {{"host", "a,b,c"}, {"port", "1,,3"}, {"dbname", "db"}}},
        {"postgresql://[::1],[fe80::1]", {{"host", "::1,fe80::1"}, {"port", ","}}},
        {"postgresql://%2Ftmp%2Fsock/d%20b", {{"host", "/tmp/sock"}, {"dbname", "d b"}}},
        {"postgresql://h/?application_name=a%26b&port=1", {{"host", "h"}, {"application_name", "a&b"}, {"port", "1"}}},
        {"postgresql://h?ssl=true", {{"host", "h"}, {"sslmode", "require"}}},
        {"postgresql://h?application_name=x@y", {{"host", "h"}, {"application_name", "x@y"}}},
        {"postgresql://[::1",
         Failure("end of string reached when looking for matching \"]\" in IPv6 host address in URI: "
                 "\"postgresql://[::1\"")},
        {"postgresql://[]/d", Failure("The URI \"postgresql://[]/d\" contains an empty IPv6 host address.")},
        {"postgresql://[::1]x",
         Failure(
             "unexpected character \"x\" at position 19 in URI (expected \":\" or \"/\"): \"postgresql://[::1]x\"")},
        {"postgresql://h?a=b=c", Failure("extra key/value separator \"=\" in URI query parameter: \"a=b=c\"")},
        {"postgresql://h?port", Failure("missing key/value separator \"=\" in URI query parameter: \"port\"")},
        {"postgresql://h?ssl=false", Failure("invalid URI query parameter: \"ssl\"")},
        {"postgresql://h/d%00x", Failure("forbidden value %00 in percent-encoded value: \"d%00x\"")},
        {"postgresql://h/d%zz", Failure("invalid percent-encoded token: \"d%zz\"")}};
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(Parse(text), expected) << text;
}

TEST_F(ConninfoTest, KeywordArrays) {
    const std::tuple<std::vector<const char*>, std::vector<const char*>, int, Settings> cases[] = {
        {{"requiressl"}, {"1"}, 0, Invalid("The connection option \"requiressl\" is invalid.")},
        // Without expansion a dbname with '=' or a URI is just a name.
        {{"dbname"}, {"host=a port=1"}, 0, {{"dbname", "host=a port=1"}}},
        // With expansion its settings stand at its place: later entries win.
        {{"port", "dbname", "user"},
         {"9", "host=a port=1 user=u dbname=d", "v"},
         1,
         {{"host", "a"}, {"port", "1"}, {"user", "v"}, {"dbname", "d"}}},
        {{"dbname", "port"}, {"postgresql://h:2/x", "3"}, 1, {{"host", "h"}, {"port", "3"}, {"dbname", "x"}}},
        {{"dbname", "dbname"}, {"plain", "host=a"}, 1, {{"dbname", "host=a"}}},
        {{"dbname"}, {"host='x"}, 1, Invalid("The connection info string contains an unterminated quoted string.")}};
    for (const auto& [givenKeywords, givenValues, expand, expected] : cases) {
        std::vector<const char*> keywords = givenKeywords, values = givenValues;
        keywords.push_back(nullptr);
        values.push_back(nullptr);
        SCOPED_TRACE(std::string(keywords[0]) + " expand=" + std::to_string(expand));
        std::string error;
        ConninfoOptions options = pqConninfoParseArrays(keywords.data(), values.data(), expand, error);
        EXPECT_EQ(options ? ValuesOf(options.get()) : Failure(error), expected);
    }

    // No arrays at all is no setting at all.
    std::string error;
    ConninfoOptions none = pqConninfoParseArrays(nullptr, nullptr, 1, error);
    ASSERT_TRUE(none);
    EXPECT_EQ(ValuesOf(none.get()), Settings{});
}

class ServiceFileTest : public ConninfoTest {
protected:
    std::string Write(const std::string& name, const std::string& text) { return m_scratch.WriteFile(name, text); }
    // Defaults for the given explicit settings; the settings or the error.
    Settings Resolve(const std::vector<std::pair<const char*, const char*>>& explicit_settings) {
        ConninfoOptions options = pqConninfoInit();
        std::string error;
        for (const auto& [keyword, value] : explicit_settings)
            EXPECT_TRUE(pqConninfoStore(options.get(), keyword, value, error));
        if (!pqConninfoAddDefaults(options.get(), &error))
            return {{"error", error}};
        return ValuesOf(options.get());
    }
    kelvotest::ScopedTempDirectory m_scratch;
    const std::string m_dir = m_scratch.Path();
};

TEST_F(ServiceFileTest, ExplicitBeatsServiceBeatsEnvironmentBeatsCompiled) {
    const std::string path = Write("services",
                                   "# comment\n\n[other]\nhost=wrong\n  [main]\n  host=from-service\nport=6001\r\n"
                                   "dbname=svcdb\n[later]\nbogus line ignored after the section\n");
    setenv("PGSERVICEFILE", path.c_str(), 1);
    setenv("PGPORT", "7001", 1);
    setenv("PGDATABASE", "envdb", 1);
    setenv("PGAPPNAME", "envapp", 1);
    Settings values = Resolve({{"service", "main"}, {"dbname", "explicit"}});
    EXPECT_EQ(values["host"], "from-service");
    EXPECT_EQ(values["port"], "6001");
    EXPECT_EQ(values["dbname"], "explicit");
    EXPECT_EQ(values["application_name"], "envapp");
    EXPECT_EQ(values["sslmode"], "disable");

    setenv("PGSERVICE", "main", 1);  // the service may come from the environment too
    setenv("PGREQUIRESSL", "1", 1);
    values = Resolve({});
    EXPECT_EQ(values["host"], "from-service");
    EXPECT_EQ(values["sslmode"], "require");

    // The system's file is read after the user's.
    Write("pg_service.conf", "[b]\nport=2\n[main]\nport=3\n");
    setenv("PGSYSCONFDIR", m_dir.c_str(), 1);
    EXPECT_EQ(Resolve({{"service", "main"}})["port"], "6001");
    EXPECT_EQ(Resolve({{"service", "b"}})["port"], "2");
}

TEST_F(ServiceFileTest, ServiceFileFailures) {
    const std::string long_line = "host=" + std::string(249, 'h') + "\n";  // 255 with its newline
    const std::string fitting_line = "host=" + std::string(248, 'h') + "\n";
    // No text: no file. An empty expected error: the service is found. "%s" is the file's path.
    const std::tuple<const char*, std::string, const char*, std::string> cases[] = {
        {"missing", "", "x", "The service file \"%s\" was not found."},
        {"prefix-name", "[ab]\nhost=x\n", "a", "The definition of service \"a\" was not found."},
        {"no-equals", "[a]\nhost x\n", "a", "syntax error in service file \"%s\", line 2"},
        {"nested", "[a]\nservice=b\n", "a",
         "nested service specifications not supported in service file \"%s\", line 2"},
        {"too-long", "[a]\n" + long_line, "a", "Line 2 is too long in service file \"%s\"."},
        {"fits", "[a]\n" + fitting_line, "a", ""}};
    for (const auto& [name, text, service, expected_error] : cases) {
        SCOPED_TRACE(name);
        const std::string path = text.empty() ? m_dir + "/does-not-exist" : Write(name, text);
        setenv("PGSERVICEFILE", path.c_str(), 1);
        Settings values = Resolve({{"service", service}});
        std::string expected = expected_error;
        const size_t at = expected.find("%s");
        if (at != std::string::npos)
            expected.replace(at, 2, path);
        EXPECT_EQ(values.count("error") ? values["error"] : "", expected);
        // PQconndefaults goes on regardless.
        PQconninfoOption* defaults = PQconndefaults();
        ASSERT_NE(defaults, nullptr);
        PQconninfoFree(defaults);
    }
}

std::string Lookup(const char* host, const char* port, const char* db, const char* user, const std::string& path) {
    char* password = pqPasswordFromFile(host, port, db, user, path.c_str());
    std::string result = password != nullptr ? password : "(none)";
    free(password);
    return result;
}

TEST(PasswordFile, FirstMatchingLineGivesThePassword) {
    kelvotest::ScopedTempDirectory dir;
    const std::string path = dir.WriteFile("pgpass",
                                           "\ndb.example:5432:sales:alice:first\ndb.example:5432:sales:alice:second\n"
                                           "db.example:*:*:bob:wild\n*:*:*:carol:any\\:thing:ignored\n"
                                           "esc\\:host:5432:d\\\\b:dave:p\\\\w\nlocalhost:5432:local:erin:sock\r\n"
                                           "*:6000:*:\\*:star-user\nshort:line\nh:5432:d:frank:\n");
    const std::array<const char*, 5> cases[] = {
        {"db.example", "5432", "sales", "alice", "first"},
        {"db.example", "", "sales", "alice", "first"},  // empty port means 5432
        {"db.example", "5433", "sales", "alice", "(none)"},
        {"other", "1", "x", "carol", "any:thing"},  // password ends at an unescaped ':'
        {"esc:host", "5432", "d\\b", "dave", "p\\w"},
        {"", "5432", "local", "erin", "sock"},      // no host: localhost
        {"/tmp", "5432", "local", "erin", "sock"},  // default socket directory: localhost
        {"h", "6000", "d", "*", "star-user"}        // an escaped '*' is a literal star
    };
    for (const auto& [host, port, db, user, expected] : cases)
        EXPECT_EQ(Lookup(host, port, db, user, path), expected) << host << ":" << port << ":" << db << ":" << user;

    // An overlong line is skipped whole: the tail past the reader's limit would itself be a matching line. Also when it
    // is the last one and has no newline.
    const std::string tail = "h:5432:d:u:stolen";
    const std::string longest = "h:5432:d:v:" + std::string(319 - 11, 'q');
    const std::string overlong = dir.WriteFile(
        "overlong", "x:1:y:z:" + std::string(319 - 8, 'p') + tail + "\n" + longest + "\nh:5432:d:u:right\n");
    EXPECT_EQ(Lookup("h", "5432", "d", "u", overlong), "right");
    EXPECT_EQ(Lookup("h", "5432", "d", "v", overlong), std::string(319 - 11, 'q'));
    const std::string last = dir.WriteFile("last", "h:5432:d:w:ok\n" + std::string(400, 'p') + tail);
    EXPECT_EQ(Lookup("h", "5432", "d", "u", last), "(none)");
    EXPECT_EQ(Lookup("h", "5432", "d", "w", last), "ok");
}

TEST(PasswordFile, FilesOthersMayUseAreIgnoredWithAWarning) {
    kelvotest::ScopedTempDirectory dir;
    const std::string open = dir.WriteFile("open", "h:5432:d:u:secret\n", 0640);
    const std::tuple<std::string, const char*, std::string> cases[] = {
        {dir.WriteFile("private", "h:5432:d:u:secret\n", 0600), "secret", ""},
        {open, "(none)",
         "WARNING: The password file \"" + open +
             "\" has group or world access. The permissions should be u=rw (0600) or less.\n"},
        {dir.Path(), "(none)", "WARNING: The password file \"" + dir.Path() + "\" is not a plain file.\n"},
        {dir.Path() + "/missing", "(none)", ""}};
    for (const auto& [path, password, warning] : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(Lookup("h", "5432", "d", "u", path), password) << path;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), warning);
    }
}

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

using StartupTest = ConninfoTest;

TEST_F(StartupTest, HostListFromHostHostaddrAndPort) {
    // host, hostaddr, port; the entries as type|host|hostaddr|port, or the error text.
    const std::tuple<const char*, const char*, const char*, const char*> cases[] = {
        {nullptr, nullptr, nullptr, "2|/tmp|-|-;"},
        {"a,/s,", nullptr, "1", "0|a|-|1;2|/s|-|1;2|/tmp|-|1;"},
        {"a,b", "10.0.0.1,10.0.0.2", nullptr, "1|a|10.0.0.1|-;1|b|10.0.0.2|-;"},
        {"a,b", "1.1.1.1,2.2.2.2,3.3.3.3", nullptr, "Could not match 2 host names to 3 hostaddr values."},
        {"a,b,c", nullptr, "1,2", "Could not match 2 port numbers to 3 hosts."}};
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
        {"target_session_attrs", "read-only", "The target_session_attrs value \"read-only\" is invalid."}};
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
        {"host", longDir, "primary", "The Unix-domain socket path \"" + longDir + "/.s.PGSQL.5432\" is too long."}};
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

    // The additions quoted, a blank in a socket directory kept inside one item, an apostrophe or a backslash escaped:
    // unquoted, a leading apostrophe would open a quote the server never sees closed.
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
    const std::pair<const char*, bool> cases[] = {{nullptr, true},
                                                  {"x=1 allow_redirects=off y=2", false},
                                                  {"allow_redirects=No", false},
                                                  {"allow_redirects=of", true},
                                                  {"allow_redirects=", true},
                                                  {"allow_redirects=on allow_redirects=off", true}};
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
         bad("contains the invalid address type '3'.")}};
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
