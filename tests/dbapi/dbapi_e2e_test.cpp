// The database API against a server started by kelvo_instance_create: connections, catalog, database statements,
// rowsets, loads through inserters.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "api/table_definition.h"
#include "instance/instance.h"
#include "instance/kelvo_process.h"
#include "kelvo/kelvo.h"
#include "postgres/libpq/connect.h"
#include "postgres/libpq/connection_record.h"
#include "support/dbapi_peer.h"
#include "support/kelvod_server.h"
#include "support/klvcpy_rows.h"
#include "support/library_instance.h"
#include "support/log_events.h"

namespace {

using namespace kelvotest;

class DbapiE2E : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_server.Start(KELVO_SERVER_DIR); }
    static void TearDownTestSuite() { s_server.Stop(); }
    void SetUp() override { ASSERT_NE(nullptr, s_server.Get()) << "the server did not start"; }
    static std::string Path(const std::string& name) { return s_server.Directory() + "/" + name; }
    static kelvo_parameters_t* Parameters(const std::string& dbname) {
        kelvo_parameters_t* parameters = nullptr;
        EXPECT_EQ("", TextOf(kelvo_create_connection_parameters(s_server.Get(), &parameters)));
        EXPECT_EQ("", TextOf(kelvo_parameters_set(parameters, "dbname", dbname.c_str())));
        return parameters;
    }
    // A connection to a fresh database `name`, owned by the test, asking for
    // text results when `resultFormat` says so; the statements run first.
    kelvo_connection_t* Fresh(const std::string& name, std::initializer_list<const char*> statements = {},
                              const char* resultFormat = nullptr) {
        kelvo_parameters_t* parameters = Parameters(Path(name));
        if (resultFormat) {
            EXPECT_EQ("", TextOf(kelvo_parameters_set(parameters, "result_format_code", resultFormat)));
        }
        kelvo_connection_t* raw = nullptr;
        EXPECT_EQ("", TextOf(kelvo_connect(parameters, &raw, KELVO_CREATE_AND_REPLACE)));
        kelvo_parameters_destroy(parameters);
        m_conn.reset(raw);
        for (const char* statement : statements)
            EXPECT_EQ("", TextOf(kelvo_execute_command(raw, statement, nullptr))) << statement;
        return raw;
    }
    ConnectionPtr m_conn;
    static LibraryInstance s_server;
};

LibraryInstance DbapiE2E::s_server;

std::vector<std::string> SortedAndDestroyed(kelvo_string_list_t* list) {
    std::vector<std::string> out;
    for (size_t i = 0; i < kelvo_string_list_size(list); ++i)
        out.push_back(kelvo_string_list_at(list, (int)i));
    kelvo_string_list_destroy(list);
    std::sort(out.begin(), out.end());
    return out;
}

// Loads k = 1000000, 1000001, ... (and x TEXT of `textSize` bytes unless 0)
// into database.table through an inserter buffer, in bulk beyond 16 MiB;
// `kill` runs once `killAfter` rows are flushed. The load's first error.
kelvo_error_t* Load(kelvo_connection_t* conn, const char* database, const char* table, int rows, size_t textSize,
                    int killAfter = -1, const std::function<void()>& kill = {}) {
    kelvoapi::TableDefinition def(database, "", table, KELVO_PERMANENT, false);
    def.AddColumn("k", KELVO_BIG_INT, 0xFFFFFFFFu, "", false);
    if (textSize > 0)
        def.AddColumn("x", KELVO_TEXT, 0xFFFFFFFFu, "", true);
    const std::string text(textSize, 't');
    kelvo_inserter_t* inserter = nullptr;
    if (kelvo_error_t* e = kelvo_create_inserter(conn, &def, &inserter))
        return e;
    kelvo_inserter_buffer_t* buffer = nullptr;
    kelvo_error_t* first = kelvo_create_inserter_buffer(inserter, &def, "*", &buffer);
    for (int k = 0; k < rows && first == nullptr; ++k) {
        if (k == killAfter && (first = kelvo_inserter_buffer_flush(buffer)) == nullptr)
            kill();
        if (first == nullptr)
            first = kelvo_inserter_buffer_add_int64(buffer, 1000000 + k);
        if (first == nullptr && textSize > 0) {
            first = kelvo_inserter_buffer_add_binary(buffer, reinterpret_cast<const uint8_t*>(text.data()), textSize);
        }
    }
    if (first == nullptr)
        first = kelvo_inserter_buffer_flush(buffer);
    kelvo_inserter_buffer_destroy(buffer);
    kelvo_error_t* closed = kelvo_close_inserter(inserter, true);
    if (first != nullptr)
        kelvo_error_destroy(std::exchange(closed, first));
    return closed;
}

