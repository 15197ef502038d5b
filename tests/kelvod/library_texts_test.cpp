// What the library writes for the server to read: endpoint descriptors on its
// command line, the `dbname` list at start-up, and statements, split outside
// quotes and comments, E'...' literals and U&"..." identifiers reaching the engine as plain quoted text, which
// statements the server runs itself and what it reads from them.
#include <gtest/gtest.h>

#include "kelvod/process/endpoint.h"
#include "kelvod/protocol/startup_options.h"
#include "kelvod/sql/catalog.h"
#include "kelvod/sql/sql_lexer.h"
#include "kelvod/sql/sql_rewriter.h"

using namespace kelvod;

TEST(KelvodEndpoint, ParsesAndPrintsDescriptors) {
    struct Case {
        const char* text;
        const char* printed;  // nullptr: refused
    } cases[] = {
        {"pel.tcp://localhost:auto", "pel.tcp://localhost:auto"},
        {"pel.tcp://[::1]:80", "pel.tcp://[::1]:80"},
        {"pel.tcp://:5000", "pel.tcp://:5000"},
        {"pel.pipe://auto", "pel.pipe://./pipe/auto"},
        {"pel.tcp://localhost", nullptr},
        {"pel.tcp://localhost:", nullptr},
        {"pel.tcp://localhost:-1", nullptr},
        {"pel.tcp://localhost:65536", nullptr},
        {"pel.tcp://localhost:0", nullptr},
        {"pel.domain:///tmp/domain/", nullptr},
        {"pel.domain:///tmp/x", nullptr},
        {"PEL.TCP://h:1", nullptr},
        {"pel.pipe:///pipe/x", nullptr},
    };
    for (const auto& c : cases) {
        if (c.printed)
            EXPECT_EQ(ParseEndpoint(c.text).ToString(), c.printed) << c.text;
        else
            EXPECT_THROW(ParseEndpoint(c.text), std::invalid_argument) << c.text;
    }
}

TEST(KelvodStartupOptions, ReadsTheDatabaseList) {
    auto list = ParseDatabaseList("[{\n    \"alias\": \"sales\",\n    \"path\": \"\\/data\\/sales.kelvo\"\n}\n]");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].alias, "sales");
    EXPECT_EQ(list[0].path, "/data/sales.kelvo");
    auto two = ParseDatabaseList(
        "[{\"path\": \"/a/b.c.kelvo\", \"access_mode\": \"read_only\"}, {\"alias\": \"x\", "
        "\"path\": \"t\\u00e9\\\"q\"}]");
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0].alias, "b.c");
    EXPECT_EQ(two[1].path, "t\xC3\xA9\"q");
    EXPECT_EQ(ParseDatabaseList("[{\"path\": \"\\b\\f\\n\\r\\t\\/\"}]").at(0).path, "\b\f\n\r\t/");
    EXPECT_TRUE(ParseDatabaseList("[]").empty());
    // A character past U+FFFF, escaped as JSON writers escape it: one surrogate pair.
    EXPECT_EQ(ParseDatabaseList("[{\"path\": \"/d/\\ud83d\\ude00.kelvo\"}]").at(0).path, "/d/\xF0\x9F\x98\x80.kelvo");
    for (const char* bad :
         {"[", "[{}]", "[{\"alias\": \"a\"}]", "[{\"path\": \"p\"} x", "{\"path\": \"p\"}",
          "[{\"path\": \"a\\u0000\"}]", "[{\"path\": \"a\\u12zz\"}]", "[{\"path\": \"a\\u+123\"}]",
          "[{\"path\": \"a\\ud83d\"}]", "[{\"path\": \"a\\ude00\"}]", "[{\"path\": \"a\\ud83d\\u0041\"}]"})
        EXPECT_THROW(ParseDatabaseList(bad), SqlError) << bad;
}

namespace {

Command Classify(const std::string& sql) { return ClassifyStatement(SplitStatements(sql).front()); }

// The SQLSTATE the statement is refused with, by the lexer or the rewriter; "" when it would run.
std::string RefusalOf(const std::string& sql) {
    try {
        Command c = Classify(sql);
        return std::holds_alternative<RefusedCommand>(c) ? std::get<RefusedCommand>(c).sqlstate : "";
    } catch (const SqlError& e) {
        return e.sqlstate;
    }
}

}  // namespace

