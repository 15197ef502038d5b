// Sessions of one server: start-up values, the statements the server runs
// itself (databases, aliases, schemas, tables, settings), statement errors with
// their SQLSTATEs, and attachments shared or refused between sessions.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/kelvod_server.h"
#include "support/wire_client.h"

using kelvotest::KelvodServer;
using kelvotest::WireClient;
using kelvotest::WireResult;

namespace {

class KelvodSessions : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server = new KelvodServer();
        ASSERT_TRUE(server->Start()) << server->Output();
    }
    static void TearDownTestSuite() {
        auto code = server->Stop();
        EXPECT_EQ(code.value_or(-1), 0) << server->Output();
        if (::testing::UnitTest::GetInstance()->failed_test_count() > 0) std::cerr << server->Output();
        delete server;
        server = nullptr;
    }
    std::string Path(const std::string& name) const { return server->Directory() + "/" + name; }
    std::string DbList(std::initializer_list<std::pair<std::string, std::string>> dbs) const {
        std::string json = "[";
        for (const auto& [alias, file] : dbs)
            json += std::string(json.size() > 1 ? "," : "") + "{\"alias\": \"" + alias + "\", \"path\": \"" + Path(file) + "\"}";
        return json + "]";
    }
    static KelvodServer* server;
};
KelvodServer* KelvodSessions::server = nullptr;

std::string Q(const std::string& s) { return "\"" + s + "\""; }

}  // namespace

TEST_F(KelvodSessions, StartupReportsItsSettingsAndAKeyPerSession) {
    WireClient a, b;
    WireResult r = a.Open(server->Endpoint());
    ASSERT_EQ(r.status, 'I');
    std::map<std::string, std::string> expected{{"server_encoding", "UTF8"}, {"client_encoding", "UTF8"},
                                                {"DateStyle", "ISO, MDY"},   {"IntervalStyle", "postgres"},
                                                {"TimeZone", "UTC"},         {"integer_datetimes", "on"},
                                                {"standard_conforming_strings", "on"}};
    for (const auto& [name, value] : expected) EXPECT_EQ(a.ParameterStatus().at(name), value) << name;
    EXPECT_EQ(a.ParameterStatus().count("server_version"), 1u);
    ASSERT_EQ(b.Open(server->Endpoint()).status, 'I');
    EXPECT_NE(a.Pid(), b.Pid());
    // R (AuthenticationOk) first, K before the final Z.
    EXPECT_EQ(r.types.front(), 'R');
    EXPECT_EQ(r.types[r.types.size() - 2], 'K');
}

TEST_F(KelvodSessions, OptionsAreReadWithQuotingAndUnknownSettingsFailTheStartup) {
    struct Case {
        const char* options;
        bool ok;
        const char* sqlstate;
    } cases[] = {
        {"allow_redirects=true extra_float_digits=2 requestedProtocolVersion=1 result_format_code=KelvoBinary TwoDigitYearThreshold=40", true, ""},
        {"user_agent='External API' client_info=C,Linux,0.1.0 dorvane_api=1", true, ""},
        {"allow_redirects=true  result_format_code=Text   session_identifier=abc failed_connection_attempts=/tmp/.s.PGSQL.1", true, ""},
        {"client_info='it\\'s a \\\\ b' DateStyle=ISO TimeZone=UTC IntervalStyle=postgres", true, ""},
        {"no_such_setting=1", false, "42704"},
        {"result_format_code=Sideways", false, "22023"},
        {"user_agent='unterminated", false, "22023"},
        {"just_a_name", false, "22023"},
    };
    for (const auto& c : cases) {
        WireClient client;
        WireResult r = client.Open(server->Endpoint(), "[]", c.options);
        if (c.ok) {
            EXPECT_EQ(r.status, 'I') << c.options;
        } else {
            ASSERT_EQ(r.errors.size(), 1u) << c.options;
            EXPECT_EQ(r.errors[0].severity, "FATAL");
            EXPECT_EQ(r.errors[0].sqlstate, c.sqlstate) << c.options << ": " << r.errors[0].message;
            EXPECT_TRUE(client.WaitClosed()) << c.options;
        }
    }
}

