// Loads into the stand-in server on the real road: rows of every type through
// an inserter buffer in plain mode and, beyond 16 MiB, in bulk mode over the
// cloned stream connection; read back and compared; closing without data;
// the busy rule; and the server's failures reported at the close.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "api/table_definition.h"
#include "error/error.h"
#include "kelvo/kelvo.h"
#include "support/kelvod_server.h"
#include "support/log_events.h"

namespace {

std::string TextOf(kelvo_error_t* error) {
    const std::string text = error ? kelvoapi::ToString(*static_cast<kelvoapi::Error*>(error)) : "";
    kelvo_error_destroy(error);
    return text;
}

std::string SqlstateOf(kelvo_error_t* error) {
    const std::string sqlstate = error ? static_cast<kelvoapi::Error*>(error)->GetSqlstate() : "";
    kelvo_error_destroy(error);
    return sqlstate;
}

struct ConnectionCloser {
    void operator()(kelvo_connection_t* c) const { kelvo_disconnect(c); }
};
using ConnectionPtr = std::unique_ptr<kelvo_connection_t, ConnectionCloser>;

class InserterE2E : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = new std::string(kelvotest::MakeTempDirectory());
        kelvo_parameters_t* parameters = nullptr;
        ASSERT_EQ("", TextOf(kelvo_create_instance_parameters(&parameters, true)));
        ASSERT_EQ("", TextOf(kelvo_parameters_set(parameters, "use_tcp_port", "off")));
        ASSERT_EQ("", TextOf(kelvo_parameters_set(parameters, "log_dir", s_dir->c_str())));
        ASSERT_EQ("",
                  TextOf(kelvo_instance_create(KELVO_SERVER_DIR, KELVO_DISABLE_TELEMETRY, parameters, &s_instance)));
        kelvo_parameters_destroy(parameters);
    }
    static void TearDownTestSuite() {
        kelvo_instance_close(s_instance);
        s_instance = nullptr;
        std::error_code ignored;
        std::filesystem::remove_all(*s_dir, ignored);
        delete s_dir;
    }

    void SetUp() override {
        ASSERT_NE(nullptr, s_instance) << "the server did not start";
        kelvo_parameters_t* parameters = nullptr;
        ASSERT_EQ("", TextOf(kelvo_create_connection_parameters(s_instance, &parameters)));
        const std::string path = *s_dir + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_EQ("", TextOf(kelvo_parameters_set(parameters, "dbname", path.c_str())));
        kelvo_connection_t* conn = nullptr;
        const std::string error = TextOf(kelvo_connect(parameters, &conn, KELVO_CREATE_AND_REPLACE));
        kelvo_parameters_destroy(parameters);
        ASSERT_EQ("", error);
        m_conn.reset(conn);
    }

    void Run(const std::string& command) {
        ASSERT_EQ("", TextOf(kelvo_execute_command(m_conn.get(), command.c_str(), nullptr))) << command;
    }

    // Every row of `query` in text form, fields joined by '|', NULL as "-".
    std::vector<std::string> Rows(const std::string& query) {
        std::vector<std::string> rows;
        kelvo_rowset_t* rowset = nullptr;
        EXPECT_EQ("", TextOf(kelvo_execute_query_params(m_conn.get(), query.c_str(), KELVO_ROWSET_RESULT_FORMAT_TEXT,
                                                        &rowset)))
            << query;
        if (rowset == nullptr) return rows;
        const size_t columns = kelvo_table_definition_column_count(kelvo_rowset_get_table_definition(rowset));
        for (;;) {
            kelvo_rowset_chunk_t* chunk = nullptr;
            EXPECT_EQ("", TextOf(kelvo_rowset_get_next_chunk(rowset, &chunk)));
            if (chunk == nullptr) break;
            for (size_t r = 0; r < kelvo_rowset_chunk_row_count(chunk); ++r) {
                std::string row;
                for (size_t c = 0; c < columns; ++c) {
                    const kelvo_value_t v =
                        kelvo_rowset_chunk_field_value(chunk, static_cast<uint32_t>(r), static_cast<uint32_t>(c));
                    if (c != 0) row += '|';
                    row += v.value == nullptr ? std::string("-")
                                              : std::string(reinterpret_cast<const char*>(v.value), v.size);
                }
                rows.push_back(row);
            }
            kelvo_destroy_rowset_chunk(chunk);
        }
        kelvo_close_rowset(rowset);
        return rows;
    }

    static kelvo_instance_t* s_instance;
    static std::string* s_dir;
    ConnectionPtr m_conn;
};

