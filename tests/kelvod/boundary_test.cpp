// What a client reaches: its own databases and nothing else. Each refused statement is checked for its error and for
// the absence of its effect (no file made, changed or read, no row of another session seen or changed).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "duckdb.h"
#include "support/kelvod_server.h"
#include "support/wire_client.h"

using kelvotest::WireClient;
using kelvotest::WireResult;

namespace fs = std::filesystem;

namespace {

constexpr const char* kCanary = "kelvo-canary-7f3a";

void Write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// Every file below `dir` with its contents.
std::map<std::string, std::string> Snapshot(const std::string& dir) {
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); it != fs::recursive_directory_iterator(); ++it) {
        std::ifstream in(it->path(), std::ios::binary);  // a directory reads as nothing
        out[it->path().string()] = std::string(std::istreambuf_iterator<char>(in), {});
    }
    return out;
}

bool Shows(const WireResult& r, const std::string& text = kCanary) {
    for (const auto& row : r.rows)
        for (const auto& v : row)
            if (v && v->find(text) != std::string::npos)
                return true;
    return false;
}

class KelvodBoundary : public kelvotest::KelvodSuite {
protected:
    static void SetUpTestSuite() {
        KelvodSuite::SetUpTestSuite();
        outside = kelvotest::MakeTempDirectory();
        Write(outside + "/secret.txt", std::string(kCanary) + "\n");
        Write(outside + "/victim.json", "keep");
    }
    static void TearDownTestSuite() {
        std::error_code ec;
        fs::remove_all(outside, ec);
        KelvodSuite::TearDownTestSuite();
    }
    static std::string Inside(const std::string& name) { return server->Directory() + "/" + name; }
    static std::string outside;
};

std::string KelvodBoundary::outside;

TEST_F(KelvodBoundary, StatementsThatReachFilesAreRefusedAndLeaveNoTrace) {
    WireClient c;
    ASSERT_EQ(c.Open(server->Endpoint(), ":main").status, 'I');
    ASSERT_TRUE(c.Query("CREATE TABLE t (content VARCHAR)").Ok());
    const std::string secret = outside + "/secret.txt", out = outside + "/out.csv";
    // Where the engine would keep extensions and persistent secrets.
    const char* home = std::getenv("HOME");
    const std::string engineHome = std::string(home ? home : "/nonexistent") + "/.duckdb";
    const auto homeBefore = Snapshot(engineHome);
    // Each is refused (42501).
    const std::string cases[] = {
        "EXPLAIN ANALYZE COPY (SELECT 'x') TO '" + out + "' (FORMAT csv, HEADER false, QUOTE '')",
        "EXPLAIN ANALYZE COPY t FROM $$" + secret + "$$ (FORMAT csv, DELIMITER '|')",
        "EXPLAIN (FORMAT json) COPY t TO '" + Inside("x.csv") + "'",
        "EXPLAIN ANALYZE INSTALL httpfs",
        "SELECT --\r content FROM read_text('" + secret + "')",
        "SELECT * FROM (SELECT 1) t, '" + secret + "'",
        "SELECT * FROM (SELECT 1) a JOIN (SELECT 2) b ON true, '" + secret + "'",
        "SELECT * FROM $$" + secret + "$$",
        "SELECT * FROM $tag$" + secret + "$tag$",
        "UNPIVOT '" + secret + "' ON column0",
        "CALL enable_logging(storage='file', storage_path='" + outside + "/logs')",
        "CREATE PERSISTENT SECRET s (TYPE s3, KEY_ID 'k', SECRET 'v')",
        "CREATE OR REPLACE SECRET s (TYPE s3, KEY_ID 'k', SECRET 'v')",
        "SELECT * FROM sql_auto_complete('SELECT * FROM ''" + outside + "/')",
        "CALL enable_profiling(save_location='" + outside + "/victim.json')",
        "SELECT * FROM read_blob('" + server->MainDatabase() + "')",
        "PREPARE p AS SELECT * FROM read_csv('" + secret + "')",
        "SELECT * FROM \"" + secret + "\"",
        "SELECT * FROM t, \"" + Inside("main.kelvo") + "\"",
        "SELECT * FROM duckdb_logs",
        "SELECT * FROM pragma_database_list",
        "SELECT * FROM kelvod_load_feed(1)",
        "SELECT * FROM arrow_scan(1, 2, 3)",
        "SET enable_external_access = true",
        "SELECT * FROM views.public.leak",
        "SELECT * FROM views.public.leaks()",
    };
    // The engine itself refuses a file read that no statement of the client names (the last two cases): a view and a
    // table macro stored in a database file made elsewhere.
    duckdb_database db = nullptr;
    duckdb_connection con = nullptr;
    ASSERT_EQ(duckdb_open((Inside("views.kelvo")).c_str(), &db), DuckDBSuccess);
    ASSERT_EQ(duckdb_connect(db, &con), DuckDBSuccess);
    const std::string read = "SELECT content FROM read_text('" + secret + "')";
    EXPECT_EQ(duckdb_query(con,
                           ("CREATE SCHEMA public; CREATE VIEW public.leak AS " + read +
                            "; CREATE MACRO public.leaks() AS TABLE " + read)
                               .c_str(),
                           nullptr),
              DuckDBSuccess);
    duckdb_disconnect(&con);
    duckdb_close(&db);
    ASSERT_TRUE(c.Query("ATTACH DATABASE \"" + Inside("views.kelvo") + "\" AS views").Ok());
    auto before = Snapshot(outside);
    for (const auto& sql : cases) {
        WireResult r = c.Query(sql);
        EXPECT_EQ(r.Sqlstate(), "42501") << sql << ": " << r.Message();
        EXPECT_FALSE(Shows(r)) << sql;
        EXPECT_EQ(Snapshot(outside), before) << sql;
        EXPECT_EQ(c.Query("SELECT count(*) FROM t").Value(), "0") << sql;
    }
    EXPECT_EQ(Snapshot(engineHome), homeBefore);
    EXPECT_FALSE(fs::exists(Inside("x.csv")));
    // ATTACH tells a file that is not a database from a missing one in nothing but the path.
    Write(Inside("notes.txt"), "not a database");
    WireResult notDatabase = c.Query("ATTACH DATABASE \"" + Inside("notes.txt") + "\" AS s1");
    WireResult missing = c.Query("ATTACH DATABASE \"" + Inside("notes.txt.none") + "\" AS s1");
    EXPECT_EQ(notDatabase.Sqlstate() + missing.Sqlstate(), "3D0003D000");
    std::string text = missing.Message();
    text.replace(text.find(".none"), 5, "");
    EXPECT_EQ(notDatabase.Message(), text);
    // The refusals are of what reaches files, not of words that look alike.
    EXPECT_EQ(c.Query("SELECT 'a' IS DISTINCT FROM 'b'").Value(), "t");
    EXPECT_EQ(c.Query("SELECT trim(both 'x' FROM 'xa.csvx')").Value(), "a.csv");
    EXPECT_EQ(c.Query("EXPLAIN SELECT 1").Sqlstate(), "");
    EXPECT_EQ(Snapshot(outside), before);
}