TEST_F(KelvodSessions, DatabaseStatementsWithAndWithoutSemicolon) {
    WireClient c;
    ASSERT_EQ(c.Open(server->Endpoint()).status, 'I');
    std::string a = Path("a.kelvo");
    struct Step {
        std::string sql;
        const char* sqlstate;  // "" for success
        const char* tag;
    } steps[] = {
        {"CREATE DATABASE " + Q(a) + ";", "", "CREATE DATABASE"},
        {"CREATE DATABASE " + Q(a), "42P04", ""},
        {"CREATE DATABASE IF NOT EXISTS " + Q(a), "", "CREATE DATABASE"},
        {"ATTACH DATABASE " + Q(a) + " AS \"a\";", "", "ATTACH DATABASE"},
        {"ATTACH DATABASE " + Q(a) + " AS \"a\"", "42710", ""},
        {"DROP DATABASE " + Q(a), "55006", ""},
        {"CREATE SCHEMA \"s\"", "", "CREATE SCHEMA"},
        {"CREATE SCHEMA IF NOT EXISTS \"a\".\"s\";", "", "CREATE SCHEMA"},
        {"CREATE SCHEMA \"a\".\"s\"", "42P06", ""},
        {"CREATE SCHEMA \"nodb\".\"s\"", "3D000", ""},
        {"CREATE TABLE \"a\".\"s\".\"t\" (\"x\" INT NOT NULL, \"y\" TEXT);", "", "CREATE TABLE"},
        {"CREATE TABLE IF NOT EXISTS \"s\".\"t\" (\"x\" INT)", "", "CREATE TABLE"},
        {"CREATE TABLE \"s\".\"t\" (\"x\" INT)", "42P07", ""},
        {"INSERT INTO s.t VALUES (1, 'one'), (2, NULL)", "", "INSERT 0 2"},
        {"DETACH DATABASE \"nope\"", "3D000", ""},
        {"DETACH DATABASE \"a\";", "", "DETACH DATABASE"},
        {"DETACH DATABASE *", "", "DETACH DATABASE"},
        {"DETACH DATABASE *;", "", "DETACH DATABASE"},
        {"DROP DATABASE " + Q(a) + ";", "", "DROP DATABASE"},
        {"DROP DATABASE " + Q(a), "3D000", ""},
        {"DROP DATABASE IF EXISTS " + Q(a), "", "DROP DATABASE"},
        {"ATTACH DATABASE " + Q(a) + " AS \"a\"", "3D000", ""},
        {"CREATE DATABASE " + Q(Path("missing-dir/x.kelvo")), "58030", ""},
        {"DROP DATABASE " + Q(Path("notes.txt")), "42809", ""},
    };
    { std::ofstream(Path("notes.txt")) << "not a database, never to be dropped\n"; }
    for (const auto& s : steps) {
        WireResult r = c.Query(s.sql);
        ASSERT_EQ(r.status, 'I') << s.sql;
        if (*s.sqlstate) {
            ASSERT_EQ(r.errors.size(), 1u) << s.sql;
            EXPECT_EQ(r.errors[0].sqlstate, s.sqlstate) << s.sql << ": " << r.errors[0].message;
            EXPECT_EQ(r.errors[0].severity, "ERROR");
        } else {
            ASSERT_TRUE(r.errors.empty()) << s.sql << ": " << r.errors[0].message;
            ASSERT_EQ(r.tags.size(), 1u) << s.sql;
            EXPECT_EQ(r.tags[0], s.tag) << s.sql;
            // IF [NOT] EXISTS that finds nothing to do says so in a notice.
            if (s.sql.find("IF NOT EXISTS " + Q(a)) != std::string::npos) {
                ASSERT_EQ(r.notices.size(), 1u) << s.sql;
                EXPECT_EQ(r.notices[0].severity, "NOTICE");
                EXPECT_EQ(r.notices[0].sqlstate, "42P04");
            }
        }
    }
    EXPECT_FALSE(std::filesystem::exists(a));
    EXPECT_TRUE(std::filesystem::exists(Path("notes.txt")));
}

TEST_F(KelvodSessions, DataSurvivesDetachAndReattachInAnotherSession) {
    std::string p = Path("keep.kelvo");
    {
        WireClient c;
        ASSERT_EQ(c.Open(server->Endpoint()).status, 'I');
        ASSERT_TRUE(c.Query("CREATE DATABASE " + Q(p)).Ok());
        ASSERT_TRUE(c.Query("ATTACH DATABASE " + Q(p) + " AS \"keep\"").Ok());
        ASSERT_TRUE(c.Query("CREATE TABLE \"t\" (\"v\" BIGINT)").Ok());
        ASSERT_TRUE(c.Query("INSERT INTO t SELECT * FROM range(1000)").Ok());
        // As the library closes a connection: the detach is answered before the session ends.
        ASSERT_TRUE(c.Query("DETACH DATABASE *").Ok());
    }
    WireClient d;
    ASSERT_EQ(d.Open(server->Endpoint(), DbList({{"other_alias", "keep.kelvo"}})).status, 'I');
    WireResult r = d.Query("SELECT count(*), sum(v) FROM t");
    ASSERT_TRUE(r.Ok()) << (r.errors.empty() ? "" : r.errors[0].message);
    EXPECT_EQ(r.Value(0, 0), "1000");
    EXPECT_EQ(r.Value(0, 1), "499500");
}

