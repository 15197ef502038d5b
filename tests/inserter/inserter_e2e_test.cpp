// Loads into the stand-in server on the real road: rows of every type through
// an inserter buffer in plain mode and, beyond 16 MiB, in bulk mode over the
// cloned stream connection, read back and compared; and the server's refusal
// reported at the close.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/table_definition.h"
#include "error/error.h"
#include "kelvo/kelvo.h"
#include "support/error_ptr.h"
#include "support/library_instance.h"
#include "support/log_events.h"

namespace {

using kelvotest::SqlstateOf;
using kelvotest::TextOf;
// One server for the suite, a fresh database per test.
class InserterE2E : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_server.Start(KELVO_SERVER_DIR); }
    static void TearDownTestSuite() { s_server.Stop(); }
    void SetUp() override {
        ASSERT_NE(nullptr, s_server.Get()) << "the server did not start";
        kelvo_parameters_t* parameters = nullptr;
        ASSERT_EQ("", TextOf(kelvo_create_connection_parameters(s_server.Get(), &parameters)));
        const std::string path =
            s_server.Directory() + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_EQ("", TextOf(kelvo_parameters_set(parameters, "dbname", path.c_str())));
        const std::string error = TextOf(kelvo_connect(parameters, &m_conn, KELVO_CREATE_AND_REPLACE));
        kelvo_parameters_destroy(parameters);
        ASSERT_EQ("", error);
        Run("CREATE TABLE every (k BIGINT NOT NULL PRIMARY KEY, i INT, s SMALLINT, f BOOLEAN, d DOUBLE PRECISION, "
            "x TEXT, y BYTEA, dt DATE)");
    }
    void TearDown() override { kelvo_disconnect(m_conn); }

    void Run(const std::string& command) {
        ASSERT_EQ("", TextOf(kelvo_execute_command(m_conn, command.c_str(), nullptr))) << command;
    }

    // Every row of `query` in text form, fields joined by '|', NULL as "-".
    std::vector<std::string> Rows(const std::string& query) {
        std::vector<std::string> rows;
        kelvo_rowset_t* rowset = nullptr;
        EXPECT_EQ("",
                  TextOf(kelvo_execute_query_params(m_conn, query.c_str(), KELVO_ROWSET_RESULT_FORMAT_TEXT, &rowset)))
            << query;
        const size_t columns =
            rowset ? kelvo_table_definition_column_count(kelvo_rowset_get_table_definition(rowset)) : 0;
        kelvo_rowset_chunk_t* chunk = nullptr;
        while (rowset && TextOf(kelvo_rowset_get_next_chunk(rowset, &chunk)).empty() && chunk != nullptr) {
            for (uint32_t r = 0; r < kelvo_rowset_chunk_row_count(chunk); ++r) {
                std::string row;
                for (uint32_t c = 0; c < columns; ++c) {
                    const kelvo_value_t v = kelvo_rowset_chunk_field_value(chunk, r, c);
                    row += (c != 0 ? "|" : "") + (v.value == nullptr
                                                      ? std::string("-")
                                                      : std::string(reinterpret_cast<const char*>(v.value), v.size));
                }
                rows.push_back(row);
            }
            kelvo_destroy_rowset_chunk(chunk);
        }
        kelvo_close_rowset(rowset);
        return rows;
    }

    // What went wrong while rows were sent, and at the close (error texts).
    struct Outcome {
        std::string sending;
        std::string closing;
    };

    // Loads rows 0 to count-1 into "every" through an inserter buffer, key
    // `duplicate` twice (as key 0); every seventh row is NULL but for k.
    Outcome Load(int64_t count, const std::string& text, int64_t duplicate = -1) {
        kelvoapi::TableDefinition definition("every", KELVO_PERMANENT, false);
        definition.AddColumn("k", KELVO_BIG_INT, 0, "", false);
        for (const auto& [name, tag] : std::vector<std::pair<const char*, kelvo_type_tag_t>>{{"i", KELVO_INT},
                                                                                             {"s", KELVO_SMALL_INT},
                                                                                             {"f", KELVO_BOOL},
                                                                                             {"d", KELVO_DOUBLE},
                                                                                             {"x", KELVO_TEXT},
                                                                                             {"y", KELVO_BYTE_A},
                                                                                             {"dt", KELVO_DATE}}) {
            definition.AddColumn(name, tag, 0, "", true);
        }
        kelvo_inserter_t* inserter = nullptr;
        kelvo_inserter_buffer_t* b = nullptr;
        Outcome outcome;
        std::string& error = outcome.sending;
        EXPECT_EQ("", TextOf(kelvo_create_inserter(m_conn, &definition, &inserter)));
        EXPECT_EQ("", TextOf(kelvo_create_inserter_buffer(inserter, &definition, "*", &b)));
        EXPECT_EQ("55006", SqlstateOf(kelvo_execute_command(m_conn, "SELECT 1", nullptr)));
        auto check = [&](kelvo_error_t* e) {
            if (e != nullptr && error.empty())
                error = TextOf(e);
        };
        for (int64_t k = 0; k < count && error.empty(); ++k) {
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
        if (error.empty())
            error = TextOf(kelvo_inserter_buffer_flush(b));
        kelvo_inserter_buffer_destroy(b);
        outcome.closing = TextOf(kelvo_close_inserter(inserter, true));
        EXPECT_TRUE(kelvo_connection_is_ready(m_conn));
        return outcome;
    }

    static kelvotest::LibraryInstance s_server;
    kelvo_connection_t* m_conn = nullptr;
};