// Loads keys 0 to count-1 (`duplicate` as 0 again; every seventh row NULL but
// for k) into "every"; the error texts of the sending and of the close.
std::pair<std::string, std::string> LoadEveryType(kelvo_connection_t* conn, int64_t count, const std::string& text,
                                                  int64_t duplicate = -1) {
    kelvoapi::TableDefinition definition("every", KELVO_PERMANENT, false);
    definition.AddColumn("k", KELVO_BIG_INT, 0, "", false);
    const char* names[] = {"i", "s", "f", "d", "x", "y", "dt"};
    const kelvo_type_tag_t tags[] = {KELVO_INT,  KELVO_SMALL_INT, KELVO_BOOL, KELVO_DOUBLE,
                                     KELVO_TEXT, KELVO_BYTE_A,    KELVO_DATE};
    for (int c = 0; c < 7; ++c)
        definition.AddColumn(names[c], tags[c], 0, "", true);
    kelvo_inserter_t* inserter = nullptr;
    kelvo_inserter_buffer_t* b = nullptr;
    EXPECT_EQ("", TextOf(kelvo_create_inserter(conn, &definition, &inserter)));
    EXPECT_EQ("", TextOf(kelvo_create_inserter_buffer(inserter, &definition, "*", &b)));
    EXPECT_EQ("55006", SqlstateOf(kelvo_execute_command(conn, "SELECT 1", nullptr)));
    std::string sending;
    const auto check = [&](kelvo_error_t* e) {
        const std::string failure = TextOf(e);
        sending = sending.empty() ? failure : sending;
    };
    for (int64_t k = 0; k < count && sending.empty(); ++k) {
        check(kelvo_inserter_buffer_add_int64(b, k == duplicate ? 0 : k));
        if (k % 7 == 3) {
            for (int c = 0; c < 7; ++c)
                check(kelvo_inserter_buffer_add_null(b));
            continue;
        }
        check(kelvo_inserter_buffer_add_int32(b, static_cast<int32_t>(-k)));
        check(kelvo_inserter_buffer_add_int16(b, static_cast<int16_t>(k % 30000)));
        check(kelvo_inserter_buffer_add_bool(b, k % 2 == 0));
        check(kelvo_inserter_buffer_add_double(b, static_cast<double>(k) + 0.5));
        check(kelvo_inserter_buffer_add_binary(b, reinterpret_cast<const uint8_t*>(text.data()), text.size()));
        const uint8_t bytes[3] = {0x00, 0xFF, static_cast<uint8_t>(k)};
        check(kelvo_inserter_buffer_add_binary(b, bytes, sizeof bytes));
        check(kelvo_inserter_buffer_add_date(b, 2000, 1, static_cast<int16_t>(1 + k % 28)));
    }
    if (sending.empty())
        sending = TextOf(kelvo_inserter_buffer_flush(b));
    kelvo_inserter_buffer_destroy(b);
    const std::pair<std::string, std::string> result{sending, TextOf(kelvo_close_inserter(inserter, true))};
    EXPECT_TRUE(kelvo_connection_is_ready(conn));
    return result;
}

TEST_F(DbapiE2E, RefusedConnects) {
    // Endpoint (null: the instance's; "": none), create mode, dbname, SQLSTATE and message.
    const std::tuple<const char*, int, const char*, std::string, std::string> cases[] = {
        {"", KELVO_CREATE, nullptr, "08001", "Missing endpoint parameter"},
        {"pel.tcp://127.0.0.1:1", KELVO_CREATE, nullptr, "08001",
         "Could not connect to the Kelvo server: The given endpoint doesn't belong to a started KelvoProcess"},
        {nullptr, KELVO_CREATE, ":main", "42501", "Creating the ':main' database is not allowed."},
        {nullptr, 7, ":main", "42501", "Creating the ':main' database is not allowed."},
        {nullptr, -1, nullptr, "22023", "Invalid `kelvo_create_mode_t` value"},
        // The default "[]" attaches nothing: there is no file to create.
        {nullptr, KELVO_CREATE, "[]", "22023", "A create mode needs the path of one database in `dbname`, not \"[]\"."},
        {nullptr, KELVO_CREATE_AND_REPLACE, "[{\"path\": \"a\"}]", "22023",
         "A create mode needs the path of one database in `dbname`, not \"[{\"path\": \"a\"}]\"."}};
    for (const auto& [endpoint, mode, dbname, sqlstate, message] : cases) {
        kelvo_parameters_t* parameters = Parameters(dbname ? dbname : Path("x.kelvo"));
        if (endpoint != nullptr && *endpoint == '\0') {
            kelvo_parameters_destroy(parameters);
            ASSERT_EQ("", TextOf(kelvo_create_connection_parameters(nullptr, &parameters)));
        } else if (endpoint != nullptr) {
            ASSERT_EQ("", TextOf(kelvo_parameters_set(parameters, "endpoint", endpoint)));
        }
        kelvo_connection_t* conn = nullptr;
        ExpectError(ErrorPtr(kelvo_connect(parameters, &conn, static_cast<kelvo_create_mode_t>(mode))), sqlstate,
                    message);
        EXPECT_EQ(nullptr, conn);
        kelvo_parameters_destroy(parameters);
    }
}

