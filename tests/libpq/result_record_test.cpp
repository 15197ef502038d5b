// Result records (chunks, accessors, copies, storage), the growable buffers up to INT_MAX, and the process-wide client
// lock.
#include "postgres/libpq/result_record.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "parser_helpers.h"
#include "postgres/libpq/buffer_space.h"
#include "postgres/libpq/pq_exp_buffer.h"
#include "postgres/libpq/thread_lock.h"
#include "support/scripted_peer.h"

namespace {

using namespace kelvotest;
namespace w = kelvotest::wire;

std::string IntRows(int n, int first = 0) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += w::DataRow({std::to_string(first + i), std::string("v")});
    return out;
}

const std::string kTwoColumns = w::RowDescription({{"id"}, {"name", 25, -1}});

// A row set of n rows whose ids count from 0.
std::string Select(int n) { return kTwoColumns + IntRows(n) + w::CommandComplete("SELECT " + std::to_string(n)); }

TEST(ChunkCutting, CutsAStatementsRowsIntoChunks) {
    // In chunks of 256 rows.
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {Select(512), {"9:256", "9:256", "2:0:SELECT 512"}},
        // No stale template after a partial last chunk.
        {Select(300) + w::CommandComplete("INSERT 0 1") + Select(2),
         {"9:256", "2:44:SELECT 300", "1:0:INSERT 0 1", "2:2:SELECT 2"}},
        // An error in the middle ends the chunks with one error.
        {kTwoColumns + IntRows(300) + w::ErrorResponse({{'S', "ERROR"}, {'M', "division by zero"}}), {"9:256", "7:0"}}};
    for (const auto& [stream, expected] : cases) {
        ConnPtr conn;
        auto results = RunStatement(conn, stream + w::ReadyForQuery(), 256);
        EXPECT_EQ(Describe(results), expected) << expected.back();
        EXPECT_EQ(conn->asyncStatus, PGASYNC_IDLE);
        EXPECT_EQ(conn->result, nullptr);
        EXPECT_EQ(conn->next_result, nullptr);

        // Nothing lost, nothing repeated, columns carried into every chunk.
        int next = 0;
        for (const ResultPtr& r : results) {
            if (PQresultStatus(r.get()) == PGRES_TUPLES_CHUNK || PQresultStatus(r.get()) == PGRES_TUPLES_OK) {
                ASSERT_EQ(PQnfields(r.get()), 2);
                EXPECT_STREQ(PQfname(r.get(), 1), "name");
            }
            for (int row = 0; row < PQntuples(r.get()); ++row)
                EXPECT_EQ(std::string(PQgetvalue(r.get(), row, 0)), std::to_string(next++));
            if (PQresultStatus(r.get()) != PGRES_TUPLES_CHUNK)
                next = 0;
        }
    }
}

TEST(ResultAccessors, BadIndexesGiveNeutralValuesAndNotices) {
    auto conn = MakeDetachedRecord();
    Notices notices;
    notices.Install(conn->noticeHooks);
    BeginStatement(conn.get());
    FeedInput(conn.get(), Select(2) + w::ReadyForQuery());
    auto results = TakeResults(conn.get());
    ASSERT_EQ(results.size(), 1u);
    const PGresult* res = results[0].get();

    EXPECT_EQ(PQgetisnull(res, 2, 0), 1);
    EXPECT_EQ(PQgetvalue(res, -1, 0), nullptr);
    EXPECT_EQ(PQgetlength(res, 0, 2), 0);
    EXPECT_EQ(PQftype(res, -1), 0u);
    EXPECT_EQ(PQgetvalue(res, 9, 9), nullptr);  // the row is checked first
    EXPECT_EQ(notices.texts, (std::vector<std::string>{
                                 "The given row number 2 is not in the range 0..1.\n",
                                 "The given row number -1 is not in the range 0..1.\n",
                                 "The given column number 2 is not in the range 0..1.\n",
                                 "The given column number -1 is not in the range 0..1.\n",
                                 "The given row number 9 is not in the range 0..1.\n",
                             }));
    // A null result.
    EXPECT_EQ(PQresultStatus(nullptr), PGRES_FATAL_ERROR);
    EXPECT_STREQ(PQresultErrorMessage(nullptr), "");
    EXPECT_EQ(PQntuples(nullptr) + PQresultSize(nullptr), 0);
    EXPECT_EQ(PQgetisnull(nullptr, 0, 0), 1);
    EXPECT_STREQ(PQcmdTuples(nullptr), "");
    PQclear(nullptr);
}

