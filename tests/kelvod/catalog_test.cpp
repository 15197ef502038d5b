// The catalog as the library reads it: a table created with the library's
// CREATE TABLE text reads back with the same types, modifiers, nullability and
// collations, through the exact catalog queries the library sends, with and
// without a database prefix; and the three name-resolving functions.
#include <gtest/gtest.h>

#include <cstring>

#include "support/kelvod_server.h"
#include "support/wire_client.h"

using kelvotest::KelvodServer;
using kelvotest::WireClient;
using kelvotest::WireResult;

namespace {

class KelvodCatalog : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server = new KelvodServer();
        ASSERT_TRUE(server->Start()) << server->Output();
        WireClient admin;
        ASSERT_EQ(admin.Open(server->Endpoint()).status, 'I');
        ASSERT_TRUE(admin.Query("CREATE DATABASE \"" + server->Directory() + "/cat.kelvo\"").Ok());
        ASSERT_TRUE(admin.Query("CREATE DATABASE \"" + server->Directory() + "/two.kelvo\"").Ok());
    }
    static void TearDownTestSuite() {
        auto code = server->Stop();
        EXPECT_EQ(code.value_or(-1), 0) << server->Output();
        delete server;
    }
    void SetUp() override {
        std::string list = "[{\"alias\": \"cat\", \"path\": \"" + server->Directory() + "/cat.kelvo\"}, " +
                           "{\"alias\": \"two\", \"path\": \"" + server->Directory() + "/two.kelvo\"}]";
        ASSERT_EQ(c.Open(server->Endpoint(), list, "result_format_code=KelvoBinary").status, 'I');
    }
    void TearDown() override { c.Query("DETACH DATABASE *"); }

    // The column query of the table-definition road, prefix P ("" or "\"db\".").
    static std::string ColumnQuery(const std::string& p, const std::string& schema, const std::string& table) {
        return "SELECT a.attname, a.atttypid, a.atttypmod, a.attnotnull, coll.collname, a.attnum, cl.relpersistence "
               "FROM " + p + "pg_catalog.pg_attribute a "
               "JOIN " + p + "pg_catalog.pg_class cl ON a.attrelid = cl.oid "
               "JOIN " + p + "pg_catalog.pg_namespace n ON n.oid = cl.relnamespace "
               "LEFT JOIN " + p + " pg_catalog.pg_collation coll ON a.attcollation = coll.oid "
               "WHERE a.attnum > 0 AND NOT a.attisdropped AND cl.relname = '" + table + "' AND n.nspname = '" +
               schema + "' ORDER BY a.attnum";
    }
    static KelvodServer* server;
    WireClient c;
};
KelvodServer* KelvodCatalog::server = nullptr;

int32_t I32(const std::optional<std::string>& v) {
    int32_t x = 0;
    if (v && v->size() == 4) std::memcpy(&x, v->data(), 4);
    return x;
}

struct ColumnCase {
    const char* sql;  // as the library writes the type
    uint32_t oid;
    int32_t modifier;
};

const ColumnCase kColumns[] = {
    {"BOOLEAN", 16, -1},
    {"BIGINT", 20, -1},
    {"SMALLINT", 21, -1},
    {"INT", 23, -1},
    {"NUMERIC(18,3)", 1700, (18 << 16 | 3) + 4},
    {"NUMERIC(38,0)", 1700, (38 << 16) + 4},
    {"NUMERIC(4294967295,4294967295)", 1700, -1},
    {"DOUBLE PRECISION", 701, -1},
    {"OID", 26, -1},
    {"BYTEA", 17, -1},
    {"TEXT", 25, -1},
    {"VARCHAR(100)", 1043, 104},
    {"VARCHAR(4294967295)", 1043, -1},
    {"CHAR(1)", 18, 5},
    {"CHAR(10)", 1042, 14},
    {"JSON", 114, -1},
    {"DATE", 1082, -1},
    {"INTERVAL", 1186, -1},
    {"TIME", 1083, -1},
    {"TIMESTAMP", 1114, -1},
    {"TIMESTAMPTZ", 1184, -1},
    {"GEOGRAPHY", 5003, -1},
};

}  // namespace

