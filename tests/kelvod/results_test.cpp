// Result values as the client reads them: type OIDs and modifiers, PostgreSQL's text output, the bare little-endian
// binary form, extended queries and prepared statements, COPY TO STDOUT, large results, and cancel of a running
// statement.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <thread>

#include "support/kelvod_server.h"
#include "support/wire_client.h"

using kelvotest::kJulian2000;
using kelvotest::kMicrosPerDay;
using kelvotest::Le;
using kelvotest::WireClient;
using kelvotest::WireResult;

namespace {

using Message = std::pair<char, std::string>;
const auto Z = WireClient::Str;
const auto I16 = WireClient::Int16;
const auto I32 = WireClient::Int32;

Message Parse(const std::string& name, const std::string& sql, const std::vector<uint32_t>& oids = {}) {
    std::string body = Z(name) + Z(sql) + I16(static_cast<int16_t>(oids.size()));
    for (uint32_t oid : oids)
        body += I32(static_cast<int32_t>(oid));
    return {'P', body};
}

// The unnamed portal over `statement`, its parameters as text.
Message Bind(const std::string& statement, const std::vector<std::optional<std::string>>& params = {},
             const std::vector<int16_t>& formats = {}) {
    std::string body = Z("") + Z(statement) + I16(0) + I16(static_cast<int16_t>(params.size()));
    for (const auto& p : params)
        body += p ? I32(static_cast<int32_t>(p->size())) + *p : I32(-1);
    body += I16(static_cast<int16_t>(formats.size()));
    for (int16_t f : formats)
        body += I16(f);
    return {'B', body};
}

const Message kExecute{'E', Z("") + I32(0)}, kSync{'S', ""};

class KelvodResults : public kelvotest::KelvodFormatsSuite {
protected:
    WireResult Send(const std::vector<Message>& messages) {
        for (const auto& [type, body] : messages)
            m_text.SendMessage(type, body);
        return m_text.ReadUntilReady();
    }
};

}  // namespace