TEST(ResultAccessors, CmdTuplesReadsTheRowCountOfTheTag) {
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"INSERT 0 15", "15", false}, {"COPY 1000", "1000", false}, {"SELECT", "", false},    {"SELECT 1x", "", true},
        {"SELECT ", "", true},        {"INSERT 0", "", true},       {"UPDATE 3", "3", false}, {"DELETE 1", "1", false},
        {"FETCH 2", "2", false},      {"MOVE 2", "2", false},       {"MERGE 1", "", false}};
    for (const auto& [tag, count, notice] : cases) {
        Notices notices;
        ResultPtr res(PQmakeEmptyPGresult(nullptr, PGRES_COMMAND_OK));
        notices.Install(res->noticeHooks);
        strcpy(res->cmdStatus, tag);
        EXPECT_STREQ(PQcmdTuples(res.get()), count) << tag;
        const std::string text = std::string("could not interpret result from server: ") + tag + "\n";
        EXPECT_EQ(notices.texts, notice ? std::vector<std::string>{text} : std::vector<std::string>{}) << tag;
    }
}

TEST(ResultCopy, CopiesWhatTheFlagsAsk) {
    ConnPtr conn;
    auto results = RunStatement(conn, kTwoColumns + w::DataRow({std::string("1"), std::nullopt}) +
                                          w::CommandComplete("SELECT 1") + w::ReadyForQuery());
    ASSERT_EQ(results.size(), 1u);

    // Attributes only, and everything; each "status:tag:|values|", NULLs as "-".
    std::vector<ResultPtr> copies;
    copies.emplace_back(PQcopyResult(results[0].get(), PG_COPYRES_ATTRS));
    copies.emplace_back(PQcopyResult(results[0].get(), PG_COPYRES_TUPLES | PG_COPYRES_NOTICEHOOKS));
    EXPECT_EQ(DescribeWhole(copies), "2:SELECT 1:||2:SELECT 1:|1,-,|");
    EXPECT_EQ(PQnfields(copies[0].get()), 2);
    EXPECT_EQ(copies[0]->noticeHooks.noticeRec, nullptr);
    EXPECT_EQ(copies[1]->noticeHooks.noticeRec, conn->noticeHooks.noticeRec);

    // PQsetvalue appends a row of NULLs at ntups and refuses beyond it.
    PGresult* all = copies[1].get();
    EXPECT_EQ(PQsetvalue(all, 1, 1, const_cast<char*>("abc"), 3), 1);
    EXPECT_EQ(DescribeWhole(copies), "2:SELECT 1:||2:SELECT 1:|1,-,-,abc,|");
    Notices notices;
    notices.Install(all->noticeHooks);
    EXPECT_EQ(PQsetvalue(all, 5, 0, const_cast<char*>("x"), 1), 0);
    EXPECT_EQ(notices.texts, std::vector<std::string>{"row number 5 is out of range 0..2\n"});
}

// Large values get blocks of their own; the size count saturates instead of wrapping.
TEST(ResultStorage, LargeValuesGetBlocksOfTheirOwnAndTheSizeSaturates) {
    ResultPtr res(PQmakeEmptyPGresult(nullptr, PGRES_TUPLES_OK));
    std::vector<char*> small;
    for (int i = 0; i < 100; ++i)
        small.push_back(static_cast<char*>(pqResultAlloc(res.get(), 100, i % 2 == 0)));
    char* big = static_cast<char*>(pqResultAlloc(res.get(), 100000, true));
    ASSERT_NE(big, nullptr);
    memset(big, 'x', 100000);
    for (size_t i = 0; i < small.size(); ++i) {
        ASSERT_NE(small[i], nullptr);
        EXPECT_TRUE(i % 2 != 0 || reinterpret_cast<uintptr_t>(small[i]) % 8 == 0) << i;
        memset(small[i], 'y', 100);
    }
    EXPECT_EQ(pqResultAlloc(res.get(), 0, true), res->null_field);
    res->tupAllocSize = static_cast<int64_t>(INT_MAX) + 5000;
    EXPECT_EQ(PQresultSize(res.get()), INT_MAX);
}