TEST_F(DbapiE2E, MainRoadWritesAndReadsRowsInBinaryAndText) {
    kelvo_connection_t* raw = Fresh("road.kelvo");
    ASSERT_NE(nullptr, raw);
    EXPECT_EQ(KELVO_CONNECTION_OK, kelvo_connection_status(raw));
    ASSERT_EQ("", TextOf(kelvo_create_schema(raw, nullptr, "sales", true)));
    ASSERT_EQ("", TextOf(kelvo_create_schema(raw, nullptr, "sales", false)));  // IF NOT EXISTS
    kelvo_table_definition_t* def = kelvo_create_table_definition("road", "sales", "items", KELVO_PERMANENT, false);
    ASSERT_EQ("", TextOf(kelvo_table_definition_add_column(def, "id", KELVO_INT, 0xFFFFFFFFu, nullptr, false)));
    ASSERT_EQ("", TextOf(kelvo_table_definition_add_column(def, "name", KELVO_VARCHAR, kelvo_encode_string_modifier(20),
                                                           nullptr, true)));
    ASSERT_EQ("", TextOf(kelvo_table_definition_add_column(def, "price", KELVO_NUMERIC,
                                                           kelvo_encode_numeric_modifier(10, 2), nullptr, true)));
    ASSERT_EQ("", TextOf(kelvo_create_table(raw, def, true)));
    ASSERT_EQ("", TextOf(kelvo_create_table(raw, def, false)));
    EXPECT_NE("", SqlstateOf(kelvo_create_table(raw, def, true)));
    int count = 0;
    ASSERT_EQ("", TextOf(kelvo_execute_command(
                      raw, "INSERT INTO sales.items SELECT i, 'n' || i, i / 4 FROM range(1000) t(i)", &count)));
    EXPECT_EQ(1000, count);
    ASSERT_EQ("", TextOf(kelvo_execute_command(raw, "INSERT INTO sales.items VALUES (1000, NULL, NULL)", &count)));
    // Several statements in one text: the first one's rows come back, and a failure among them keeps none of their
    // changes (the rows are counted below).
    EXPECT_EQ(std::vector<std::string>{"1001"},
              Column(raw, "SELECT count(*)::INT FROM sales.items; SELECT 2", 0, false));
    EXPECT_EQ("42703", SqlstateOf(kelvo_execute_command(raw, "DELETE FROM sales.items; SELECT nosuch", &count)));
    const char* query = "SELECT id, name FROM sales.items ORDER BY id";
    const std::vector<std::string> ids = Column(raw, query, 0, false);
    ASSERT_EQ(1001u, ids.size());
    EXPECT_EQ("999", ids[999]);
    EXPECT_EQ(ids, Column(raw, query, 0, true));
    const std::vector<std::string> names = Column(raw, query, 1, false);
    EXPECT_EQ("n7", names[7]);
    EXPECT_EQ("<null>", names[1000]);
    ASSERT_EQ("", TextOf(kelvo_prepare(raw, "by_id", "SELECT id FROM sales.items WHERE id = 2")));
    for (const auto& [format, bytes] : {std::pair{KELVO_ROWSET_RESULT_FORMAT_KELVO_BINARY, std::string("\2\0\0\0", 4)},
                                        std::pair{KELVO_ROWSET_RESULT_FORMAT_TEXT, std::string("2")}}) {
        kelvo_rowset_t* rowset = nullptr;
        ASSERT_EQ("", TextOf(kelvo_execute_prepared(raw, "by_id", format, &rowset)));
        kelvo_rowset_chunk_t* chunk = nullptr;
        ASSERT_EQ("", TextOf(kelvo_rowset_get_next_chunk(rowset, &chunk)));
        ASSERT_NE(nullptr, chunk);
        const kelvo_value_t v = kelvo_rowset_chunk_field_value(chunk, 0, 0);
        EXPECT_EQ(bytes, std::string(reinterpret_cast<const char*>(v.value), v.size));
        kelvo_destroy_rowset_chunk(chunk);
        kelvo_close_rowset(rowset);
    }
    EXPECT_STREQ("UTF8", kelvo_connection_parameter_status(raw, "server_encoding"));
    EXPECT_EQ(nullptr, kelvo_connection_parameter_status(raw, "no_such_setting"));
    // The table definition round trips through the catalog: names, types, modifiers, nullability and collations all
    // show in its CREATE statement.
    kelvo_table_definition_t* read = nullptr;
    ASSERT_EQ("", TextOf(kelvo_get_table_definition(raw, nullptr, "sales", "items", &read)));
    const auto create = [](const kelvo_table_definition_t* d) {
        return static_cast<const kelvoapi::TableDefinition*>(d)->GenerateCreateSQL(false);
    };
    EXPECT_EQ(create(def), create(read));
    kelvo_destroy_table_definition(read);
    kelvo_destroy_table_definition(def);
    // A clone is a second session with the same options, default settings and without the API marker.
    kelvo_set_chunked_mode(raw, false);
    kelvo_set_prefetch_threshold(raw, 5);
    std::unique_ptr<kelvoapi::Connection> clone = raw->Get().Clone();
    ASSERT_NE(nullptr, clone);
    EXPECT_TRUE(clone->GetChunkedMode());
    EXPECT_EQ(kelvoapi::Connection::default_prefetch_threshold, clone->GetPrefetchThreshold());
    EXPECT_TRUE(clone->HasTable("", "sales", "items"));
    EXPECT_NE(nullptr, std::strstr(PQoptions(raw->Get().GetPGconn()), "dorvane_api=1"));
    EXPECT_EQ(nullptr, std::strstr(PQoptions(clone->GetPGconn()), "dorvane_api"));
    clone->Close();
    EXPECT_EQ(KELVO_CONNECTION_BAD, clone->GetStatus());
    EXPECT_EQ(nullptr, clone->Clone());
    clone->Close();  // a second close does nothing
}

