// The catalog as the library reads it: a table created with the library's
// CREATE TABLE text reads back with the same types, modifiers, nullability and
// collations, through the exact catalog queries the library sends, with and
// without a database prefix.
#include <gtest/gtest.h>

#include <cstring>

#include "support/kelvod_server.h"
#include "support/wire_client.h"

using kelvotest::WireClient;
using kelvotest::WireResult;

namespace {

class KelvodCatalog : public kelvotest::KelvodSuite {
protected:
    static void SetUpTestSuite() {
        KelvodSuite::SetUpTestSuite();
        WireClient admin;
        ASSERT_EQ(admin.Open(server->Endpoint()).status, 'I');
        ASSERT_TRUE(admin.Query("CREATE DATABASE \"" + server->Directory() + "/cat.kelvo\"").Ok());
        ASSERT_TRUE(admin.Query("CREATE DATABASE \"" + server->Directory() + "/two.kelvo\"").Ok());
    }
    void SetUp() override {
        std::string list = "[{\"alias\": \"cat\", \"path\": \"" + server->Directory() + "/cat.kelvo\"}, " +
                           "{\"alias\": \"two\", \"path\": \"" + server->Directory() + "/two.kelvo\"}]";
        ASSERT_EQ(c.Open(server->Endpoint(), list, "result_format_code=KelvoBinary").status, 'I');
    }
    void TearDown() override { c.Query("DETACH DATABASE *"); }

    // The column query of the table-definition road, prefix P ("" or "\"db\".").
    static std::string ColumnQuery(const std::string& p, const std::string& schema, const std::string& table) {
        std::string sql =
            "SELECT a.attname, a.atttypid, a.atttypmod, a.attnotnull, coll.collname, a.attnum, cl.relpersistence "
            "FROM @pg_catalog.pg_attribute a JOIN @pg_catalog.pg_class cl ON a.attrelid = cl.oid JOIN "
            "@pg_catalog.pg_namespace n ON n.oid = cl.relnamespace LEFT JOIN @ pg_catalog.pg_collation coll ON "
            "a.attcollation = coll.oid WHERE a.attnum > 0 AND NOT a.attisdropped AND cl.relname = '" +
            table + "' AND n.nspname = '" + schema + "' ORDER BY a.attnum";
        for (size_t at; (at = sql.find('@')) != std::string::npos;)
            sql.replace(at, 1, p);
        return sql;
    }
    WireClient c;
};

int32_t I32(const std::optional<std::string>& v) {
    int32_t x = 0;
    if (v && v->size() == 4)
        std::memcpy(&x, v->data(), 4);
    return x;
}

}  // namespace

TEST_F(KelvodCatalog, TableDefinitionsReadBackAsCreatedForEveryType) {
    const struct {
        const char* sql;  // as the library writes the type
        uint32_t oid;
        int32_t modifier;
    } columns[] = {
        {"TEXT", 25, -1},
        {"NUMERIC(18,3)", 1700, (18 << 16 | 3) + 4},
        {"NUMERIC(4294967295,4294967295)", 1700, -1},
        {"VARCHAR(100)", 1043, 104},
        {"VARCHAR(4294967295)", 1043, -1},
        {"CHAR(1)", 18, 5},
        {"CHAR(10)", 1042, 14},
        {"JSON", 114, -1},
        {"INTERVAL", 1186, -1},
        {"TIME", 1083, -1},
        {"TIMESTAMP", 1114, -1},
        {"TIMESTAMPTZ", 1184, -1},
        {"GEOGRAPHY", 5003, -1},
    };
    std::string create = "CREATE TABLE \"cat\".\"public\".\"every\" (";
    for (size_t i = 0; i < std::size(columns); ++i)
        create += std::string(i ? ", " : "") + "\"c" + std::to_string(i) + "\" " + columns[i].sql +
                  (i % 2 ? " NOT NULL" : "") + (i == 0 ? " COLLATE \"en_US\"" : "");
    ASSERT_TRUE(c.Query(create + ");").Ok());
    for (std::string prefix : {"", "\"cat\".", "\"CAT\"."}) {
        WireResult r = c.Query(ColumnQuery(prefix, "public", "every"));
        ASSERT_EQ(r.rows.size(), std::size(columns)) << prefix << r.Message();
        EXPECT_EQ(r.columns[1].typeLength, 4);  // oid columns arrive as 4 bytes
        for (size_t i = 0; i < std::size(columns); ++i) {
            const auto& row = r.rows[i];
            EXPECT_EQ(row[0].value_or(""), "c" + std::to_string(i));
            EXPECT_EQ(static_cast<uint32_t>(I32(row[1])), columns[i].oid) << columns[i].sql;
            EXPECT_EQ(I32(row[2]), columns[i].modifier) << columns[i].sql;
            EXPECT_EQ(row[3].value_or("?"), std::string(1, i % 2 ? '\1' : '\0')) << columns[i].sql;
            EXPECT_EQ(row[4].value_or(""), i == 0 ? "en_US" : "default") << columns[i].sql;
            EXPECT_EQ(row[6].value_or(""), "p");
        }
    }
}

TEST_F(KelvodCatalog, TemporaryTablesLiveInPgTempOfTheFirstDatabase) {
    ASSERT_TRUE(c.Query("CREATE TEMPORARY TABLE \"tmp\" (\"v\" VARCHAR(7) NOT NULL);").Ok());
    WireResult r = c.Query("SELECT kelvo_database_of_table('tmp'), kelvo_schema_of_table('tmp')");
    EXPECT_EQ(r.Value(0, 0) + "." + r.Value(0, 1), "cat.pg_temp");
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