struct Buffer {
    PQExpBufferData data;
    Buffer() { initPQExpBuffer(&data); }
    ~Buffer() { termPQExpBuffer(&data); }
};

TEST(PQExpBuffer, FormatsTextsOfEveryLength) {
    for (size_t n : {0u, 239u, 240u, 241u, 256u, 100000u}) {
        Buffer b;
        appendPQExpBufferStr(&b.data, "pre:");
        appendBinaryPQExpBuffer(&b.data, "a\0b", 3);
        appendPQExpBufferChar(&b.data, ':');
        const std::string arg(n, 'q');
        appendPQExpBuffer(&b.data, "[%s]%d", arg.c_str(), 42);
        EXPECT_EQ(std::string(b.data.data, b.data.len + 1), "pre:" + std::string("a\0b:", 4) + "[" + arg + "]42" + '\0')
            << n;
        printfPQExpBuffer(&b.data, "%s", "new");
        EXPECT_STREQ(b.data.data, "new");
    }
}

TEST(PQExpBuffer, TooLargeRequestBreaksTheBufferForGood) {
    Buffer b;
    appendPQExpBufferStr(&b.data, "kept?");
    // One byte more than INT_MAX with the text and its NUL.
    EXPECT_EQ(enlargePQExpBuffer(&b.data, static_cast<size_t>(INT_MAX) - 5), 0);
    EXPECT_TRUE(PQExpBufferBroken(&b.data));
    EXPECT_EQ(b.data.len, 0u);
    EXPECT_STREQ(b.data.data, "");
    const char* shared = b.data.data;

    appendPQExpBufferStr(&b.data, "ignored");
    appendPQExpBufferChar(&b.data, 'c');
    appendPQExpBuffer(&b.data, "%d", 7);
    appendBinaryPQExpBuffer(&b.data, "xy", 2);
    EXPECT_EQ(b.data.data, shared);
    EXPECT_STREQ(b.data.data, "");

    // A reset gives a broken buffer a fresh allocation.
    resetPQExpBuffer(&b.data);
    appendPQExpBufferStr(&b.data, "again");
    EXPECT_STREQ(b.data.data, "again");
}

TEST(InputBuffer, CompactsBeforeGrowingAndStopsAtIntMax) {
    auto conn = MakeDetachedRecord();
    FeedInput(conn.get(), std::string(10000, 'a'));
    conn->inStart = conn->inCursor = 9000;
    // 9000 consumed bytes are reclaimed: no growth needed for 16384.
    EXPECT_EQ(pqCheckInBufferSpace(9000 + 16384, conn.get()), 0);
    EXPECT_EQ(conn->inBufSize, 16384);
    EXPECT_EQ(conn->inEnd, 1000);
    EXPECT_EQ(conn->inBuffer[0], 'a');

    EXPECT_EQ(pqCheckInBufferSpace(40000, conn.get()), 0);
    EXPECT_EQ(conn->inBufSize, 65536);

    EXPECT_EQ(pqCheckInBufferSpace(static_cast<size_t>(INT_MAX) + 1, conn.get()), EOF);
    EXPECT_STREQ(conn->errorMessage.data, "cannot allocate memory for input buffer\n");
    EXPECT_EQ(conn->inEnd, 1000);
    EXPECT_EQ(pqCheckOutBufferSpace(static_cast<size_t>(INT_MAX) + 1, conn.get()), EOF);
    EXPECT_STREQ(conn->errorMessage.data, "cannot allocate memory for output buffer\n");
}

void countingLock(int) {}

TEST(ThreadLock, ReplaceableRestorableAndReportsMisuseWithoutAborting) {
    EXPECT_EQ(PQregisterThreadLock(countingLock), default_threadlock);
    EXPECT_EQ(pg_g_threadlock, countingLock);
    EXPECT_EQ(PQregisterThreadLock(nullptr), countingLock);
    EXPECT_EQ(pg_g_threadlock, default_threadlock);

    default_threadlock(1);
    std::atomic<bool> entered{false};
    std::thread other([&] {
        default_threadlock(1);
        entered = true;
        default_threadlock(0);
    });
    EXPECT_FALSE(entered);
    default_threadlock(0);
    other.join();
    EXPECT_TRUE(entered);

    testing::internal::CaptureStderr();
    default_threadlock(0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "failed to unlock mutex\n");
}

}  // namespace