kelvo_instance_t* InserterE2E::s_instance = nullptr;
std::string* InserterE2E::s_dir = nullptr;

// The table "every" with a column of each kind of cell, nullable but for "k".
const char* const kEveryTable =
    "CREATE TABLE every (k BIGINT NOT NULL, i INT, s SMALLINT, f BOOLEAN, d DOUBLE PRECISION, x TEXT, y BYTEA, "
    "dt DATE)";

kelvoapi::TableDefinition EveryDefinition() {
    kelvoapi::TableDefinition definition("every", KELVO_PERMANENT, false);
    definition.AddColumn("k", KELVO_BIG_INT, 0, "", false);
    definition.AddColumn("i", KELVO_INT, 0, "", true);
    definition.AddColumn("s", KELVO_SMALL_INT, 0, "", true);
    definition.AddColumn("f", KELVO_BOOL, 0, "", true);
    definition.AddColumn("d", KELVO_DOUBLE, 0, "", true);
    definition.AddColumn("x", KELVO_TEXT, 0, "", true);
    definition.AddColumn("y", KELVO_BYTE_A, 0, "", true);
    definition.AddColumn("dt", KELVO_DATE, 0, "", true);
    return definition;
}

// Row k of the every table; every seventh row is all NULL but for k.
std::string AddEveryRow(kelvo_inserter_buffer_t* buffer, int64_t k, const std::string& text) {
    std::string error;
    auto check = [&](kelvo_error_t* e) {
        if (e != nullptr && error.empty()) error = TextOf(e);
    };
    check(kelvo_inserter_buffer_add_int64(buffer, k));
    if (k % 7 == 3) {
        for (int c = 0; c < 7; ++c) check(kelvo_inserter_buffer_add_null(buffer));
        return error;
    }
    check(kelvo_inserter_buffer_add_int32(buffer, static_cast<int32_t>(-k)));
    check(kelvo_inserter_buffer_add_int16(buffer, static_cast<int16_t>(k % 30000)));
    check(kelvo_inserter_buffer_add_bool(buffer, k % 2 == 0));
    check(kelvo_inserter_buffer_add_double(buffer, static_cast<double>(k) + 0.5));
    check(kelvo_inserter_buffer_add_binary(buffer, reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    const uint8_t bytes[3] = {0x00, 0xFF, static_cast<uint8_t>(k)};
    check(kelvo_inserter_buffer_add_binary(buffer, bytes, sizeof bytes));
    check(kelvo_inserter_buffer_add_date(buffer, 2000, 1, static_cast<int16_t>(1 + k % 28)));
    return error;
}


struct Load {
    kelvo_inserter_t* inserter = nullptr;
    kelvo_inserter_buffer_t* buffer = nullptr;
};

TEST_F(InserterE2E, PlainLoadOfEveryTypeReadsBackTheSame) {
    Run(kEveryTable);
    const kelvoapi::TableDefinition definition = EveryDefinition();
    Load load;
    ASSERT_EQ("", TextOf(kelvo_create_inserter(m_conn.get(), &definition, &load.inserter)));
    ASSERT_EQ("", TextOf(kelvo_create_inserter_buffer(load.inserter, &definition, "*", &load.buffer)));
    EXPECT_FALSE(kelvo_connection_is_ready(m_conn.get()));
    EXPECT_EQ("55006", SqlstateOf(kelvo_execute_command(m_conn.get(), "SELECT 1", nullptr)));
    for (int64_t k = 0; k < 10; ++k) {
        ASSERT_EQ("", AddEveryRow(load.buffer, k, "row " + std::to_string(k) + " \xC3\xA9"));
    }
    ASSERT_EQ("", TextOf(kelvo_inserter_buffer_flush(load.buffer)));
    kelvo_inserter_buffer_destroy(load.buffer);
    ASSERT_EQ("", TextOf(kelvo_close_inserter(load.inserter, true)));
    EXPECT_TRUE(kelvo_connection_is_ready(m_conn.get()));

    const std::vector<std::string> rows = Rows(
        "SELECT k, i, s, f, d, x, hex(y), CAST(dt AS VARCHAR) FROM every WHERE k IN (0, 1, 3) ORDER BY k");
    EXPECT_EQ(rows, (std::vector<std::string>{"0|0|0|t|0.5|row 0 \xC3\xA9|00FF00|2000-01-01",
                                              "1|-1|1|f|1.5|row 1 \xC3\xA9|00FF01|2000-01-02",
                                              "3|-|-|-|-|-|-|-"}));
    EXPECT_EQ(Rows("SELECT count(*), sum(k) FROM every"), std::vector<std::string>{"10|45"});
}

TEST_F(InserterE2E, LoadsBeyondOneBufferGoInBulkOverTheStreamConnection) {
    Run(kEveryTable);
    const kelvoapi::TableDefinition definition = EveryDefinition();
    kelvotest::LogEvents log;
    Load load;
    ASSERT_EQ("", TextOf(kelvo_create_inserter(m_conn.get(), &definition, &load.inserter)));
    ASSERT_EQ("", TextOf(kelvo_create_inserter_buffer(load.inserter, &definition, "*", &load.buffer)));
    // About 300 bytes a row: 70000 rows fill a little more than one buffer.
    const std::string padding(256, 'p');
    const int64_t count = 70000;
    for (int64_t k = 0; k < count; ++k) {
        const std::string error = AddEveryRow(load.buffer, k, padding);
        ASSERT_EQ("", error) << "row " << k;
    }
    ASSERT_EQ("", TextOf(kelvo_inserter_buffer_flush(load.buffer)));
    kelvo_inserter_buffer_destroy(load.buffer);
    EXPECT_FALSE(kelvo_connection_is_ready(m_conn.get()));
    ASSERT_EQ("", TextOf(kelvo_close_inserter(load.inserter, true)));
    EXPECT_TRUE(kelvo_connection_is_ready(m_conn.get()));
    ASSERT_EQ(log.Values("inserter-end").size(), 1u);
    EXPECT_NE(log.Values("inserter-end")[0].find("\"chunk-count\":2,"), std::string::npos) << log.Values("inserter-end")[0];
    EXPECT_NE(log.Values("inserter-end")[0].find("\"bulk\":\"true\""), std::string::npos) << log.Values("inserter-end")[0];
    EXPECT_EQ(Rows("SELECT count(*), sum(k), count(x), count(DISTINCT dt) FROM every"),
              std::vector<std::string>{"70000|2449965000|60000|24"});
    EXPECT_EQ(Rows("SELECT k, i, s, f, d, length(x), hex(y) FROM every WHERE k IN (69998, 69999) ORDER BY k"),
              (std::vector<std::string>{"69998|-69998|9998|t|69998.5|256|00FF6E", "69999|-69999|9999|f|69999.5|256|00FF6F"}));
    EXPECT_EQ(Rows("SELECT count(*) FROM pg_catalog.pg_class WHERE relkind = 'x'"), std::vector<std::string>{"0"})
        << "the stream is dropped";
}

TEST_F(InserterE2E, ClosingWithoutDataCancelsABulkLoadButEndsAPlainOne) {
    Run(kEveryTable);
    const kelvoapi::TableDefinition definition = EveryDefinition();
    for (const bool bulk : {false, true}) {
        SCOPED_TRACE(bulk ? "bulk" : "plain");
        Run("DELETE FROM every");
        Load load;
        ASSERT_EQ("", TextOf(kelvo_create_inserter(m_conn.get(), &definition, &load.inserter)));
        if (bulk) {
            ASSERT_EQ("", TextOf(kelvo_init_bulk_insert(load.inserter, &definition, "*")));
        }
        ASSERT_EQ("", TextOf(kelvo_create_inserter_buffer(load.inserter, &definition, "*", &load.buffer)));
        for (int64_t k = 0; k < 100; ++k) ASSERT_EQ("", AddEveryRow(load.buffer, k, "x"));
        ASSERT_EQ("", TextOf(kelvo_inserter_buffer_flush(load.buffer)));
        kelvo_inserter_buffer_destroy(load.buffer);
        ASSERT_EQ("", TextOf(kelvo_close_inserter(load.inserter, false)));
        EXPECT_TRUE(kelvo_connection_is_ready(m_conn.get()));
        EXPECT_EQ(Rows("SELECT count(*) FROM every"), std::vector<std::string>{bulk ? "0" : "100"});
    }
}

TEST_F(InserterE2E, TheServersRefusalComesOutOfTheClose) {
    Run("CREATE TABLE keyed (k BIGINT NOT NULL PRIMARY KEY)");
    kelvoapi::TableDefinition definition("keyed", KELVO_PERMANENT, false);
    definition.AddColumn("k", KELVO_BIG_INT, 0, "", false);
    for (const bool bulk : {false, true}) {
        SCOPED_TRACE(bulk ? "bulk" : "plain");
        Load load;
        ASSERT_EQ("", TextOf(kelvo_create_inserter(m_conn.get(), &definition, &load.inserter)));
        if (bulk) {
            ASSERT_EQ("", TextOf(kelvo_init_bulk_insert(load.inserter, &definition, "*")));
        }
        ASSERT_EQ("", TextOf(kelvo_create_inserter_buffer(load.inserter, &definition, "*", &load.buffer)));
        for (int64_t k : {1, 2, 2}) ASSERT_EQ("", TextOf(kelvo_inserter_buffer_add_int64(load.buffer, k)));
        ASSERT_EQ("", TextOf(kelvo_inserter_buffer_flush(load.buffer)));
        kelvo_inserter_buffer_destroy(load.buffer);
        const std::string error = TextOf(kelvo_close_inserter(load.inserter, true));
        EXPECT_NE(error.find("uplicate"), std::string::npos) << error;
        EXPECT_TRUE(kelvo_connection_is_ready(m_conn.get()));
        EXPECT_EQ(Rows("SELECT count(*) FROM keyed"), std::vector<std::string>{"0"});
    }
}

// The INSERT BULK fails on the first chunk while later chunks are still on
// their way: a later chunk may fail (cancelled in flight, or refused by the
// stream nobody reads any more), and the close reports the statement's own
// error.
TEST_F(InserterE2E, ABulkLoadThatFailsMidwayReportsTheServersErrorAtTheClose) {
    Run("CREATE TABLE keyed (k BIGINT NOT NULL PRIMARY KEY, pad TEXT NOT NULL)");
    kelvoapi::TableDefinition definition("keyed", KELVO_PERMANENT, false);
    definition.AddColumn("k", KELVO_BIG_INT, 0, "", false);
    definition.AddColumn("pad", KELVO_TEXT, 0, "", false);
    Load load;
    ASSERT_EQ("", TextOf(kelvo_create_inserter(m_conn.get(), &definition, &load.inserter)));
    ASSERT_EQ("", TextOf(kelvo_create_inserter_buffer(load.inserter, &definition, "*", &load.buffer)));
    const std::string pad(1000, 'p');
    std::string addError;
    // About five chunks; key 0 comes twice within the first.
    for (int64_t k = 0; k < 80000 && addError.empty(); ++k) {
        kelvo_error_t* e = kelvo_inserter_buffer_add_int64(load.buffer, k == 10 ? 0 : k);
        if (e == nullptr) {
            e = kelvo_inserter_buffer_add_binary(load.buffer, reinterpret_cast<const uint8_t*>(pad.data()),
                                                 pad.size());
        }
        if (e != nullptr) addError = SqlstateOf(e);
    }
    if (addError.empty()) addError = SqlstateOf(kelvo_inserter_buffer_flush(load.buffer));
    kelvo_inserter_buffer_destroy(load.buffer);
    // A chunk caught in flight, or one the server no longer reads.
    EXPECT_TRUE(addError.empty() || addError == "57014" || addError == "55000") << addError;
    EXPECT_EQ("23505", SqlstateOf(kelvo_close_inserter(load.inserter, true)));
    EXPECT_TRUE(kelvo_connection_is_ready(m_conn.get()));
    EXPECT_EQ(Rows("SELECT count(*) FROM keyed"), std::vector<std::string>{"0"});
    EXPECT_EQ(Rows("SELECT count(*) FROM pg_catalog.pg_class WHERE relkind = 'x'"), std::vector<std::string>{"0"});
}

TEST_F(InserterE2E, AMissingTableIsRefusedAtCreation) {
    kelvoapi::TableDefinition definition("nowhere", KELVO_PERMANENT, false);
    definition.AddColumn("k", KELVO_BIG_INT, 0, "", false);
    kelvo_inserter_t* inserter = nullptr;
    EXPECT_EQ("42P01", SqlstateOf(kelvo_create_inserter(m_conn.get(), &definition, &inserter)));
    EXPECT_EQ(inserter, nullptr);
    EXPECT_TRUE(kelvo_connection_is_ready(m_conn.get()));
}

}  // namespace