TEST_F(KelvodResults, ValuesInTextAndBinaryForEveryType) {
    const struct {
        const char* expression;
        uint32_t oid;
        int32_t modifier;
        const char* text;
        std::string binary;
    } cases[] = {
        {"true", 16, -1, "t", std::string(1, '\1')},
        {"CAST(-3 AS SMALLINT)", 21, -1, "-3", Le<int16_t>(-3)},
        {"CAST(-2 AS INTEGER)", 23, -1, "-2", Le<int32_t>(-2)},
        {"CAST(1234567890123 AS BIGINT)", 20, -1, "1234567890123", Le<int64_t>(1234567890123)},
        {"CAST(4000000000 AS UINTEGER)", 26, -1, "4000000000", Le<uint32_t>(4000000000u)},
        {"CAST(18446744073709551615 AS UBIGINT)", 1700, (20 << 16) + 4, "18446744073709551615",
         Le<uint64_t>(18446744073709551615ULL) + Le<uint64_t>(0)},
        {"CAST(-2 AS HUGEINT)", 1700, (38 << 16) + 4, "-2", Le<int64_t>(-2) + Le<int64_t>(-1)},
        {"CAST(1.5 AS DOUBLE)", 701, -1, "1.5", Le<double>(1.5)},
        {"CAST('NaN' AS DOUBLE)", 701, -1, "NaN", ""},
        {"CAST('-inf' AS DOUBLE)", 701, -1, "-Infinity", ""},
        {"CAST(-1.5 AS DECIMAL(4,1))", 1700, (4 << 16 | 1) + 4, "-1.5", Le<int64_t>(-15)},
        {"CAST(-1234567.89 AS DECIMAL(9,2))", 1700, (9 << 16 | 2) + 4, "-1234567.89", Le<int64_t>(-123456789)},
        {"CAST(-1.5 AS DECIMAL(30,1))", 1700, (30 << 16 | 1) + 4, "-1.5", Le<int64_t>(-15) + Le<int64_t>(-1)},
        {"CAST('12345678901234567890.5' AS DECIMAL(38,1))", 1700, (38 << 16 | 1) + 4, "12345678901234567890.5",
         Le<uint64_t>(0xb14e9f812f366c39ULL) + Le<int64_t>(6)},
        {"'h\xC3\xA9llo'", 25, -1, "h\xC3\xA9llo", "h\xC3\xA9llo"},
        {"'longer than twelve bytes'", 25, -1, "longer than twelve bytes", "longer than twelve bytes"},
        {"'\\x01FF'::BLOB", 17, -1, "\\x01ff", std::string("\x01\xff", 2)},
        {"'{\"a\": 1}'::JSON", 114, -1, "{\"a\": 1}", "{\"a\": 1}"},
        {"DATE '2000-01-01'", 1082, -1, "2000-01-01", Le<uint32_t>(2451545)},
        {"DATE '0001-01-01'", 1082, -1, "0001-01-01", Le<uint32_t>(1721426)},
        {"TIME '12:34:56.5'", 1083, -1, "12:34:56.5", Le<uint64_t>(45296500000ULL)},
        {"TIMESTAMP '1969-12-31 23:59:59.25'", 1114, -1, "1969-12-31 23:59:59.25",
         Le<int64_t>(2440588 * kMicrosPerDay - 750000)},
        {"CAST(TIMESTAMP '2000-01-02 03:04:05' AS TIMESTAMPTZ)", 1184, -1, "2000-01-02 03:04:05+00",
         Le<int64_t>((kJulian2000 + 1) * kMicrosPerDay + 11045000000LL)},
        {"INTERVAL '1 year 2 months 3 days 04:05:06'", 1186, -1, "1 year 2 mons 3 days 04:05:06",
         Le<int64_t>(14706000000LL) + Le<int32_t>(3) + Le<int32_t>(14)},
        {"INTERVAL '-1 day' + INTERVAL '2 hours'", 1186, -1, "-1 days +02:00:00",
         Le<int64_t>(7200000000LL) + Le<int32_t>(-1) + Le<int32_t>(0)},
        {"INTERVAL '0 seconds'", 1186, -1, "00:00:00", std::string(16, '\0')},
        {"[1, 2]", 25, -1, "[1, 2]", "[1, 2]"},
        // PostgreSQL's text forms at their edges (no binary expected).
        {"'infinity'::DATE", 1082, -1, "infinity", ""},
        {"DATE '9999-12-31'", 1082, -1, "9999-12-31", ""},
        {"TIME '00:00:00'", 1083, -1, "00:00:00", ""},
        {"TIMESTAMP '1969-12-31 23:59:59.999999'", 1114, -1, "1969-12-31 23:59:59.999999", ""},
        {"TIMESTAMP '0001-12-31 (BC)'", 1114, -1, "0001-12-31 00:00:00 BC", ""},
        {"INTERVAL '-1 year -2 months'", 1186, -1, "-1 years -2 mons", ""},
        {"INTERVAL '-1 microsecond'", 1186, -1, "-00:00:00.000001", ""},
        {"INTERVAL '1 month 1 day'", 1186, -1, "1 mon 1 day", ""},
        {"INTERVAL '200 hours'", 1186, -1, "200:00:00", ""},
        {"CAST(-2.5e-10 AS DOUBLE)", 701, -1, "-2.5e-10", ""},
        {"CAST('inf' AS DOUBLE)", 701, -1, "Infinity", ""},
        {"CAST(1e20 AS DOUBLE)", 701, -1, "1e+20", ""},
        {"CAST(1e15 AS DOUBLE)", 701, -1, "1e+15", ""},
        {"CAST(1e14 AS DOUBLE)", 701, -1, "100000000000000", ""},
        {"CAST(123456789012345678 AS DOUBLE)", 701, -1, "1.2345678901234568e+17", ""},
        {"CAST(0.0001 AS DOUBLE)", 701, -1, "0.0001", ""},
        {"CAST(0.00001 AS DOUBLE)", 701, -1, "1e-05", ""},
        {"CAST(0 AS DOUBLE)", 701, -1, "0", ""},
        {"CAST('-0' AS DOUBLE)", 701, -1, "-0", ""},
        {"CAST(-0.005 AS DECIMAL(4,3))", 1700, (4 << 16 | 3) + 4, "-0.005", ""},
        {"CAST(0 AS DECIMAL(4,0))", 1700, (4 << 16) + 4, "0", ""},
        {"CAST(1 AS HUGEINT) << 100", 1700, (38 << 16) + 4, "1267650600228229401496703205376", ""},
        {"'\\x00ff10'::BLOB", 17, -1, "\\x00ff10", ""},
        {"''::BLOB", 17, -1, "\\x", ""},
    };
    for (const auto& c : cases) {
        std::string sql = std::string("SELECT ") + c.expression + " AS v";
        WireResult t = m_text.Query(sql), b = m_binary.Query(sql);
        ASSERT_TRUE(t.Ok() && b.Ok()) << sql << ": " << t.Message();
        ASSERT_EQ(t.columns.size(), 1u);
        EXPECT_EQ(t.columns[0].typeOid, c.oid) << sql;
        EXPECT_EQ(t.columns[0].typeModifier, c.modifier) << sql;
        EXPECT_EQ(t.columns[0].format * 10 + b.columns[0].format, 2) << sql;
        EXPECT_EQ(t.Value(), c.text) << sql;
        EXPECT_TRUE(c.binary.empty() || b.Value() == c.binary) << sql << ": " << testing::PrintToString(b.Value());
        EXPECT_EQ(t.tags, std::vector<std::string>{"SELECT 1"});
    }
}

