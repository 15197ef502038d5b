// COPY against the PostgreSQL peer: data in blocks of every size arrives
// whole, the client's and the server's failures end the copy with the right
// texts, copy-out rows come back exactly, a new PQexec ends a running copy,
// and a notice per row cannot deadlock a long copy.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "postgres/common/md5.h"
#include "postgres/libpq/copy_data.h"
#include "statements/pg_session.h"

namespace {

using kelvotest::Result;
using kelvotest::RunSql;
using kelvotest::Value;

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

std::string Md5(const std::string& data) {
    char hex[33];
    EXPECT_TRUE(pg_md5_hash(data.data(), data.size(), hex));
    return hex;
}

class CopyPostgresTest : public kelvotest::SessionTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(SessionTest::SetUp());
        RunSql(conn_.get(), "DROP TABLE IF EXISTS copy_target");
        RunSql(conn_.get(), "CREATE UNLOGGED TABLE copy_target (a int, b text)");
    }
    void TearDown() override {
        if (conn_ && PQstatus(conn_.get()) == CONNECTION_OK) RunSql(conn_.get(), "DROP TABLE IF EXISTS copy_target");
    }

    // The table's rows as COPY text, through its MD5: nothing lost, nothing changed.
    std::string TableMd5() {
        return Value(conn_.get(),
                     "SELECT md5(coalesce(string_agg(a || E'\\t' || b || E'\\n', '' ORDER BY a), '')) FROM copy_target");
    }

    // Starts COPY FROM STDIN through the simple or extended protocol.
    void StartCopyIn(bool extended) {
        Result res;
        if (extended) {
            ASSERT_EQ(1, PQsendQueryParams(conn_.get(), "COPY copy_target FROM STDIN", 0, nullptr, nullptr, nullptr,
                                           nullptr, 0));
            res.reset(PQgetResult(conn_.get()));
        } else {
            res.reset(PQexec(conn_.get(), "COPY copy_target FROM STDIN"));
        }
        ASSERT_EQ(PGRES_COPY_IN, PQresultStatus(res.get())) << PQresultErrorMessage(res.get());
    }

    void PutAll(const std::string& data, size_t block) {
        for (size_t pos = 0; pos < data.size(); pos += block) {
            const int n = static_cast<int>(std::min(block, data.size() - pos));
            ASSERT_EQ(1, PQputCopyData(conn_.get(), data.data() + pos, n)) << PQerrorMessage(conn_.get());
        }
    }

    // The COPY statement's own result, and then the end of the statement.
    Result FinishCopy() {
        Result res(PQgetResult(conn_.get()));
        EXPECT_NE(nullptr, res);
        Result after(PQgetResult(conn_.get()));
        EXPECT_EQ(nullptr, after);
        return res;
    }
};