// On a connection that asks for text results: the catalog reads integers and flags in whichever format the server sent.
TEST_F(DbapiE2E, CatalogQuestions) {
    kelvo_connection_t* raw = Fresh("cat.kelvo", {}, "Text");
    ASSERT_NE(nullptr, raw);
    EXPECT_EQ(std::vector<std::string>({"7"}), Column(raw, "SELECT 7", 0, false)) << "text results";
    ASSERT_EQ("", TextOf(kelvo_create_schema(raw, "cat", "pg_extra", true)));
    for (const char* statement : {"CREATE TABLE cat.pg_extra.t1 (a VARCHAR(9) NOT NULL, b NUMERIC(12,3))",
                                  "CREATE TABLE cat.pg_extra.t2 (v INT)", "CREATE TABLE cat.public.empty_cols (v INT)",
                                  "CREATE TEMPORARY TABLE tmp (v INT)"}) {
        ASSERT_EQ("", TextOf(kelvo_execute_command(raw, statement, nullptr)));
    }
    kelvo_string_list_t* list = nullptr;
    ASSERT_EQ("", TextOf(kelvo_get_schema_names(raw, "cat", &list)));
    EXPECT_EQ(std::vector<std::string>({"pg_extra", "public"}), SortedAndDestroyed(list));
    ASSERT_EQ("", TextOf(kelvo_get_table_names(raw, "cat", "pg_extra", &list)));
    EXPECT_EQ(std::vector<std::string>({"t1", "t2"}), SortedAndDestroyed(list));
    const std::tuple<const char*, const char*, const char*, bool> hasCases[] = {{nullptr, nullptr, "empty_cols", true},
                                                                                {nullptr, nullptr, "nowhere", false},
                                                                                {"cat", "pg_extra", "t1", true},
                                                                                {nullptr, "noschema", "t1", false},
                                                                                {"cat", "public", "t1", false}};
    for (const auto& [database, schema, table, expected] : hasCases) {
        bool exists = !expected;
        EXPECT_EQ("", TextOf(kelvo_has_table(raw, database, schema, table, &exists))) << table;
        EXPECT_EQ(expected, exists) << table;
    }
    // Types, modifiers, nullability and persistence as the CREATE statement writes them.
    for (const auto& [schema, table, create] :
         {std::tuple<const char*, const char*, const char*>{
              nullptr, "tmp", "CREATE TEMPORARY TABLE \"cat\".\"pg_temp\".\"tmp\" (\"v\" INT);"},
          {"pg_extra", "t1",
           "CREATE TABLE \"cat\".\"pg_extra\".\"t1\" (\"a\" VARCHAR(9) NOT NULL, \"b\" NUMERIC(12,3));"}}) {
        kelvo_table_definition_t* def = nullptr;
        ASSERT_EQ("", TextOf(kelvo_get_table_definition(raw, nullptr, schema, table, &def)));
        EXPECT_EQ(create, static_cast<kelvoapi::TableDefinition*>(def)->GenerateCreateSQL(false));
        kelvo_destroy_table_definition(def);
    }
    const std::tuple<const char*, const char*, const char*, std::string, uint32_t, std::string> failCases[] = {
        {nullptr, nullptr, "nowhere", "42P01", 0x7bd02a3b, "Specified table does not exist: nowhere."},
        {"cat", "public", "nowhere", "42P01", 0x08b95b2f, "Specified table does not exist: nowhere."},
        {nullptr, "noschema", "nowhere", "3F000", 0xdb2e8a8b, "Specified schema does not exist: noschema."},
        {"elsewhere", "public", "t1", "3D000", 0x80d59a97, "The specified database \"elsewhere\" does not exist."}};
    for (const auto& [database, schema, table, sqlstate, contextId, message] : failCases) {
        kelvo_table_definition_t* def = nullptr;
        ExpectError(ErrorPtr(kelvo_get_table_definition(raw, database, schema, table, &def)), sqlstate, message,
                    contextId);
        EXPECT_EQ(nullptr, def);
    }
    bool exists = false;
    EXPECT_EQ("3D000", SqlstateOf(kelvo_has_table(raw, "elsewhere", "public", "t1", &exists)));
    EXPECT_TRUE(kelvo_connection_is_ready(raw));
}