TEST_F(KelvodResults, DatesAndTimestampsPastTheBinaryRangeAreRefusedNotWrapped) {
    const char* sql = "SELECT TIMESTAMP '290000-01-01 00:00:00' AS t";
    EXPECT_EQ(m_binary.Query(sql).Sqlstate(), "22008");
    EXPECT_EQ(m_text.Query(sql).Value(), "290000-01-01 00:00:00");
    EXPECT_EQ(m_binary.Query("SELECT CAST(TIMESTAMP '290000-01-01 00:00:00' AS TIMESTAMP_S) AS t").Sqlstate(), "22008");
    EXPECT_EQ(m_binary.Query("SELECT DATE '5000-01-01 (BC)' AS d").Sqlstate(), "22008");
    EXPECT_EQ(m_text.Query("SELECT DATE '5000-01-01 (BC)' AS d").Value(), "5000-01-01 BC");
    // Mid-stream, in the middle of a chunk: the rows before it go out whole, then the error.
    WireResult r = m_binary.Query(
        "SELECT i, CASE WHEN i = 5000 THEN TIMESTAMP '290000-01-01' ELSE TIMESTAMP "
        "'2000-01-01' END AS t, 'v' || i AS s FROM range(10000) r(i)");
    EXPECT_EQ(r.Sqlstate(), "22008");
    ASSERT_EQ(r.rows.size(), 5000u);
    EXPECT_EQ(r.Value(4999, 2), "v4999");
    EXPECT_TRUE(m_binary.Query("SELECT 1").Ok());
}

TEST_F(KelvodResults, ByteaTextReadsBackByteForByte) {
    ASSERT_TRUE(m_text.Query("CREATE TABLE \"bt\" (\"n\" INT, \"b\" BYTEA)").Ok());
    ASSERT_TRUE(m_text.Query("INSERT INTO bt VALUES (1, '\\xdeadbeef'), (2, 'a\\\\b\\001'), (3, '\\xDE AD')").Ok());
    WireResult p =
        m_text.Extended("INSERT INTO bt VALUES (4, $1), (5, $2)", 0, {std::string("\\x00ff"), std::string("\\x")});
    ASSERT_TRUE(p.Ok()) << p.Message();
    EXPECT_EQ(m_text.Query("SELECT b, octet_length(b) FROM bt ORDER BY n").rows,
              (std::vector<std::vector<std::optional<std::string>>>{
                  {"\\xdeadbeef", "4"}, {"\\x615c6201", "4"}, {"\\xdead", "2"}, {"\\x00ff", "2"}, {"\\x", "0"}}));
    EXPECT_EQ(m_binary.Query("SELECT b FROM bt WHERE n = 1").Value(), "\xde\xad\xbe\xef");
    EXPECT_EQ(m_text.Query("SELECT count(*) FROM bt WHERE b = '\\xdeadbeef'").Value(), "1");
    for (const char* bad : {"SELECT '\\xabc'::BYTEA", "SELECT '\\xzz'::BYTEA", "SELECT 'a\\9'::BYTEA"})
        EXPECT_EQ(m_text.Query(bad).Sqlstate(), "22P02") << bad;
    EXPECT_TRUE(m_text.Query("DROP TABLE bt").Ok());
}