TEST_F(KelvodBoundary, ASessionNeitherSeesNorTouchesAnotherSessionsDatabase) {
    WireClient a, b;
    const std::string file = Inside("bpriv.kelvo");
    ASSERT_EQ(a.Open(server->Endpoint()).status, 'I');
    ASSERT_TRUE(a.Query("CREATE DATABASE \"" + file + "\"; ATTACH DATABASE \"" + file + "\" AS bpriv").Ok());
    ASSERT_TRUE(a.Query("CREATE TABLE pay (amount INT); INSERT INTO pay VALUES (100), (250); CREATE SEQUENCE "
                        "bpriv.public.s; SELECT 'password=" +
                        std::string(kCanary) + "'")
                    .Ok());
    ASSERT_EQ(b.Open(server->Endpoint(), ":main").status, 'I');
    const struct {
        std::string sql;
        const char* sqlstate;
    } cases[] = {
        {"SELECT * FROM bpriv . public . pay", "3F000"},
        {"SELECT * FROM bpriv/**/.public.pay", "3F000"},
        {"SELECT * FROM bpriv.pay", "3F000"},
        {"SELECT * FROM (SELECT 1) x, bpriv .main.pay", "3F000"},
        {"SELECT * FROM (SELECT 1) bpriv, bpriv.pay", "3F000"},
        {"UPDATE bpriv .public.pay SET amount = 0", "3F000"},
        {"USE bpriv", "3F000"},
        {"SHOW TABLES FROM bpriv", "3F000"},
        {"FORCE CHECKPOINT bpriv", "3F000"},
        {"CALL force_checkpoint('bpriv')", "3F000"},
        {"SHOW ALL TABLES", "42501"},
        {"SET schema = 'bpriv.public'", "3F000"},
        {"SET search_path = 'bpriv.public'", "22023"},
        {"SET GLOBAL search_path = 'main.public'", "42501"},
        {"SET GLOBAL preserve_insertion_order = false", "42501"},
        {"SELECT nextval('bpriv.public.s')", "3F000"},
        {"EXPLAIN SELECT * FROM bpriv . public . pay", "3F000"},
        {"SELECT * FROM duckdb_logs", "42501"},
        {"SELECT path FROM duckdb_databases()", "42501"},
        {"SELECT * FROM duckdb_secrets()", "42501"},
        {"DROP SECRET s", "42501"},
        {"SELECT * FROM information_schema.tables", "42501"},
        {"SELECT * FROM duckdb_tables()", "42501"},
        {"SELECT * FROM pg_tables", "42501"},
        {"SELECT * FROM duckdb_prepared_statements()", "42501"},
        {"SELECT * FROM pragma_table_info('bpriv.public.pay')", "42501"},
        {"SELECT relname FROM pg_catalog.pg_class", ""},
        {"SELECT * FROM pay", "42P01"},
    };
    for (const auto& k : cases) {
        WireResult r = b.Query(k.sql);
        EXPECT_EQ(r.Sqlstate(), k.sqlstate) << k.sql << ": " << r.Message();
        EXPECT_FALSE(Shows(r) || Shows(r, "pay")) << k.sql;
        EXPECT_EQ(a.Query("SELECT sum(amount) FROM pay").Value(), "350") << k.sql;
    }
    EXPECT_EQ(a.Query("SELECT nextval('bpriv.public.s')").Value(), "1");
    // Without a database of its own a session works in an in-memory one of its own.
    WireClient m, n;
    ASSERT_EQ(m.Open(server->Endpoint()).status, 'I');
    ASSERT_EQ(n.Open(server->Endpoint()).status, 'I');
    ASSERT_TRUE(m.Query("CREATE TABLE scratch AS SELECT 42 AS v").Ok());
    const std::string own = "kelvod_session_" + std::to_string(m.Pid());
    for (const std::string& sql :
         {std::string("SELECT * FROM scratch"), std::string("SELECT * FROM memory.main.scratch"),
          "SELECT * FROM " + own + ".main.scratch", "DROP TABLE " + own + ".main.scratch"})
        EXPECT_EQ(n.Query(sql).Sqlstate(), sql == "SELECT * FROM scratch" ? "42P01" : "3F000") << sql;
    EXPECT_EQ(m.Query("SELECT v FROM " + own + ".main.scratch").Value(), "42");
    // Nor can a client take the name of one that is yet to come.
    ASSERT_TRUE(n.Query("CREATE DATABASE \"" + Inside("spare.kelvo") + "\"").Ok());
    EXPECT_EQ(n.Query("ATTACH DATABASE \"" + Inside("spare.kelvo") + "\" AS kelvod_session_999").Sqlstate(), "42710");
    // Table aliases that happen to spell another session's database are only aliases.
    EXPECT_EQ(b.Query("SELECT bpriv.x FROM (SELECT 7 AS x) bpriv").Value(), "7");
}