// A table named with its database but no schema resolves inside that database, for the catalog and inserters alike; a
// bulk load into a database attached after the connect has the stream connection attach it too. Then detaching,
// attaching under another name, dropping.
TEST_F(DbapiE2E, DatabasesAttachedAndDroppedAndQualifiedNamesStayInTheirDatabase) {
    const std::string second = Path("second.kelvo");
    kelvo_connection_t* raw = Fresh("main1.kelvo", {"CREATE TABLE dup (k BIGINT NOT NULL)"});
    ASSERT_NE(nullptr, raw);
    ASSERT_EQ("", TextOf(kelvo_create_database(raw, second.c_str(), true)));
    ASSERT_EQ("", TextOf(kelvo_create_database(raw, second.c_str(), false)));    // there already
    ASSERT_EQ("", TextOf(kelvo_attach_database(raw, second.c_str(), nullptr)));  // as "second"
    for (const char* statement :
         {"CREATE TABLE second.public.dup (k BIGINT NOT NULL)", "CREATE TABLE second.public.only_in_second (v INT)",
          "CREATE TABLE second.public.big (k BIGINT NOT NULL, x TEXT)"}) {
        ASSERT_EQ("", TextOf(kelvo_execute_command(raw, statement, nullptr))) << statement;
    }
    for (const auto& [table, expected] : {std::pair{"only_in_second", true}, {"dup", true}, {"nowhere", false}}) {
        bool exists = !expected;
        ASSERT_EQ("", TextOf(kelvo_has_table(raw, "second", nullptr, table, &exists)));
        EXPECT_EQ(expected, exists) << table;
    }
    kelvo_table_definition_t* read = nullptr;
    ASSERT_EQ("", TextOf(kelvo_get_table_definition(raw, "second", nullptr, "only_in_second", &read)));
    EXPECT_EQ("second.public",
              std::string(kelvo_table_definition_database_name(read)) + "." + kelvo_table_definition_schema_name(read));
    kelvo_destroy_table_definition(read);
    EXPECT_EQ("", TextOf(Load(raw, "second", "dup", 1, 0)));
    EXPECT_EQ(std::vector<std::string>({"1000000"}), Column(raw, "SELECT k FROM second.public.dup", 0, true));
    EXPECT_EQ(std::vector<std::string>({"0"}), Column(raw, "SELECT count(*) FROM dup", 0, true));
    EXPECT_EQ("", TextOf(Load(raw, "second", "big", 40000, 500)));
    EXPECT_EQ(std::vector<std::string>({"40000"}), Column(raw, "SELECT count(*) FROM second.public.big", 0, true));
    ASSERT_EQ("", TextOf(kelvo_detach_database(raw, "second")));
    bool exists = false;
    EXPECT_EQ("3D000", SqlstateOf(kelvo_has_table(raw, "second", "public", "dup", &exists)));
    ASSERT_EQ("", TextOf(kelvo_attach_database(raw, second.c_str(), "again")));
    ASSERT_EQ("", TextOf(kelvo_has_table(raw, "again", "public", "dup", &exists)));
    EXPECT_TRUE(exists);
    ASSERT_EQ("", TextOf(kelvo_detach_all_databases(raw)));
    ASSERT_EQ("", TextOf(kelvo_drop_database(raw, second.c_str(), true)));
    EXPECT_FALSE(std::filesystem::exists(second));
    // Disconnecting detaches, so another connection can drop the file at once.
    const std::string path = Path("closed.kelvo");
    ASSERT_NE(nullptr, s_server.Connect(path, KELVO_CREATE_IF_NOT_EXISTS));
    EXPECT_EQ("", TextOf(kelvo_drop_database(raw, path.c_str(), true)));
}