TEST_F(KelvodResults, ExtendedErrorsSkipToSyncAndNamedStatementsLastUntilClosed) {
    struct Case {
        const char* what;
        std::vector<Message> messages;
        std::vector<char> types;  // empty: not checked
        const char* sqlstate;
    } cases[] = {
        {"a failed Parse skips to Sync",
         {Parse("", "SELECT * FROM nowhere"), Bind(""), kExecute, kExecute, kSync},
         {'E', 'Z'},
         "42P01"},
        {"a named statement", {Parse("s1", "SELECT 5 AS five"), {'D', "S" + Z("s1")}, kSync}, {'1', 't', 'T', 'Z'}, ""},
        {"runs", {Bind("s1", {}, {0}), kExecute, kSync}, {'2', 'D', 'C', 'Z'}, ""},
        {"runs again", {Bind("s1", {}, {0}), kExecute, kSync}, {'2', 'D', 'C', 'Z'}, ""},
        {"until closed", {{'C', "S" + Z("s1")}, Bind("s1"), kSync}, {'3', 'E', 'Z'}, "26000"},
        {"a table grows under a named statement",
         {Parse("s2", "SELECT * FROM grows"), {'Q', Z("ALTER TABLE grows ADD COLUMN b INT")}},
         {'1', 'C', 'Z'},
         ""},
        {"its rows keep to the columns it described", {Bind("s2"), kExecute, kSync}, {'2', 'E', 'Z'}, "0A000"},
        {"format code 1 is not one this server writes", {Parse("", "SELECT 1"), Bind("", {}, {1}), kSync}, {}, "0A000"},
        {"more result formats than columns",
         {Parse("", "SELECT 1"), Bind("", {}, {0, 2}), kExecute, kSync},
         {},
         "08P01"},
    };
    ASSERT_TRUE(m_text.Query("CREATE TABLE grows AS SELECT 1 AS a").Ok());
    for (const auto& c : cases) {
        WireResult r = Send(c.messages);
        EXPECT_TRUE(c.types.empty() || r.types == c.types) << c.what;
        EXPECT_EQ(r.Sqlstate(), c.sqlstate) << c.what;
    }
}

