// Which statements the server runs itself, what it reads from them, and the
// types it records for CREATE TABLE as the library writes it.
#include <gtest/gtest.h>

#include "kelvod/sql_rewriter.h"

using namespace kelvod;

namespace {
Command Classify(const std::string& sql) { return ClassifyStatement(SplitStatements(sql).front()); }
}  // namespace

TEST(KelvodSqlRewriter, RecognisesTheDatabaseStatements) {
    auto c1 = std::get<CreateDatabaseCommand>(Classify("CREATE DATABASE IF NOT EXISTS \"/d/a\"\"b.kelvo\""));
    EXPECT_EQ(c1.path, "/d/a\"b.kelvo");
    EXPECT_TRUE(c1.ifNotExists);
    auto c2 = std::get<CreateDatabaseCommand>(Classify("create database U&\"/d/x\\000Ay\""));
    EXPECT_EQ(c2.path, "/d/x\ny");
    EXPECT_FALSE(c2.ifNotExists);
    auto d = std::get<DropDatabaseCommand>(Classify("DROP DATABASE IF EXISTS \"p\""));
    EXPECT_TRUE(d.ifExists);
    auto a = std::get<AttachDatabaseCommand>(Classify("ATTACH DATABASE \"/p/s.kelvo\" AS \"Sales\""));
    EXPECT_EQ(a.path, "/p/s.kelvo");
    EXPECT_EQ(a.alias, "Sales");
    EXPECT_TRUE(std::get<DetachDatabaseCommand>(Classify("DETACH DATABASE *")).all);
    EXPECT_EQ(std::get<DetachDatabaseCommand>(Classify("DETACH DATABASE \"x\"")).alias, "x");
    auto s = std::get<CreateSchemaCommand>(Classify("CREATE SCHEMA IF NOT EXISTS \"db\".\"s\""));
    EXPECT_EQ(s.database, "db");
    EXPECT_EQ(s.schema, "s");
    EXPECT_TRUE(s.ifNotExists);
    EXPECT_EQ(std::get<ShowCommand>(Classify("SHOW search_path")).name, "search_path");
    EXPECT_EQ(std::get<SetCommand>(Classify("SET search_path TO a, \"B\"")).value, "a, \"B\"");
    EXPECT_TRUE(std::holds_alternative<EngineStatement>(Classify("SET threads = 4")));
    EXPECT_TRUE(std::holds_alternative<EngineStatement>(Classify("SELECT 1")));
    auto copy = std::get<CopyFromStdinCommand>(
        Classify("COPY \"db\".\"s\".\"t\" (\"a\", \"B\") FROM STDIN WITH (FORMAT KELVOBINARY, SANITIZE)"));
    EXPECT_EQ(copy.target, (std::vector<std::string>{"db", "s", "t"}));
    EXPECT_EQ(copy.columns, (std::vector<std::string>{"a", "B"}));
    auto stream = std::get<CreateStreamCommand>(
        Classify("CREATE BOUNDED EXTERNAL STREAM \"d\".\"s\".\"x\" (\"a\" INT NOT NULL, \"b\" VARCHAR(5))  "
                 "(WITH (FORMAT KELVOBINARY, SANITIZE));"));
    EXPECT_EQ(stream.name, (std::vector<std::string>{"d", "s", "x"}));
    ASSERT_EQ(stream.columns.size(), 2u);
    EXPECT_TRUE(stream.columns[0].notNull);
    EXPECT_EQ(stream.columns[1].type.modifier, 9);
    // Columns as the library writes types it has no modifier for.
    auto written = std::get<CreateStreamCommand>(Classify(
        "CREATE BOUNDED EXTERNAL STREAM \"x\" (\"v\" VARCHAR(4294967295) NOT NULL COLLATE \"en_US\", "
        "\"n\" NUMERIC(4294967295,4294967295), \"c\" CHAR(1), \"d\" DOUBLE PRECISION)  (WITH (FORMAT KELVOBINARY, SANITIZE));"));
    ASSERT_EQ(written.columns.size(), 4u);
    EXPECT_EQ(written.columns[0].collation, "en_US");
    EXPECT_EQ(written.columns[1].type.engineType, "DECIMAL(38,10)");
    EXPECT_EQ(written.columns[2].type.oid, 18u);
    EXPECT_EQ(written.columns[3].type.engineType, "DOUBLE");
    auto bulk = std::get<InsertBulkCommand>(
        Classify("INSERT BULK INTO \"t\" (\"a\") (SELECT a + (1), f(b) FROM EXTERNAL STREAM \"d\".\"s\".\"x\")"));
    EXPECT_EQ(bulk.target, std::vector<std::string>{"t"});
    EXPECT_EQ(bulk.columns, std::vector<std::string>{"a"});
    EXPECT_EQ(bulk.stream, (std::vector<std::string>{"d", "s", "x"}));
    EXPECT_EQ(bulk.selectList.ToEngineText(), "a + (1), f(b) ");
    auto computed = std::get<InsertBulkCommand>(Classify("INSERT BULK INTO \"t\" (\"a\") (SELECT 42)"));
    EXPECT_TRUE(computed.stream.empty());
    EXPECT_EQ(computed.selectList.ToEngineText(), "42");
    EXPECT_EQ(std::get<CloseStreamCommand>(Classify("CLOSE EXTERNAL STREAM \"s\"")).name, std::vector<std::string>{"s"});
    EXPECT_TRUE(std::get<DropStreamCommand>(Classify("DROP EXTERNAL STREAM IF EXISTS \"s\"")).ifExists);
    struct Refusal {
        const char* sql;
        const char* sqlstate;
    } refusals[] = {
        {"COPY t FROM STDIN", "0A000"},
        {"COPY t FROM STDIN WITH (FORMAT BINARY)", "0A000"},
        {"COPY t FROM STDIN WITH (FORMAT KELVOBINARY", "42601"},
        {"COPY t (a FROM STDIN WITH (FORMAT KELVOBINARY)", "42601"},
        {"CREATE EXTERNAL STREAM s (a INT) (WITH (FORMAT KELVOBINARY))", "0A000"},
        {"CREATE BOUNDED EXTERNAL STREAM s () (WITH (FORMAT KELVOBINARY))", "42601"},
        {"CREATE BOUNDED EXTERNAL STREAM s (a INT)", "0A000"},
        {"CREATE BOUNDED EXTERNAL STREAM s (a NOTATYPE) (WITH (FORMAT KELVOBINARY))", "42704"},
        {"INSERT BULK INTO t (a) (SELECT a FROM s)", "0A000"},
        {"INSERT BULK INTO t (a) (SELECT a FROM EXTERNAL STREAM s", "42601"},
        {"INSERT BULK INTO t (a) (SELECT )", "42601"},
        {"CLOSE EXTERNAL STREAM s extra", "42601"},
    };
    for (const auto& r : refusals) {
        try {
            Command c = Classify(r.sql);
            ASSERT_TRUE(std::holds_alternative<RefusedCommand>(c)) << r.sql;
            EXPECT_EQ(std::get<RefusedCommand>(c).sqlstate, r.sqlstate) << r.sql;
        } catch (const SqlError& e) {
            EXPECT_EQ(e.sqlstate, r.sqlstate) << r.sql << ": " << e.what();
        }
    }
    EXPECT_TRUE(std::get<CopyToStdoutCommand>(Classify("COPY (SELECT 1) TO STDOUT WITH (FORMAT BINARY)")).binary);
    for (const char* bad : {"CREATE DATABASE", "ATTACH DATABASE \"p\"", "DETACH DATABASE", "DROP DATABASE \"p\" x"})
        EXPECT_THROW(Classify(bad), SqlError) << bad;
}