TEST_F(CopyPostgresTest, BlocksOfEverySizeArriveWhole) {
    struct Case {
        int rows;
        size_t rowSize;
        size_t block;
        bool extended;
    };
    const Case cases[] = {
        {300, 20, 1, false}, {5000, 40, 8192, true}, {20000, 64, 64 * 1024, false}, {170000, 100, 16 * 1024 * 1024, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("block " + std::to_string(c.block));
        RunSql(conn_.get(), "TRUNCATE copy_target");
        const std::string data = MakeRows(c.rows, c.rowSize);
        StartCopyIn(c.extended);
        ASSERT_EQ(1, PQputCopyData(conn_.get(), data.data(), 0));  // a block of nothing changes nothing
        PutAll(data, c.block);
        ASSERT_EQ(1, PQputCopyEnd(conn_.get(), nullptr));
        Result res = FinishCopy();
        EXPECT_EQ(PGRES_COMMAND_OK, PQresultStatus(res.get())) << PQresultErrorMessage(res.get());
        EXPECT_EQ(std::to_string(c.rows), PQcmdTuples(res.get()));
        EXPECT_EQ(Md5(data), TableMd5());
    }
}

TEST_F(CopyPostgresTest, FailuresEndTheCopyWithTheServersError) {
    struct Case {
        bool extended;
        std::string data;
        const char* reason;  // PQputCopyEnd's, or nullptr
        const char* sqlstate;
        const char* primary;
    };
    const Case cases[] = {
        {false, "1\tone\n", "the client gave up", "57014", "COPY from stdin failed: the client gave up"},
        {true, "x\ty\n", nullptr, "22P02", "invalid input syntax for type integer: \"x\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.primary);
        StartCopyIn(c.extended);
        ASSERT_EQ(1, PQputCopyData(conn_.get(), c.data.data(), static_cast<int>(c.data.size())));
        ASSERT_EQ(1, PQputCopyEnd(conn_.get(), c.reason));
        Result res = FinishCopy();
        EXPECT_EQ(PGRES_FATAL_ERROR, PQresultStatus(res.get()));
        EXPECT_STREQ(c.sqlstate, PQresultErrorField(res.get(), 'C'));
        EXPECT_STREQ(c.primary, PQresultErrorField(res.get(), 'M'));
        EXPECT_EQ(Md5(""), TableMd5());
    }
}

TEST_F(CopyPostgresTest, CopyOutReturnsEveryRowThenTheCommandResultOrTheError) {
    Result start(PQexec(conn_.get(), "COPY (SELECT g, 'row ' || g FROM generate_series(1, 2000) g) TO STDOUT"));
    ASSERT_EQ(PGRES_COPY_OUT, PQresultStatus(start.get()));
    EXPECT_EQ(2, PQnfields(start.get()));
    for (int i = 1; i <= 2000; ++i) {
        char* row = nullptr;
        const std::string expected = std::to_string(i) + "\trow " + std::to_string(i) + "\n";
        ASSERT_EQ(static_cast<int>(expected.size()), PQgetCopyData(conn_.get(), &row, 0));
        EXPECT_EQ(expected, row);
        free(row);
    }
    char* row = reinterpret_cast<char*>(1);
    EXPECT_EQ(-1, PQgetCopyData(conn_.get(), &row, 0));
    EXPECT_EQ(nullptr, row);
    Result res = FinishCopy();
    EXPECT_EQ(PGRES_COMMAND_OK, PQresultStatus(res.get()));
    EXPECT_STREQ("COPY 2000", PQcmdStatus(res.get()));
    EXPECT_STREQ("2000", PQcmdTuples(res.get()));

    start.reset(PQexec(conn_.get(), "COPY (SELECT 10 / (3 - g) FROM generate_series(1, 5) g) TO STDOUT"));
    ASSERT_EQ(PGRES_COPY_OUT, PQresultStatus(start.get()));
    std::vector<std::string> rows;
    int rc;
    while ((rc = PQgetCopyData(conn_.get(), &row, 0)) > 0) {
        rows.emplace_back(row);
        free(row);
    }
    EXPECT_EQ(-1, rc);
    EXPECT_EQ((std::vector<std::string>{"5\n", "10\n"}), rows);
    res = FinishCopy();
    EXPECT_EQ(PGRES_FATAL_ERROR, PQresultStatus(res.get()));
    EXPECT_STREQ("22012", PQresultErrorField(res.get(), 'C'));
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

TEST_F(CopyPostgresTest, ANoticePerRowCannotDeadlockALongCopy) {
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
    const int rows = 100000;
    StartCopyIn(false);
    PutAll(MakeRows(rows, 24), 64 * 1024);
    ASSERT_EQ(1, PQputCopyEnd(conn_.get(), nullptr));
    Result res = FinishCopy();
    EXPECT_EQ(PGRES_COMMAND_OK, PQresultStatus(res.get())) << PQresultErrorMessage(res.get());
    EXPECT_EQ(rows, notices);
    // The notices were taken out as they came, not piled up.
    EXPECT_LE(conn_->inBufSize, 1024 * 1024);
    RunSql(conn_.get(), "DROP FUNCTION copy_target_notice() CASCADE");
}

}  // namespace