TEST_F(KelvodResults, StatementsPreparedOnceFollowTheCatalogAndTheSchemaInUse) {
    auto run = [&](const std::string& name, const std::vector<std::optional<std::string>>& params = {}) {
        WireResult r = Send({Bind(name, params), kExecute, kSync});
        return r.Ok() && !r.rows.empty() ? r.Value() : r.Sqlstate();
    };
    auto parse = [&](const std::string& name, const std::string& sql) { return Send({Parse(name, sql), kSync}).Ok(); };
    // The unnamed statement parsed again with its text keeps its plan under the same rules.
    auto unnamed = [&] { return parse("", "SELECT n FROM v") ? run("") : std::string("not parsed"); };
    WireResult setup = m_text.Query(
        "CREATE SCHEMA sp1; CREATE SCHEMA sp2; CREATE TABLE sp1.v AS SELECT 1 AS n; "
        "CREATE TABLE sp2.v AS SELECT 2 AS n; USE sp1");
    ASSERT_TRUE(setup.Ok()) << setup.Sqlstate() << " " << setup.Message();
    // A parameter that nothing types is described as text, and NULL binds as NULL.
    WireResult untyped = m_text.Extended("SELECT $1 AS s", 0, {std::nullopt});
    EXPECT_EQ(untyped.columns.at(0).typeOid, 25u);
    EXPECT_EQ(untyped.rows.at(0), std::vector<std::optional<std::string>>{std::nullopt});
    // A parameter only its value types leaves every column with its name and type; a type the client gave at Parse
    // types its parameter.
    struct Described {
        const char* sql;
        std::vector<uint32_t> oids;
        std::vector<std::optional<std::string>> params;
        std::vector<std::string> columns, values;  // each column's name and type OID
    } described[] = {
        {"SELECT $1 AS a, 2 AS b", {}, {"x"}, {"a 25", "b 23"}, {"x", "2"}},
        {"SELECT $1 AS a, 2 AS b", {23}, {"7"}, {"a 23", "b 23"}, {"7", "2"}},
        {"SELECT $2 AS a, $1 = 5 AS b, $3 AS c",
         {0, 0, 0},
         {"05", "y", "z"},
         {"a 25", "b 16", "c 25"},
         {"y", "t", "z"}},
        {"SELECT $2 AS a, i < $1 AS b FROM range(1) r(i)", {}, {"2", "y"}, {"a 25", "b 16"}, {"y", "t"}},
        {"SELECT $1 + 1 AS a", {}, {"1"}, {"a 23"}, {"2"}},
    };
    for (const auto& d : described) {
        for (const std::string name : {"", "described"}) {
            for (int16_t format : {0, 2}) {
                WireResult r = Send({Parse(name, d.sql, d.oids),
                                     Bind(name, d.params, {format}),
                                     {'D', "P" + Z("")},
                                     kExecute,
                                     {'C', "S" + Z(name)},
                                     kSync});
                std::string what = std::string(d.sql) + " as \"" + name + "\" in format " + std::to_string(format);
                EXPECT_TRUE(r.Ok()) << what << ": " << r.Message();
                ASSERT_EQ(r.columns.size(), d.columns.size()) << what;
                for (size_t i = 0; i < d.columns.size(); ++i)
                    EXPECT_EQ(r.columns[i].name + " " + std::to_string(r.columns[i].typeOid), d.columns[i]) << what;
                ASSERT_EQ(r.rows.size(), 1u) << what;
                for (size_t i = 0; i < d.values.size() && format == 0; ++i)
                    EXPECT_EQ(r.Value(0, i), d.values[i]) << what;
            }
        }
    }
    ASSERT_TRUE(parse("param", "SELECT CAST($1 AS INTEGER) * 2 AS n"));
    ASSERT_TRUE(parse("classes", "SELECT count(*) AS n FROM pg_catalog.pg_class WHERE relname = 'late'"));
    ASSERT_TRUE(parse("path", "SELECT n FROM v"));
    EXPECT_EQ(run("param"), "08P01");
    // A parameter the engine types as an integer reads as the engine reads it, or is refused as PostgreSQL refuses it:
    // out of range (22003) or no number (22P02).
    ASSERT_TRUE(parse("below", "SELECT count(*) AS n FROM range(10) r(i) WHERE i < $1"));
    for (const auto& [name, param, expected] :
         std::vector<std::array<std::string, 3>>{{"param", "21", "42"},
                                                 {"param", "4", "8"},
                                                 {"below", "5", "5"},
                                                 {"below", "-1", "0"},
                                                 {"below", "99999999999999999999", "22003"},
                                                 {"below", "x", "22P02"}})
        EXPECT_EQ(run(name, {param}), expected) << name << "(" << param << ")";
    EXPECT_EQ(run("classes"), "0");
    EXPECT_EQ(run("path"), "1");
    EXPECT_EQ(unnamed(), "1");
    ASSERT_TRUE(m_text.Query("CREATE TABLE late (i INTEGER)").Ok());
    EXPECT_EQ(run("classes"), "1");
    EXPECT_EQ(run("path"), "1");
    ASSERT_TRUE(m_text.Query("USE sp2").Ok());
    EXPECT_EQ(run("path"), "2");
    EXPECT_EQ(unnamed(), "2");
    ASSERT_TRUE(m_text.Query("DROP TABLE sp2.v; CREATE TABLE sp2.v AS SELECT 3 AS n").Ok());
    EXPECT_EQ(run("path"), "3");
    EXPECT_EQ(unnamed(), "3");
    EXPECT_FALSE(m_text.Query("BEGIN; SELECT * FROM nowhere").Ok());
    EXPECT_EQ(unnamed(), "not parsed");  // 25P02, as for any other text
    EXPECT_EQ(m_text.Query("ROLLBACK").status, 'I');
    EXPECT_TRUE(m_text.Query("USE main; DROP SCHEMA sp1 CASCADE; DROP SCHEMA sp2 CASCADE").Ok());
}

TEST_F(KelvodResults, SimpleQueriesSentAgainFollowTheCatalogTheSchemaInUseAndTheSettings) {
    auto value = [&](const std::string& sql) {
        WireResult r = m_text.Query(sql);
        return r.Ok() && !r.rows.empty() ? r.Value() : r.Sqlstate();
    };
    const std::string path = "SELECT n FROM v",
                      late = "SELECT count(*) FROM pg_catalog.pg_class WHERE relname = 'late2'",
                      settings = "SELECT current_setting('preserve_insertion_order')::VARCHAR || getvariable('kept')";
    ASSERT_TRUE(m_text
                    .Query("CREATE SCHEMA sq1; CREATE SCHEMA sq2; CREATE TABLE sq1.v AS SELECT 1 AS n; CREATE TABLE "
                           "sq2.v AS SELECT 2 AS n; USE sq1; SET VARIABLE kept = 1")
                    .Ok());
    for (int again = 0; again < 2; ++again)
        EXPECT_EQ(value(path) + value(late) + value(settings), "10true1");
    ASSERT_TRUE(m_text.Query("CREATE TABLE late2 (i INTEGER); SET SESSION preserve_insertion_order = false").Ok());
    ASSERT_TRUE(m_text.Query("SET VARIABLE kept = 2").Ok());
    EXPECT_EQ(value(path) + value(late) + value(settings), "11false2");
    ASSERT_TRUE(m_text.Query("USE sq2; RESET SESSION preserve_insertion_order").Ok());
    EXPECT_EQ(value(path), "2");
    ASSERT_TRUE(m_text.Query("DROP TABLE sq2.v; CREATE TABLE sq2.v AS SELECT 'three' AS n").Ok());
    EXPECT_EQ(value(path), "three");
    EXPECT_TRUE(m_text.Query("USE main; DROP SCHEMA sq1 CASCADE; DROP SCHEMA sq2 CASCADE").Ok());
}