// Rows of every type read back as loaded, plain and (beyond 16 MiB) in bulk. A bulk INSERT failing on its first chunk
// while the second is on its way: that chunk may fail (cancelled, or refused by the stream nobody reads), the close
// reports the statement's error, nothing is inserted, the stream is dropped.
TEST_F(DbapiE2E, InsertersLoadEveryTypeAndEveryShapePlainAndInBulk) {
    kelvo_connection_t* raw = Fresh(
        "every.kelvo",
        {"CREATE TABLE every (k BIGINT NOT NULL PRIMARY KEY, i INT, "
         "s SMALLINT, f BOOLEAN, d DOUBLE PRECISION, x TEXT, y BYTEA, dt DATE)",
         "CREATE TABLE strict (a INT NOT NULL, b INT NOT NULL)", "CREATE TABLE loose (a INT, b INT)",
         "CREATE TEMPORARY TABLE tmp (k BIGINT NOT NULL, x TEXT)", "CREATE TABLE wide (k BIGINT NOT NULL, x TEXT)"});
    ASSERT_NE(nullptr, raw);
    kelvoapi::TableDefinition missing("nowhere", KELVO_PERMANENT, false);
    missing.AddColumn("k", KELVO_BIG_INT, 0, "", false);
    kelvo_inserter_t* inserter = nullptr;
    EXPECT_EQ("42P01", SqlstateOf(kelvo_create_inserter(raw, &missing, &inserter)));
    EXPECT_EQ(nullptr, inserter);
    const char* streams = "SELECT count(*) FROM pg_catalog.pg_class WHERE relkind = 'x'";
    kelvotest::LogEvents log;
    EXPECT_EQ(LoadEveryType(raw, 10, "row \xC3\xA9"), (std::pair<std::string, std::string>()));
    EXPECT_EQ(
        Column(raw, "SELECT k, i, s, f, d, x, hex(y), CAST(dt AS VARCHAR) FROM every WHERE k IN (0, 1, 3) ORDER BY k",
               -1, true),
        (std::vector<std::string>{"0|0|0|t|0.5|row \xC3\xA9|00FF00|2000-01-01",
                                  "1|-1|1|f|1.5|row \xC3\xA9|00FF01|2000-01-02",
                                  "3|<null>|<null>|<null>|<null>|<null>|<null>|<null>"}));
    EXPECT_EQ(log.Values("inserter-end").at(0).find("bulk"), std::string::npos);
    // About 300 bytes a row: 70000 rows fill a little more than one buffer.
    ASSERT_EQ("", TextOf(kelvo_execute_command(raw, "DELETE FROM every", nullptr)));
    EXPECT_EQ(LoadEveryType(raw, 70000, std::string(256, 'p')), (std::pair<std::string, std::string>()));
    const std::string end = log.Values("inserter-end").at(1);
    EXPECT_NE(end.find("\"chunk-count\":2,"), std::string::npos) << end;
    EXPECT_NE(end.find("\"bulk\":\"true\""), std::string::npos) << end;
    EXPECT_EQ(Column(raw, "SELECT count(*), sum(k), count(x), count(DISTINCT dt) FROM every", -1, true),
              std::vector<std::string>{"70000|2449965000|60000|24"});
    EXPECT_EQ(
        Column(raw, "SELECT k, i, s, f, d, length(x), hex(y) FROM every WHERE k IN (69998, 69999) ORDER BY k", -1,
               true),
        (std::vector<std::string>{"69998|-69998|9998|t|69998.5|256|00FF6E", "69999|-69999|9999|f|69999.5|256|00FF6F"}));
    EXPECT_EQ(Column(raw, streams, 0, true), std::vector<std::string>{"0"}) << "the stream is dropped";
    ASSERT_EQ("", TextOf(kelvo_execute_command(raw, "DELETE FROM every", nullptr)));
    const auto [sending, closing] = LoadEveryType(raw, 70000, std::string(256, 'p'), 10);
    EXPECT_TRUE(sending.empty() || sending.find("57014") != std::string::npos ||
                sending.find("55000") != std::string::npos)
        << sending;
    EXPECT_NE(closing.find("23505"), std::string::npos) << closing;
    EXPECT_EQ(Column(raw, "SELECT count(*) FROM every", 0, true), std::vector<std::string>{"0"});
    EXPECT_EQ(Column(raw, streams, 0, true), std::vector<std::string>{"0"});
    // The rows stored are the rows sent: a definition whose nullability differs from the table's, columns mapped by a
    // select list, a temporary table past the bulk threshold, one chunk past the server's limit on a message. Rows (1,
    // 2), (2, 4), (3, 6) go as columns x and y, or a and b.
    const auto load = [&](const char* table, bool nullable, const char* select) {
        kelvoapi::TableDefinition target("", "", table, KELVO_PERMANENT, false), sent = target;
        const bool all = std::string(select) == "*";
        for (const char* name : {"a", "b"}) {
            target.AddColumn(name, KELVO_INT, 0xFFFFFFFFu, "", nullable);
            sent.AddColumn(all ? name : name[0] == 'a' ? "x" : "y", KELVO_INT, 0xFFFFFFFFu, "", nullable);
        }
        kelvo_inserter_t* shaped = nullptr;
        kelvo_inserter_buffer_t* buffer = nullptr;
        EXPECT_EQ("", TextOf(kelvo_create_inserter(raw, &target, &shaped)));
        EXPECT_EQ("", TextOf(kelvo_create_inserter_buffer(shaped, &sent, select, &buffer)));
        for (int value : {1, 2, 2, 4, 3, 6})
            EXPECT_EQ("", TextOf(kelvo_inserter_buffer_add_int32(buffer, value)));
        EXPECT_EQ("", TextOf(kelvo_inserter_buffer_flush(buffer)));
        kelvo_inserter_buffer_destroy(buffer);
        EXPECT_EQ("", TextOf(kelvo_close_inserter(shaped, true)));
        const std::string query = std::string("SELECT * FROM ") + table + " ORDER BY a";
        const std::vector<std::string> rows = Column(raw, query.c_str(), -1, true);
        EXPECT_EQ("", TextOf(kelvo_execute_command(raw, (std::string("DELETE FROM ") + table).c_str(), nullptr)));
        return rows;
    };
    const std::vector<std::string> sent = {"1|2", "2|4", "3|6"};
    EXPECT_EQ(sent, load("strict", true, "*"));
    EXPECT_EQ(sent, load("loose", false, "*"));
    EXPECT_EQ((std::vector<std::string>{"1|12", "2|24", "3|36"}), load("loose", true, "x, x * 10 + y"));
    EXPECT_EQ("", TextOf(Load(raw, "", "tmp", 40000, 500)));
    EXPECT_EQ(std::vector<std::string>{"40000"}, Column(raw, "SELECT count(*) FROM tmp", 0, true));
    // One chunk of 70 MB, past the server's 64 MiB limit on a message.
    kelvotest::KlvcpyRows rows;
    rows.Header();
    for (int k = 0; k < 70000; ++k)
        rows.Int64(k, false).Bytes(std::string(1000, 'w'));
    kelvoapi::TableDefinition wide("", "", "wide", KELVO_PERMANENT, false);
    wide.AddColumn("k", KELVO_BIG_INT, 0xFFFFFFFFu, "", false);
    wide.AddColumn("x", KELVO_TEXT, 0xFFFFFFFFu, "", true);
    ASSERT_EQ("", TextOf(kelvo_create_inserter(raw, &wide, &inserter)));
    const auto* bytes = reinterpret_cast<const uint8_t*>(rows.Data().data());
    EXPECT_EQ("", TextOf(kelvo_inserter_insert_chunk(inserter, bytes, rows.Data().size())));
    EXPECT_EQ("", TextOf(kelvo_close_inserter(inserter, true)));
    EXPECT_EQ(std::vector<std::string>{"70000|70000000"},
              Column(raw, "SELECT count(*), sum(length(x)) FROM wide", -1, true));
}