TEST(KelvodSqlLexer, SplitsStatementsOutsideQuotesAndComments) {
    auto s = SplitStatements("SELECT ';' AS a; -- x;y\nSELECT \"a;b\" /* ; */ FROM t;; SELECT $$;$$");
    std::vector<std::string> texts;
    for (const auto& st : s)
        if (!st.IsEmpty())
            texts.push_back(st.ToEngineText());
    EXPECT_EQ(texts,
              (std::vector<std::string>{"SELECT ';' AS a", " -- x;y\nSELECT \"a;b\" /* ; */ FROM t", " SELECT $$;$$"}));
    // A comment ends at a carriage return too, as the engine ends it: what follows is read.
    EXPECT_EQ(SplitStatements("SELECT 1 --c\r; SELECT 2").size(), 2u);
    // Block comments nest; a dollar quote ends only at its own tag; $1 is a parameter, :: one symbol.
    auto forms = SplitStatements("/* a /* ; */ ; */ $t$ $$ ; $t$ $1::int");
    ASSERT_EQ(forms.size(), 1u);
    std::vector<std::string> spelled;
    for (const Token* t : forms[0].Significant())
        spelled.push_back(t->text);
    EXPECT_EQ(spelled, (std::vector<std::string>{"$t$ $$ ; $t$", "$1", "::", "int"}));
}