kelvotest::LibraryInstance InserterE2E::s_server;

TEST_F(InserterE2E, LoadsOfEveryTypeReadBackTheSamePlainAndInBulk) {
    kelvotest::LogEvents log;
    const Outcome plain = Load(10, "row \xC3\xA9");
    ASSERT_EQ("", plain.sending + plain.closing);
    EXPECT_EQ(Rows("SELECT k, i, s, f, d, x, hex(y), CAST(dt AS VARCHAR) FROM every WHERE k IN (0, 1, 3) ORDER BY k"),
              (std::vector<std::string>{"0|0|0|t|0.5|row \xC3\xA9|00FF00|2000-01-01",
                                        "1|-1|1|f|1.5|row \xC3\xA9|00FF01|2000-01-02", "3|-|-|-|-|-|-|-"}));
    EXPECT_EQ(Rows("SELECT count(*), sum(k) FROM every"), std::vector<std::string>{"10|45"});
    EXPECT_EQ(log.Values("inserter-end").at(0).find("bulk"), std::string::npos);

    // About 300 bytes a row: 70000 rows fill a little more than one buffer.
    Run("DELETE FROM every");
    const Outcome bulk = Load(70000, std::string(256, 'p'));
    ASSERT_EQ("", bulk.sending + bulk.closing);
    const std::string end = log.Values("inserter-end").at(1);
    EXPECT_NE(end.find("\"chunk-count\":2,"), std::string::npos) << end;
    EXPECT_NE(end.find("\"bulk\":\"true\""), std::string::npos) << end;
    EXPECT_EQ(Rows("SELECT count(*), sum(k), count(x), count(DISTINCT dt) FROM every"),
              std::vector<std::string>{"70000|2449965000|60000|24"});
    EXPECT_EQ(
        Rows("SELECT k, i, s, f, d, length(x), hex(y) FROM every WHERE k IN (69998, 69999) ORDER BY k"),
        (std::vector<std::string>{"69998|-69998|9998|t|69998.5|256|00FF6E", "69999|-69999|9999|f|69999.5|256|00FF6F"}));
    EXPECT_EQ(Rows("SELECT count(*) FROM pg_catalog.pg_class WHERE relkind = 'x'"), std::vector<std::string>{"0"})
        << "the stream is dropped";
}

// The INSERT BULK fails on the first chunk while the second is still on its
// way: that chunk may fail (cancelled in flight, or refused by the stream
// nobody reads any more), and the close reports the statement's own error;
// nothing is inserted and the stream is dropped.
TEST_F(InserterE2E, ABulkLoadThatFailsMidwayReportsTheServersErrorAtTheClose) {
    const Outcome outcome = Load(70000, std::string(256, 'p'), 10);
    EXPECT_TRUE(outcome.sending.empty() || outcome.sending.find("57014") != std::string::npos ||
                outcome.sending.find("55000") != std::string::npos)
        << outcome.sending;
    EXPECT_NE(outcome.closing.find("23505"), std::string::npos) << outcome.closing;
    EXPECT_EQ(Rows("SELECT count(*) FROM every"), std::vector<std::string>{"0"});
    EXPECT_EQ(Rows("SELECT count(*) FROM pg_catalog.pg_class WHERE relkind = 'x'"), std::vector<std::string>{"0"});
}

TEST_F(InserterE2E, AMissingTableIsRefusedAtCreation) {
    kelvoapi::TableDefinition definition("nowhere", KELVO_PERMANENT, false);
    definition.AddColumn("k", KELVO_BIG_INT, 0, "", false);
    kelvo_inserter_t* inserter = nullptr;
    EXPECT_EQ("42P01", SqlstateOf(kelvo_create_inserter(m_conn, &definition, &inserter)));
    EXPECT_EQ(inserter, nullptr);
    EXPECT_TRUE(kelvo_connection_is_ready(m_conn));
}

}  // namespace