TEST_F(KelvodCatalog, TableDefinitionsReadBackAsCreatedForEveryType) {
    std::string create = "CREATE TABLE \"cat\".\"public\".\"every\" (";
    for (size_t i = 0; i < std::size(kColumns); ++i)
        create += std::string(i ? ", " : "") + "\"c" + std::to_string(i) + "\" " + kColumns[i].sql +
                  (i % 2 ? " NOT NULL" : "") + (i == 10 ? " COLLATE \"en_US\"" : "");
    create += ");";
    WireResult made = c.Query(create);
    ASSERT_TRUE(made.Ok()) << (made.errors.empty() ? "" : made.errors[0].message);
    for (std::string prefix : {"", "\"cat\"."}) {
        WireResult r = c.Query(ColumnQuery(prefix, "public", "every"));
        ASSERT_TRUE(r.Ok()) << prefix << (r.errors.empty() ? "" : r.errors[0].message);
        ASSERT_EQ(r.rows.size(), std::size(kColumns)) << prefix;
        EXPECT_EQ(r.columns[1].typeLength, 4);  // oid columns arrive as 4 bytes
        for (size_t i = 0; i < std::size(kColumns); ++i) {
            const auto& row = r.rows[i];
            EXPECT_EQ(row[0].value_or(""), "c" + std::to_string(i));
            EXPECT_EQ(static_cast<uint32_t>(I32(row[1])), kColumns[i].oid) << kColumns[i].sql;
            EXPECT_EQ(I32(row[2]), kColumns[i].modifier) << kColumns[i].sql;
            EXPECT_EQ(row[3].value_or("?"), std::string(1, i % 2 ? '\1' : '\0')) << kColumns[i].sql;
            EXPECT_EQ(row[4].value_or(""), i == 10 ? "en_US" : "default") << kColumns[i].sql;
            EXPECT_EQ(row[6].value_or(""), "p");
        }
    }
}

TEST_F(KelvodCatalog, TemporaryTablesLiveInPgTempOfTheFirstDatabase) {
    ASSERT_TRUE(c.Query("CREATE TEMPORARY TABLE \"tmp\" (\"v\" VARCHAR(7) NOT NULL);").Ok());
    WireResult r = c.Query("SELECT kelvo_database_of_table('tmp'), kelvo_schema_of_table('tmp')");
    ASSERT_TRUE(r.Ok());
    EXPECT_EQ(r.Value(0, 0), "cat");
    EXPECT_EQ(r.Value(0, 1), "pg_temp");
    WireResult cols = c.Query(ColumnQuery("\"cat\".", "pg_temp", "tmp"));
    ASSERT_EQ(cols.rows.size(), 1u);
    EXPECT_EQ(static_cast<uint32_t>(I32(cols.rows[0][1])), 1043u);
    EXPECT_EQ(I32(cols.rows[0][2]), 11);
    EXPECT_EQ(cols.rows[0][6].value_or(""), "t");
    // The qualified name the catalog gives for it reaches the table.
    EXPECT_TRUE(c.Query("INSERT INTO \"cat\".\"pg_temp\".\"tmp\" VALUES ('a')").Ok());
    EXPECT_TRUE(c.Query("INSERT INTO pg_temp.tmp VALUES ('b')").Ok());
    EXPECT_EQ(c.Query("SELECT CAST(count(*) AS INTEGER) FROM \"pg_temp\".\"tmp\"").Value(), std::string("\2\0\0\0", 4));
}

TEST_F(KelvodCatalog, SchemaAndTableListsPerDatabase) {
    ASSERT_TRUE(c.Query("CREATE SCHEMA \"two\".\"extra\"").Ok());
    ASSERT_TRUE(c.Query("CREATE TABLE \"two\".\"extra\".\"x1\" (\"v\" INT)").Ok());
    auto names = [&](const std::string& sql) {
        std::vector<std::string> out;
        WireResult r = c.Query(sql);
        EXPECT_TRUE(r.Ok()) << sql << (r.errors.empty() ? "" : r.errors[0].message);
        for (const auto& row : r.rows) out.push_back(row[0].value_or("<null>"));
        std::sort(out.begin(), out.end());
        return out;
    };
    const std::string filter = " WHERE nspname NOT IN ('pellory', 'pg_catalog', 'pg_temp')";
    EXPECT_EQ(names("SELECT nspname FROM \"two\".pg_catalog.pg_namespace" + filter),
              (std::vector<std::string>{"extra", "public"}));
    EXPECT_EQ(names("SELECT nspname FROM pg_catalog.pg_namespace" + filter), (std::vector<std::string>{"public"}));
    EXPECT_EQ(names("SELECT nspname FROM \"two\".pg_catalog.pg_namespace"),
              (std::vector<std::string>{"extra", "pellory", "pg_catalog", "public"}));
    EXPECT_EQ(names("SELECT tablename FROM \"two\".pg_catalog.pg_tables WHERE schemaname = 'extra'"),
              (std::vector<std::string>{"x1"}));
    EXPECT_EQ(names("SELECT tablename FROM pg_catalog.pg_tables WHERE schemaname = 'extra'"),
              (std::vector<std::string>{}));
    WireResult exists = c.Query("SELECT EXISTS(SELECT * FROM \"two\".pg_catalog.pg_tables WHERE tablename = 'x1' AND "
                                "schemaname = 'extra')");
    ASSERT_TRUE(exists.Ok());
    EXPECT_EQ(exists.Value(), std::string(1, '\1'));
    // Every table is an ordinary relation; no external stream ('x') exists here.
    EXPECT_EQ(c.Query("SELECT 1 FROM \"two\".pg_catalog.pg_class r WHERE r.relname = 'x1' AND r.relkind = 'r'").rows.size(), 1u);
    EXPECT_EQ(c.Query("SELECT 1 FROM \"two\".pg_catalog.pg_class r WHERE r.relname = 'x1' AND r.relkind = 'x'").rows.size(), 0u);
    WireResult db = c.Query("SELECT kelvo_database_of_schema('extra')");
    EXPECT_EQ(db.Value(), "two");
}