TEST(KelvodSqlRewriter, ReadsCreateTableAsTheLibraryWritesIt) {
    auto t = std::get<CreateTableCommand>(Classify(
        "CREATE TEMPORARY TABLE IF NOT EXISTS \"d\".\"s\".\"t\" (\"a\" INT NOT NULL, \"b\" VARCHAR(10) COLLATE "
        "\"en_US\", \"c\" NUMERIC(18,3));"));
    EXPECT_TRUE(t.temporary);
    EXPECT_TRUE(t.ifNotExists);
    EXPECT_EQ(t.name, (std::vector<std::string>{"d", "s", "t"}));
    ASSERT_EQ(t.columns.size(), 3u);
    EXPECT_TRUE(t.columns[0].notNull);
    EXPECT_EQ(t.columns[1].collation, "en_US");
    EXPECT_EQ(t.columns[2].type.modifier, (18 << 16 | 3) + 4);
    // Table syntax beyond the library's is the engine's to read.
    EXPECT_TRUE(std::holds_alternative<EngineStatement>(Classify("CREATE TABLE t (a INT PRIMARY KEY)")));
    EXPECT_TRUE(std::holds_alternative<EngineStatement>(Classify("CREATE TABLE t AS SELECT 1")));
    EXPECT_TRUE(std::holds_alternative<EngineStatement>(Classify("CREATE VIEW v AS SELECT 1")));
}