TEST_F(KelvodResults, CopyQueryToStdoutInTextAndBinary) {
    WireResult t = m_text.Query("COPY (SELECT * FROM (VALUES (1, 'a\tb'), (NULL, 'c')) v(i, s)) TO STDOUT");
    ASSERT_TRUE(t.Ok()) << t.Message();
    EXPECT_EQ(t.copyData, "1\ta\\tb\n\\N\tc\n");
    EXPECT_EQ(t.tags, std::vector<std::string>{"COPY 2"});
    WireResult b =
        m_text.Query("COPY (SELECT CAST(1 AS INTEGER), 'xy', CAST(NULL AS BIGINT)) TO STDOUT (FORMAT KELVOBINARY)");
    ASSERT_TRUE(b.Ok()) << b.Message();
    std::string expected = std::string("KLVCPY") + std::string(13, '\0') + std::string(1, '\0') + Le<int32_t>(1) +
                           std::string(1, '\0') + Le<uint32_t>(2) + "xy" + std::string(1, '\1');
    EXPECT_EQ(b.copyData, expected);
    // Results larger than the server's output buffer stream whole and in order.
    WireResult big = m_text.Query("COPY (SELECT i FROM range(100000) t(i)) TO STDOUT");
    EXPECT_EQ(big.tags, std::vector<std::string>{"COPY 100000"});
    std::string expectedBig;
    for (int i = 0; i < 100000; ++i)
        expectedBig += std::to_string(i) + "\n";
    EXPECT_TRUE(big.copyData == expectedBig);
    WireResult rows = m_binary.Query("SELECT CAST(i AS VARCHAR) AS s FROM range(200000) t(i)");
    ASSERT_EQ(rows.rows.size(), 200000u);
    EXPECT_EQ(rows.tags, std::vector<std::string>{"SELECT 200000"});
    EXPECT_EQ(rows.Value(199999), "199999");
}

TEST_F(KelvodResults, CancelEndsARunningOrBlockedStatementAndIsDroppedWhenIdle) {
    // A cancel that finds the session idle is not remembered for the next statement.
    ASSERT_TRUE(kelvotest::SendCancel(server->Endpoint(), m_text.Pid(), m_text.Key()));
    EXPECT_TRUE(m_text.Query("SELECT 1").Ok());
    // One statement computing, one blocked in send: 10^8 rows cannot be buffered anywhere, and the client stops reading
    // until the cancel.
    m_text.SendMessage('Q', WireClient::Str("SELECT count(*) FROM range(3000000000) a, range(10) b"));
    m_binary.SendMessage('Q', WireClient::Str("SELECT * FROM range(100000000)"));
    usleep(300000);
    // A wrong key cancels nothing.
    ASSERT_TRUE(kelvotest::SendCancel(server->Endpoint(), m_text.Pid(), m_text.Key() ^ 1));
    EXPECT_EQ(m_text.Read(300).type, 0) << "the statement ended without its cancel";
    for (WireClient* c : {&m_text, &m_binary}) {
        ASSERT_TRUE(kelvotest::SendCancel(server->Endpoint(), c->Pid(), c->Key()));
        WireResult r = c->ReadUntilReady(20000);
        EXPECT_EQ(r.status, 'I') << "no end of the cancelled statement";
        EXPECT_EQ(r.Sqlstate(), "57014");
        EXPECT_EQ(r.rows.empty(), c == &m_text);
        EXPECT_LT(r.rows.size(), 100000000u);
        EXPECT_TRUE(c->Query("SELECT 1").Ok());
    }
}