TEST_F(KelvodSessions, SharedAndConflictingAttachmentsBetweenSessions) {
    WireClient admin;
    ASSERT_EQ(admin.Open(server->Endpoint()).status, 'I');
    ASSERT_TRUE(admin.Query("CREATE DATABASE " + Q(Path("s1.kelvo"))).Ok());
    ASSERT_TRUE(admin.Query("CREATE DATABASE " + Q(Path("s2.kelvo"))).Ok());

    WireClient a, b, c;
    ASSERT_EQ(a.Open(server->Endpoint(), DbList({{"shared", "s1.kelvo"}})).status, 'I');
    ASSERT_EQ(b.Open(server->Endpoint(), DbList({{"shared", "s1.kelvo"}})).status, 'I');
    // The same alias for another file is refused, at start-up and by ATTACH.
    WireResult refused = c.Open(server->Endpoint(), DbList({{"shared", "s2.kelvo"}}));
    ASSERT_EQ(refused.errors.size(), 1u);
    EXPECT_EQ(refused.errors[0].sqlstate, "42710");
    ASSERT_EQ(c.Open(server->Endpoint()).status, 'I');
    EXPECT_EQ(c.Query("ATTACH DATABASE " + Q(Path("s2.kelvo")) + " AS \"shared\"").errors.at(0).sqlstate, "42710");
    // A missing file is an error at start-up.
    WireClient m;
    WireResult missing = m.Open(server->Endpoint(), DbList({{"m", "missing.kelvo"}}));
    ASSERT_EQ(missing.errors.size(), 1u);
    EXPECT_EQ(missing.errors[0].sqlstate, "3D000");

    ASSERT_TRUE(a.Query("CREATE TABLE \"t\" (\"v\" INT)").Ok());
    ASSERT_TRUE(a.Query("INSERT INTO t VALUES (42)").Ok());
    EXPECT_EQ(b.Query("SELECT v FROM t").Value(), "42");
    // A session reaches only its own aliases, although the engine holds them for all.
    for (const char* sql : {"SELECT v FROM shared.public.t", "USE shared"}) {
        WireResult other = c.Query(sql);
        ASSERT_EQ(other.errors.size(), 1u) << sql;
        EXPECT_EQ(other.errors[0].sqlstate, "3F000") << sql;
    }
    // One session leaving releases only its own use of the alias.
    ASSERT_TRUE(a.Query("DETACH DATABASE *").Ok());
    EXPECT_EQ(b.Query("SELECT v FROM shared.public.t").Value(), "42");
    EXPECT_EQ(admin.Query("DROP DATABASE " + Q(Path("s1.kelvo"))).errors.at(0).sqlstate, "55006");
    b.Close();
    // Once the last user is gone the file is free again (the session ends asynchronously).
    bool dropped = false;
    for (int i = 0; i < 100 && !dropped; ++i) {
        dropped = admin.Query("DROP DATABASE " + Q(Path("s1.kelvo"))).Ok();
        if (!dropped) usleep(20000);
    }
    EXPECT_TRUE(dropped);
}

TEST_F(KelvodSessions, MainDatabaseAndEmptyList) {
    WireClient c;
    ASSERT_EQ(c.Open(server->Endpoint(), ":main").status, 'I');
    ASSERT_TRUE(c.Query("CREATE TABLE \"m\" (\"v\" INT)").Ok());
    WireClient d;
    ASSERT_EQ(d.Open(server->Endpoint(), "[]").status, 'I');
    WireResult r = d.Query("CREATE TABLE \"t\" (\"v\" INT)");
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_EQ(r.errors[0].sqlstate, "3D000");
}