TEST(KelvodSqlRewriter, DeclaredTypesAndModifiers) {
    struct Case {
        const char* type;
        uint32_t oid;
        int32_t modifier;
        const char* engine;
    } cases[] = {
        {"BOOLEAN", 16, -1, "BOOLEAN"},
        {"DOUBLE PRECISION", 701, -1, "DOUBLE"},
        {"NUMERIC(4294967295,4294967295)", 1700, -1, "DECIMAL(38,10)"},
        {"NUMERIC(38,38)", 1700, (38 << 16 | 38) + 4, "DECIMAL(38,38)"},
        {"VARCHAR(4294967295)", 1043, -1, "VARCHAR"},
        {"VARCHAR(1)", 1043, 5, "VARCHAR"},
        {"CHAR(1)", 18, 5, "VARCHAR"},
        {"CHAR(2)", 1042, 6, "VARCHAR"},
        {"OID", 26, -1, "UINTEGER"},
        {"TIMESTAMP WITH TIME ZONE", 1184, -1, "TIMESTAMPTZ"},
        {"GEOGRAPHY", 5003, -1, "BLOB"},
    };
    for (const auto& c : cases) {
        auto tokens = SplitStatements(c.type).front();
        auto sig = tokens.Significant();
        size_t pos = 0;
        DeclaredType t = ParseDeclaredType(sig, pos);
        EXPECT_EQ(pos, sig.size()) << c.type;
        EXPECT_EQ(t.oid, c.oid) << c.type;
        EXPECT_EQ(t.modifier, c.modifier) << c.type;
        EXPECT_EQ(t.engineType, c.engine) << c.type;
    }
    for (const char* bad : {"NUMERIC(0,0)", "NUMERIC(39,2)", "NUMERIC(5,6)", "VARCHAR(0)", "POINT"}) {
        auto tokens = SplitStatements(bad).front();
        auto sig = tokens.Significant();
        size_t pos = 0;
        EXPECT_THROW(ParseDeclaredType(sig, pos), SqlError) << bad;
    }
}

TEST(KelvodSqlRewriter, CommandTags) {
    struct {
        const char* sql;
        const char* tag;
    } cases[] = {{"create or replace view v as select 1", "CREATE VIEW"}, {"DROP TABLE t", "DROP TABLE"},
                 {"begin", "BEGIN"}, {"END", "COMMIT"}, {"checkpoint", "CHECKPOINT"}};
    for (const auto& c : cases) EXPECT_EQ(CommandTagFor(SplitStatements(c.sql).front()), c.tag) << c.sql;
}
