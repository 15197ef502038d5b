// COPY against the PostgreSQL peer: data in blocks of every size arrives
// whole while a notice per row flows back (no deadlock, no pile-up), and a
// new PQexec ends a running copy-out. What the client sends and reads is
// checked byte for byte against the scripted peer in copy_data_test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "postgres/common/md5.h"
#include "postgres/libpq/copy_data.h"
#include "statements/pg_session.h"

namespace {

using kelvotest::Result;
using kelvotest::RunSql;

// Rows "i\tpayload-i-...\n" for i in [1, count], padded to about rowSize bytes.
std::string MakeRows(int count, size_t rowSize) {
    std::string out;
    for (int i = 1; i <= count; ++i) {
        std::string row = std::to_string(i) + "\tpayload-" + std::to_string(i) + "-";
        if (row.size() + 1 < rowSize) row.append(rowSize - 1 - row.size(), static_cast<char>('a' + i % 26));
        out += row + '\n';
    }
    return out;
}

class CopyPostgresTest : public kelvotest::SessionTest {};

TEST_F(CopyPostgresTest, BlocksOfEverySizeArriveWholeWhileANoticePerRowFlowsBack) {
    RunSql(conn_.get(), "DROP TABLE IF EXISTS copy_target CASCADE");
    RunSql(conn_.get(), "CREATE UNLOGGED TABLE copy_target (a int, b text)");
    RunSql(conn_.get(),
           "CREATE OR REPLACE FUNCTION copy_target_notice() RETURNS trigger LANGUAGE plpgsql AS "
           "$$BEGIN RAISE NOTICE 'row % arrived with a notice long enough to fill buffers quickly', NEW.a; "
           "RETURN NEW; END$$");
    RunSql(conn_.get(),
           "CREATE TRIGGER copy_target_notice BEFORE INSERT ON copy_target FOR EACH ROW "
           "EXECUTE FUNCTION copy_target_notice()");
    int notices = 0;
    PQsetNoticeReceiver(
        conn_.get(), [](void* count, const PGresult*) { ++*static_cast<int*>(count); }, &notices);
    struct Case {
        int rows;
        size_t rowSize;
        size_t block;
        bool extended;
    };
    const Case cases[] = {{300, 20, 1, false}, {100000, 24, 64 * 1024, false}, {40000, 100, 16 * 1024 * 1024, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE("block " + std::to_string(c.block));
        RunSql(conn_.get(), "TRUNCATE copy_target");
        notices = 0;
        const std::string data = MakeRows(c.rows, c.rowSize);
        const char* copy = "COPY copy_target FROM STDIN";
        if (c.extended) {
            ASSERT_EQ(1, PQsendQueryParams(conn_.get(), copy, 0, nullptr, nullptr, nullptr, nullptr, 0));
        }
        Result start(c.extended ? PQgetResult(conn_.get()) : PQexec(conn_.get(), copy));
        ASSERT_EQ(PGRES_COPY_IN, PQresultStatus(start.get())) << PQresultErrorMessage(start.get());
        ASSERT_EQ(1, PQputCopyData(conn_.get(), data.data(), 0));  // a block of nothing changes nothing
        for (size_t pos = 0; pos < data.size(); pos += c.block) {
            const int n = static_cast<int>(std::min(c.block, data.size() - pos));
            ASSERT_EQ(1, PQputCopyData(conn_.get(), data.data() + pos, n)) << PQerrorMessage(conn_.get());
        }
        ASSERT_EQ(1, PQputCopyEnd(conn_.get(), nullptr));
        Result res(PQgetResult(conn_.get()));
        EXPECT_EQ(PGRES_COMMAND_OK, PQresultStatus(res.get())) << PQresultErrorMessage(res.get());
        EXPECT_EQ(std::to_string(c.rows), PQcmdTuples(res.get()));
        EXPECT_EQ(nullptr, PQgetResult(conn_.get()));
        EXPECT_EQ(c.rows, notices);
        // The notices were taken out as they came, not piled up.
        EXPECT_LE(conn_->inBufSize, 1024 * 1024);
        // The table's rows as COPY text: nothing lost, nothing changed.
        char md5[33];
        ASSERT_TRUE(pg_md5_hash(data.data(), data.size(), md5));
        EXPECT_EQ(md5, kelvotest::Value(conn_.get(), "SELECT md5(string_agg(a || E'\\t' || b || E'\\n', '' ORDER BY a)) "
                                                     "FROM copy_target"));
    }
    RunSql(conn_.get(), "DROP TABLE copy_target CASCADE");
    RunSql(conn_.get(), "DROP FUNCTION copy_target_notice()");
}

// A copy-out the server is still sending is drained, not left in the way.
TEST_F(CopyPostgresTest, ANewExecEndsARunningCopyOut) {
    Result start(PQexec(conn_.get(), "COPY (SELECT g FROM generate_series(1, 100000) g) TO STDOUT"));
    ASSERT_EQ(PGRES_COPY_OUT, PQresultStatus(start.get()));
    char* row = nullptr;
    ASSERT_EQ(2, PQgetCopyData(conn_.get(), &row, 0));
    free(row);
    Result res(PQexec(conn_.get(), "SELECT 'next'"));
    ASSERT_EQ(PGRES_TUPLES_OK, PQresultStatus(res.get())) << PQresultErrorMessage(res.get());
    EXPECT_STREQ("next", PQgetvalue(res.get(), 0, 0));
}

}  // namespace