// Databases lie in the database directory: one named elsewhere is refused alike whether a file is there or not, and a
// database there is not dropped.
TEST_F(KelvodBoundary, DatabasesElsewhereAreRefusedAndNothingIsToldOfThem) {
    Write(outside + "/far.kelvo", std::string(8, '\0') + "DUCK");  // as a database file begins
    WireClient c;
    ASSERT_EQ(c.Open(server->Endpoint()).status, 'I');
    auto before = Snapshot(outside);
    for (const char* name : {"far.kelvo", "secret.txt", "none.kelvo"})
        for (const char* statement : {"CREATE DATABASE ", "ATTACH DATABASE ", "DROP DATABASE "}) {
            std::string sql = statement + ("\"" + outside + "/" + name + "\"") + (statement[0] == 'A' ? " AS far" : "");
            WireResult r = c.Query(sql);
            EXPECT_EQ(r.Sqlstate(), "42501") << sql << ": " << r.Message();
            EXPECT_NE(r.Message().find("outside the database directory"), std::string::npos) << sql;
        }
    EXPECT_EQ(Snapshot(outside), before);
    // The server's own directory holds no database of a client's.
    const fs::path own = fs::directory_iterator(Inside("kelvod_spill"))->path();
    EXPECT_EQ(c.Query("CREATE DATABASE \"" + (own / "spill" / "x.kelvo").string() + "\"").Sqlstate(), "42501");
}

}  // namespace