// A rowset closed early stops reading ahead: the close reads only what the cancel leaves on the way, and the connection
// keeps no more than a block. A cancel from another thread ends a running statement with 57014 and the connection goes
// on. Then ping.
TEST_F(DbapiE2E, ClosingEarlyStopsTheReadAheadAndACancelEndsOnlyTheStatement) {
    kelvo_connection_t* raw = Fresh("big.kelvo");
    ASSERT_NE(nullptr, raw);
    kelvo_set_prefetch_threshold(raw, 64 << 20);
    for (int round = 0; round < 3; ++round) {
        kelvo_rowset_t* rowset = nullptr;
        ASSERT_EQ("", TextOf(kelvo_execute_query(raw, "SELECT i, i * 2 FROM range(100000000) t(i)", &rowset)));
        kelvo_rowset_chunk_t* chunk = nullptr;
        EXPECT_EQ("", TextOf(kelvo_rowset_get_next_chunk(rowset, &chunk)));
        kelvo_destroy_rowset_chunk(chunk);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the thread reads megabytes ahead
        const auto closing = std::chrono::steady_clock::now();
        kelvo_close_rowset(rowset);
        EXPECT_LT(std::chrono::steady_clock::now() - closing, std::chrono::seconds(8));
        EXPECT_LE(raw->Get().GetPGconn()->inBufSize, 1 << 20);
    }
    EXPECT_EQ(std::vector<std::string>({"7"}), Column(raw, "SELECT 7", 0, false));
    EXPECT_EQ("", TextOf(kelvo_cancel(raw)));  // nothing runs: the server ignores it
    std::atomic<bool> done{false};
    std::string sqlstate;
    std::thread runner([&] {
        sqlstate = SqlstateOf(kelvo_execute_command(raw, "SELECT sum(i) FROM range(1000000000000) t(i)", nullptr));
        done = true;
    });
    // Cancels that find the session idle are dropped, so repeat until one lands; the statement itself would run for
    // hours.
    for (int i = 0; i < 600 && !done; ++i) {
        EXPECT_EQ("", TextOf(kelvo_cancel(raw)));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    runner.join();
    EXPECT_EQ("57014", sqlstate);
    EXPECT_EQ(std::vector<std::string>({"7"}), Column(raw, "SELECT 7", 0, false));
    kelvo_parameters_t* parameters = Parameters(Path("big.kelvo"));
    kelvo_ping_status_t status = KELVO_PING_NO_ATTEMPT;
    EXPECT_EQ("", TextOf(kelvo_ping(parameters, &status)));
    EXPECT_EQ(KELVO_PING_OK, status);
    kelvo_parameters_set(parameters, "endpoint",
                         ("pel.domain://" + s_server.Directory() + "/domain/.s.PGSQL.1").c_str());
    EXPECT_EQ("", TextOf(kelvo_ping(parameters, &status)));
    EXPECT_EQ(KELVO_PING_NO_RESPONSE, status);
    kelvo_parameters_destroy(parameters);
}

// Two threads on one connection are outside the contract, but the loser must get 55006 rather than corrupt the protocol
// connection for the winner.
TEST_F(DbapiE2E, TheLoserOfARaceForTheConnectionGetsBusy) {
    kelvo_connection_t* raw = Fresh("race.kelvo");
    ASSERT_NE(nullptr, raw);
    std::atomic<int> busy{0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    auto issue = [&] {
        while (std::chrono::steady_clock::now() < deadline) {
            kelvo_rowset_t* rowset = nullptr;
            for (const std::string& state : {SqlstateOf(kelvo_execute_command(raw, "SELECT 1", nullptr)),
                                             SqlstateOf(kelvo_execute_query(raw, "SELECT 2", &rowset))}) {
                EXPECT_TRUE(state.empty() || state == "55006") << state;
                busy += state == "55006";
            }
            kelvo_close_rowset(rowset);
        }
    };
    std::thread other(issue);
    issue();
    other.join();
    EXPECT_GT(busy.load(), 0) << "the threads never met";
    EXPECT_EQ(std::vector<std::string>({"7"}), Column(raw, "SELECT 7", 0, false));
}

// A server stopped (SIGSTOP) while a read waits on another thread: a cancel fails within seconds with class 08 and ends
// that wait; closing the rowset and disconnecting busy and idle connections take seconds too.
TEST(DbapiStalledServer, ACancelEndsTheWaitAndNothingElseWaitsLong) {
    kelvotest::LibraryInstance server;
    server.Start(KELVO_SERVER_DIR);
    ASSERT_NE(nullptr, server.Get());
    const pid_t pid = static_cast<kelvoapi::Instance*>(server.Get())->m_kelvoServerProcess->GetProcessId();
    kelvo_connection_t* conn = server.Connect().release();
    kelvo_connection_t* idle = server.Connect().release();  // disconnected while the server stands still
    ASSERT_NE(nullptr, conn);
    kelvo_set_prefetch_threshold(conn, 1 << 20);
    kelvo_rowset_t* rowset = nullptr;
    ASSERT_EQ("", TextOf(kelvo_execute_query(conn, "SELECT i FROM range(10000000000) t(i)", &rowset)));
    using Clock = std::chrono::steady_clock;
    const auto within = [](Clock::time_point since, int seconds) {
        return Clock::now() - since < std::chrono::seconds(seconds);
    };
    std::atomic<bool> stopped{false};
    std::string readFailure;
    Clock::time_point readEnded;
    std::thread reader([&] {
        kelvo_rowset_chunk_t* chunk = nullptr;
        ErrorPtr error;
        while (!(error = ErrorPtr(kelvo_rowset_get_next_chunk(rowset, &chunk))) && chunk) {
            kelvo_destroy_rowset_chunk(chunk);
            EXPECT_TRUE(stopped.exchange(true) || kill(pid, SIGSTOP) == 0);
        }
        readFailure = error ? AsError(error).GetSqlstate() : "";
        readEnded = Clock::now();
    });
    while (!stopped)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the reader waits by now
    const auto cancelled = Clock::now();
    EXPECT_EQ("08006", SqlstateOf(kelvo_cancel(conn)));
    EXPECT_TRUE(within(cancelled, 8));
    reader.join();
    EXPECT_EQ("08", readFailure.substr(0, 2)) << readFailure;
    EXPECT_LT(readEnded - cancelled, std::chrono::seconds(9));
    const auto closing = Clock::now();
    kelvo_close_rowset(rowset);
    kelvo_disconnect(conn);
    kelvo_disconnect(idle);
    EXPECT_TRUE(within(closing, 12));
    kill(pid, SIGCONT);
    server.Stop();
}

// The server killed mid-call: the call fails within a second with class 08 and a message, never HY000 and empty; rows
// read before are whole; what was committed survives a restart on the same database file.
TEST(DbapiFaultInjection, AServerKilledMidCallFailsThatCallPromptly) {
    const std::string dir = MakeTempDirectory();
    const std::string database = dir + "/fault.kelvo";
    using Clock = std::chrono::steady_clock;
    using Kill = std::function<void()>;
    const std::pair<const char*, std::function<kelvo_error_t*(kelvo_connection_t*, const Kill&)>> cases[] = {
        {"chunked read",
         [](kelvo_connection_t* conn, const Kill& kill) -> kelvo_error_t* {
             kelvo_set_prefetch_threshold(conn, 4 << 20);
             kelvo_rowset_t* rowset = nullptr;
             if (kelvo_error_t* e = kelvo_execute_query(conn, "SELECT i FROM range(1000000000) t(i)", &rowset)) {
                 return e;
             }
             kelvo_error_t* error = nullptr;
             int64_t next = 0;
             for (int chunks = 0;; ++chunks) {
                 if (chunks == 20)
                     kill();
                 kelvo_rowset_chunk_t* chunk = nullptr;
                 if ((error = kelvo_rowset_get_next_chunk(rowset, &chunk)) != nullptr || chunk == nullptr)
                     break;
                 EXPECT_EQ(256u, kelvo_rowset_chunk_row_count(chunk)) << "a whole chunk";
                 for (uint32_t r = 0; r < kelvo_rowset_chunk_row_count(chunk); ++r) {
                     EXPECT_EQ(next++, kelvo_read_int64(kelvo_rowset_chunk_field_value(chunk, r, 0).value));
                 }
                 kelvo_destroy_rowset_chunk(chunk);
             }
             kelvo_close_rowset(rowset);
             return error;
         }},
        {"inserter load",
         [](kelvo_connection_t* conn, const Kill& kill) { return Load(conn, "", "kept", 2000, 0, 1000, kill); }},
        {"bulk load",
         [](kelvo_connection_t* conn, const Kill& kill) { return Load(conn, "", "wide", 40000, 500, 36000, kill); }},
        {"execute_command", [](kelvo_connection_t* conn, const Kill& kill) {
             std::thread killer([&] {
                 std::this_thread::sleep_for(std::chrono::milliseconds(300));
                 kill();
             });
             kelvo_error_t* error =
                 kelvo_execute_command(conn, "SELECT sum(i) FROM range(1000000000000) t(i)", nullptr);
             killer.join();
             return error;
         }}};
    // Step 0 makes the database; each later one starts a server on it, finds what was committed and nothing else, then
    // runs case step-1, if any.
    for (size_t step = 0; step <= std::size(cases) + 1; ++step) {
        SCOPED_TRACE(step > 0 && step <= std::size(cases) ? cases[step - 1].first : "before or after the cases");
        LibraryInstance server;
        server.Start(KELVO_SERVER_DIR, {{"auto_delete_database", "false"}});
        ConnectionPtr conn =
            server.Get() ? server.Connect(database, step ? KELVO_DO_NOT_CREATE : KELVO_CREATE) : nullptr;
        ASSERT_NE(nullptr, conn);
        const char* setup[] = {"CREATE TABLE kept (k BIGINT NOT NULL)",
                               "INSERT INTO kept SELECT i FROM range(1000) t(i)",
                               "CREATE TABLE wide (k BIGINT NOT NULL, x TEXT)"};
        for (size_t k = 0; step == 0 && k < std::size(setup); ++k)
            ASSERT_EQ("", TextOf(kelvo_execute_command(conn.get(), setup[k], nullptr))) << setup[k];
        EXPECT_EQ(std::vector<std::string>({"1000|499500|0"}),
                  Column(conn.get(), "SELECT count(*), sum(k), (SELECT count(*) FROM wide) FROM kept", -1, true));
        if (step > 0 && step <= std::size(cases)) {
            Clock::time_point killed{};
            const ErrorPtr f(cases[step - 1].second(conn.get(), [&] {
                server.Kill();
                killed = Clock::now();
            }));
            const auto took = Clock::now() - killed;
            EXPECT_NE(Clock::time_point{}, killed) << "the server was not killed";
            ASSERT_NE(nullptr, f);
            EXPECT_EQ("08", AsError(f).GetSqlstate().substr(0, 2)) << AsError(f).GetMessage();
            EXPECT_FALSE(AsError(f).GetMessage().empty());
            EXPECT_LT(took, std::chrono::seconds(1));
        }
        conn.reset();
        server.Stop();
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

}  // namespace