TEST_F(KelvodCatalog, NameResolutionGivesNullWhenNothingMatches) {
    ASSERT_TRUE(c.Query("CREATE TABLE \"resolved\" (\"v\" INT)").Ok());
    struct {
        const char* sql;
        const char* first;
        const char* second;
    } cases[] = {
        {"SELECT kelvo_database_of_table('resolved'), kelvo_schema_of_table('resolved')", "cat", "public"},
        {"SELECT kelvo_database_of_table('nope'), kelvo_schema_of_table('nope')", "<null>", "<null>"},
        {"SELECT kelvo_database_of_schema('public'), '1'", "cat", "1"},
        {"SELECT kelvo_database_of_schema('nope'), '1'", "<null>", "1"},
    };
    for (const auto& k : cases) {
        WireResult r = c.Query(k.sql);
        ASSERT_TRUE(r.Ok()) << k.sql;
        ASSERT_EQ(r.rows.size(), 1u) << k.sql;
        EXPECT_EQ(r.Value(0, 0), k.first) << k.sql;
        EXPECT_EQ(r.Value(0, 1), k.second) << k.sql;
    }
}

TEST_F(KelvodCatalog, TablesResolveAlongTheSearchPath) {
    ASSERT_TRUE(c.Query("CREATE SCHEMA \"second\"").Ok());
    ASSERT_TRUE(c.Query("CREATE TABLE \"second\".\"only_here\" (\"v\" INT)").Ok());
    EXPECT_EQ(c.Query("SELECT kelvo_schema_of_table('only_here')").Value(), "<null>");
    ASSERT_TRUE(c.Query("SET search_path = public, second").Ok());
    EXPECT_EQ(c.Query("SELECT kelvo_schema_of_table('only_here')").Value(), "second");
    EXPECT_TRUE(c.Query("SELECT * FROM only_here").Ok());
}

TEST_F(KelvodCatalog, AliasesCompareWithoutRegardToCase) {
    ASSERT_TRUE(c.Query("CREATE TABLE \"cased\" (\"v\" INT)").Ok());
    WireClient other;
    std::string list = "[{\"alias\": \"CAT\", \"path\": \"" + server->Directory() + "/cat.kelvo\"}]";
    ASSERT_EQ(other.Open(server->Endpoint(), list, "result_format_code=KelvoBinary").status, 'I');
    for (const char* prefix : {"\"CAT\".", "\"cat\".", ""}) {
        WireResult r = other.Query(ColumnQuery(prefix, "public", "cased"));
        ASSERT_TRUE(r.Ok()) << prefix;
        EXPECT_EQ(r.rows.size(), 1u) << prefix;
    }
    other.Query("DETACH DATABASE *");
}

TEST_F(KelvodCatalog, APrefixNamingADatabaseNotAttachedFailsWith3F000) {
    for (const char* sql : {"SELECT nspname FROM \"elsewhere\".pg_catalog.pg_namespace",
                            "SELECT tablename FROM \"elsewhere\".pg_catalog.pg_tables WHERE schemaname = 'public'"}) {
        WireResult r = c.Query(sql);
        ASSERT_EQ(r.errors.size(), 1u) << sql;
        EXPECT_EQ(r.errors[0].sqlstate, "3F000") << sql;
    }
}

TEST_F(KelvodCatalog, DeclaredTypesFollowTheFileIntoAnotherSession) {
    ASSERT_TRUE(c.Query("CREATE TABLE \"two\".\"public\".\"kept\" (\"name\" VARCHAR(12) NOT NULL, \"flag\" CHAR(1))").Ok());
    WireClient other;
    std::string list = "[{\"alias\": \"renamed\", \"path\": \"" + server->Directory() + "/two.kelvo\"}]";
    // The same file under another alias is refused while this session holds it as "two".
    EXPECT_EQ(other.Open(server->Endpoint(), list).errors.size(), 1u);
    c.Query("DETACH DATABASE *");
    ASSERT_EQ(other.Open(server->Endpoint(), list, "result_format_code=KelvoBinary").status, 'I');
    WireResult r = other.Query(ColumnQuery("\"renamed\".", "public", "kept"));
    ASSERT_EQ(r.rows.size(), 2u);
    EXPECT_EQ(I32(r.rows[0][2]), 16);
    EXPECT_EQ(static_cast<uint32_t>(I32(r.rows[1][1])), 18u);
    other.Query("DETACH DATABASE *");
}