TEST_F(KelvodSessions, MultipleStatementsStopAtTheFirstError) {
    WireClient c;
    ASSERT_EQ(c.Open(server->Endpoint(), ":main").status, 'I');
    WireResult r = c.Query("SELECT 1; SELECT 2 AS two;; SELECT * FROM no_such_table; SELECT 3");
    EXPECT_EQ(r.rows.size(), 2u);
    EXPECT_EQ(r.tags, (std::vector<std::string>{"SELECT 1", "SELECT 1"}));
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_EQ(r.errors[0].sqlstate, "42P01");
    EXPECT_EQ(r.status, 'I');
    WireResult empty = c.Query("  ;  -- nothing\n");
    EXPECT_EQ(empty.types, (std::vector<char>{'I', 'Z'}));
}

TEST_F(KelvodSessions, EngineErrorsCarryTheNearestSqlstate) {
    WireClient c;
    ASSERT_EQ(c.Open(server->Endpoint(), ":main").status, 'I');
    ASSERT_TRUE(c.Query("CREATE TABLE \"k\" (\"id\" INT NOT NULL, \"u\" INT)").Ok());
    ASSERT_TRUE(c.Query("CREATE UNIQUE INDEX k_u ON k(u)").Ok());
    ASSERT_TRUE(c.Query("INSERT INTO k VALUES (1, 1)").Ok());
    struct Case {
        const char* sql;
        const char* sqlstate;
    } cases[] = {
        {"SELEC 1", "42601"},
        {"SELECT * FROM nowhere", "42P01"},
        {"SELECT * FROM nosuchschema.t", "42P01"},
        {"SELECT nosuchcolumn FROM k", "42703"},
        {"INSERT INTO k VALUES (NULL, 2)", "23502"},
        {"INSERT INTO k VALUES (2, 1)", "23505"},
        {"SELECT 2147483647::INT + 1", "22003"},
        {"SELECT 'abc'::INT", "22P02"},
        {"SELECT 'unterminated", "42601"},
        {"SELECT E'\\000'", "22021"},
        {"COPY k FROM STDIN", "0A000"},
        {"CREATE BOUNDED EXTERNAL STREAM \"x\" (\"a\" INT)  (WITH (FORMAT CSV))", "0A000"},
        {"SHOW no_such_setting", "42704"},
    };
    for (const auto& k : cases) {
        WireResult r = c.Query(k.sql);
        ASSERT_EQ(r.errors.size(), 1u) << k.sql;
        EXPECT_EQ(r.errors[0].sqlstate, k.sqlstate) << k.sql << ": " << r.errors[0].message;
        EXPECT_FALSE(r.errors[0].message.empty());
        EXPECT_EQ(r.status, 'I') << k.sql;
    }
}

TEST_F(KelvodSessions, TransactionStatusFollowsBeginErrorAndRollback) {
    WireClient c;
    ASSERT_EQ(c.Open(server->Endpoint(), ":main").status, 'I');
    EXPECT_EQ(c.Query("BEGIN").status, 'T');
    EXPECT_EQ(c.Query("SELECT * FROM nowhere").status, 'E');
    EXPECT_EQ(c.Query("ROLLBACK").status, 'I');
}

TEST_F(KelvodSessions, SearchPathAndClientContextSettings) {
    WireClient c;
    ASSERT_EQ(c.Open(server->Endpoint(), ":main").status, 'I');
    WireResult shown = c.Query("SHOW search_path");
    ASSERT_TRUE(shown.Ok());
    ASSERT_EQ(shown.rows.size(), 1u);
    std::string path = shown.Value();
    EXPECT_EQ(path, "public");
    // What SHOW gives, SET takes.
    EXPECT_TRUE(c.Query("SET search_path = " + path).Ok());
    ASSERT_TRUE(c.Query("CREATE SCHEMA \"other\"").Ok());
    ASSERT_TRUE(c.Query("CREATE TABLE \"other\".\"o\" (\"v\" INT)").Ok());
    EXPECT_EQ(c.Query("SELECT count(*) FROM o").errors.size(), 1u);
    ASSERT_TRUE(c.Query("SET schema_search_path TO other, public").Ok());
    EXPECT_EQ(c.Query("SHOW schema_search_path").Value(), "other, public");
    EXPECT_TRUE(c.Query("SELECT count(*) FROM o").Ok());
    ASSERT_TRUE(c.Query("SET search_path = \"My Schema\", public").Ok());
    EXPECT_EQ(c.Query("SHOW search_path").Value(), "\"My Schema\", public");
    EXPECT_TRUE(c.Query("SET search_path = " + c.Query("SHOW search_path").Value()).Ok());
    ASSERT_TRUE(c.Query("SET external_client_context = 'ctx with blanks'").Ok());
    EXPECT_EQ(c.Query("SHOW external_client_context").Value(), "ctx with blanks");
}