TEST(KelvodSqlLexer, RefusesBrokenLexicalForms) {
    struct Case {
        const char* sql;
        const char* sqlstate;
    } cases[] = {
        {"SELECT 'open", "42601"},          {"SELECT \"open", "42601"},
        {"SELECT /* open", "42601"},        {"SELECT \"\"", "42601"},
        {"SELECT U&\"\"", "42601"},         {"SELECT E'\\000'", "22021"},
        {"SELECT E'\\x00'", "22021"},       {"SELECT U&\"\\0000\"", "22021"},
        {"SELECT U&\"\\12\"", "22025"},     {"SELECT E'\\u12'", "22025"},
        {"SELECT $a$ open", "42601"},       {"SELECT 'caf\xC3'", "22021"},
        {"SELECT '\xED\xA0\x80'", "22021"}, {"SELECT '\xF4\x90\x80\x80'", "22021"},
        {"SELECT E'\\xff'", "22021"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RefusalOf(c.sql), c.sqlstate) << c.sql;
}

TEST(KelvodSqlRewriter, RefusesWhatItCannotRun) {
    struct Refusal {
        const char* sql;
        const char* sqlstate;
    } refusals[] = {
        {"COPY t FROM STDIN WITH (FORMAT BINARY)", "0A000"},
        {"COPY t (a FROM STDIN WITH (FORMAT KELVOBINARY)", "42601"},
        {"CREATE EXTERNAL STREAM s (a INT) (WITH (FORMAT KELVOBINARY))", "0A000"},
        {"CREATE BOUNDED EXTERNAL STREAM s () (WITH (FORMAT KELVOBINARY))", "42601"},
        {"CREATE BOUNDED EXTERNAL STREAM s (a INT)", "0A000"},
        {"CREATE BOUNDED EXTERNAL STREAM s (a NOTATYPE) (WITH (FORMAT KELVOBINARY))", "42704"},
        {"INSERT BULK INTO t (a) (SELECT a FROM s)", "0A000"},
        {"INSERT BULK INTO t (a) (SELECT a FROM EXTERNAL STREAM s", "42601"},
        {"INSERT BULK INTO t (a) (SELECT )", "42601"},
        {"CLOSE EXTERNAL STREAM s extra", "42601"},
        {"COPY (SELECT 1) TO STDOUT (FORMAT csv)", "0A000"},
        {"COPY (SELECT 1) TO STDOUT WITH (FORMAT text, NULL 'x')", "0A000"},
        {"COPY (SELECT 1) TO STDOUT BINARY", "0A000"},
        {"COPY (SELECT 1) TO STDOUT (FORMAT text", "42601"},
    };
    for (const auto& r : refusals)
        EXPECT_EQ(RefusalOf(r.sql), r.sqlstate) << r.sql;
    for (const char* bad : {"CREATE DATABASE", "ATTACH DATABASE \"p\"", "DETACH DATABASE", "DROP DATABASE \"p\" x"})
        EXPECT_THROW(Classify(bad), SqlError) << bad;
    for (const char* type : {"NUMERIC(0,0)", "NUMERIC(39,2)", "NUMERIC(5,6)", "VARCHAR(0)", "POINT", "DOUBLE"})
        EXPECT_NE(
            RefusalOf(std::string("CREATE BOUNDED EXTERNAL STREAM s (a ") + type + ") (WITH (FORMAT KELVOBINARY))"), "")
            << type;
    // Table syntax beyond the library's is the engine's to read.
    for (const char* sql : {"CREATE TABLE t (a INT PRIMARY KEY)", "CREATE TABLE t AS SELECT 1", "SET threads = 4"})
        EXPECT_TRUE(std::holds_alternative<EngineStatement>(Classify(sql))) << sql;
}

// Escaped literals and Unicode identifiers reach the engine as plain quoted text, requoted tokens stay apart from their
// neighbours, NUMERIC without precision has one engine type, and catalog and temporary names are the session's.
TEST(KelvodSqlRewriter, EngineTextOfEachForm) {
    struct {
        const char* sql;
        const char* engine;  // or the SQLSTATE of the refusal
    } cases[] = {
        {"SELECT E'\\b\\f\\n\\r\\t\\q', E'\\013x', E'\\x41\\u00e9', 'a\\b'",
         "SELECT '\b\f\n\r\tq', '\013x', 'A\xC3\xA9', 'a\\b'"},
        {"SELECT * FROM U&\"x\\\\y\"\"z\"", "SELECT * FROM \"x\\y\"\"z\""},
        {"SELECT * FROM U&\"d!0061t!+000061\" UESCAPE '!'", "SELECT * FROM \"data\""},
        {"SELECT E'a'E'b'", "SELECT 'a' 'b'"},
        {"SELECT 1 AS \"x\"U&\"y\"", "SELECT 1 AS \"x\" \"y\""},
        {"SELECT u&E'x'", "SELECT u& 'x'"},
        {"SELECT E'it\\'s', x'ff', U&'\\0041'", "SELECT 'it''s', x'ff', 'A'"},
        {"SELECT 1.5::numeric, CAST((2) AS DECIMAL), 3::numeric(5,1), numeric",
         "SELECT 1.5::DECIMAL(38,10), CAST((2) AS DECIMAL(38,10)), 3::numeric(5,1), numeric"},
        {"CREATE TABLE t (id INT PRIMARY KEY, n NUMERIC, \"numeric\" decimal)",
         "CREATE TABLE t (id INT PRIMARY KEY, n DECIMAL(38,10), \"numeric\" DECIMAL(38,10))"},
        {"ALTER TABLE t ALTER COLUMN n TYPE numeric", "ALTER TABLE t ALTER COLUMN n TYPE DECIMAL(38,10)"},
        {"SELECT a AS numeric FROM t", "SELECT a AS numeric FROM t"},
        // Only the dotted names without spaces are the temporary schema.
        {"SELECT * FROM pg_temp.x, \"db\".pg_temp.y, a.pg_temp . z",
         "SELECT * FROM \"temp\".\"main\".x, \"temp\".\"main\".y, a.pg_temp . z"},
        // No database attached: the served tables are empty, their columns typed.
        {"SELECT * FROM pg_catalog.pg_tables",
         "SELECT * FROM (SELECT NULL::VARCHAR AS schemaname, NULL::VARCHAR AS tablename WHERE false) "},
        {"SELECT * FROM nope.pg_catalog.pg_class", "3F000"},
        {"SELECT kelvo_database_of_table(t)", "0A000"},
    };
    for (const auto& c : cases) {
        try {
            EXPECT_EQ(RewriteForEngine(SplitStatements(c.sql).front(), nullptr, SessionNames{}), c.engine) << c.sql;
        } catch (const SqlError& e) {
            EXPECT_EQ(e.sqlstate, c.engine) << c.sql;
        }
    }
}
