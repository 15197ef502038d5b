// Loads among other sessions: every load acknowledged beside sorting sessions
// is whole after a restart, and sessions that come and go on database files of
// their own always connect.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/kelvod_server.h"
#include "support/klvcpy_rows.h"
#include "support/wire_client.h"

using kelvotest::KlvcpyRows;
using kelvotest::WireClient;
using kelvotest::WireResult;

namespace {

std::string TaggedRows(int64_t tag, int rows) {
    KlvcpyRows b;
    b.Header();
    for (int i = 0; i < rows; ++i)
        b.Int64(tag).Int64(i);
    return b.Data();
}

const char* const kCopy = "COPY tagged FROM STDIN WITH (FORMAT KELVOBINARY)";

}  // namespace

TEST(KelvodConcurrentLoads, AcknowledgedLoadsBesideSortsAreWholeAfterARestartAndFailedOnesAbsent) {
    constexpr int kLoaders = 8, kBatches = 6, kRows = 4000;
    kelvotest::KelvodServer server;
    ASSERT_TRUE(server.Start()) << server.Output();
    const std::string db = server.Directory() + "/loads.kelvo";
    WireClient owner;
    ASSERT_EQ(owner.Open(server.Endpoint()).status, 'I');
    ASSERT_TRUE(owner.Query("CREATE DATABASE \"" + db + "\"").Ok());
    ASSERT_EQ(owner.Open(server.Endpoint(), db).status, 'I');
    ASSERT_TRUE(owner.Query("CREATE TABLE tagged (tag BIGINT, n BIGINT)").Ok());
    // More than a sort may use under a lowered limit; made at the sanitizers' pace.
    owner.SendMessage('Q',
                      WireClient::Str("CREATE TABLE sorted AS SELECT md5(range::VARCHAR) AS s FROM range(1500000)"));
    ASSERT_TRUE(owner.ReadUntilReady(60000).Ok());

    std::atomic<int> loading{kLoaders};
    std::mutex mutex;
    std::map<int64_t, std::string> outcome;  // by tag: "" when acknowledged, else the error
    std::vector<std::string> sortErrors;
    std::vector<std::thread> threads;
    for (int s = 0; s < 2; ++s)
        threads.emplace_back([&] {
            WireClient c;
            WireResult r = c.Open(server.Endpoint(), db);
            while (r.Ok() && loading > 0)
                r = c.Query("SELECT max(r) FROM (SELECT row_number() OVER (ORDER BY s) AS r FROM sorted)");
            std::lock_guard<std::mutex> lock(mutex);
            if (!r.Ok())
                sortErrors.push_back(r.Sqlstate() + " " + r.Message());
        });
    for (int l = 0; l < kLoaders; ++l)
        threads.emplace_back([&, l] {
            WireClient c;
            WireResult open = c.Open(server.Endpoint(), db);
            for (int b = 0; b < kBatches; ++b) {
                const int64_t tag = l * 100 + b;
                WireResult r = open.Ok() ? c.CopyIn(kCopy, {TaggedRows(tag, kRows)}) : open;
                std::lock_guard<std::mutex> lock(mutex);
                outcome[tag] = r.Ok() ? "" : r.Sqlstate() + " " + r.Message();
            }
            --loading;
        });
    for (auto& t : threads)
        t.join();
    owner.Close();
    for (const auto& e : sortErrors)
        ADD_FAILURE() << "a sort failed: " << e;
    EXPECT_EQ(server.Stop().value_or(-1), 0) << server.Output();

    ASSERT_TRUE(server.Start()) << server.Output();
    WireClient again;
    ASSERT_EQ(again.Open(server.Endpoint(), db).status, 'I');
    std::map<int64_t, std::string> kept;
    for (const auto& row : again.Query("SELECT tag, count(*), count(DISTINCT n) FROM tagged GROUP BY tag").rows)
        kept[std::stoll(row[0].value_or("-1"))] = row[1].value_or("") + " " + row[2].value_or("");
    for (const auto& [tag, error] : outcome) {
        EXPECT_EQ(error, "") << tag;
        EXPECT_EQ(kept.count(tag) ? kept[tag] : "none", error.empty() ? "4000 4000" : "none") << tag;
    }
    EXPECT_EQ(kept.size(), outcome.size());
    again.Close();
    EXPECT_EQ(server.Stop().value_or(-1), 0) << server.Output();
}

TEST(KelvodConcurrentLoads, SessionsComingAndGoingOnTheirOwnFilesAlwaysConnect) {
    constexpr int kThreads = 4, kRounds = 25;
    kelvotest::KelvodServer server;
    ASSERT_TRUE(server.Start()) << server.Output();
    std::vector<std::string> files;
    for (int i = 0; i < kThreads; ++i) {
        files.push_back(server.Directory() + "/own" + std::to_string(i) + ".kelvo");
        WireClient c;
        ASSERT_EQ(c.Open(server.Endpoint()).status, 'I');
        ASSERT_TRUE(c.Query("CREATE DATABASE \"" + files.back() + "\"").Ok());
        ASSERT_EQ(c.Open(server.Endpoint(), files.back()).status, 'I');
        ASSERT_TRUE(c.Query("CREATE TABLE tagged (tag BIGINT, n BIGINT)").Ok());
    }
    std::mutex mutex;
    std::vector<std::string> failures;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            for (int r = 0; r < kRounds; ++r) {
                WireClient c;
                WireResult step = c.Open(server.Endpoint(), files[i]);
                if (step.Ok())
                    step = c.CopyIn(kCopy, {TaggedRows(r, 10)});
                if (step.Ok())
                    step = c.Query("SELECT count(*) FROM tagged");
                std::lock_guard<std::mutex> lock(mutex);
                if (!step.Ok())
                    failures.push_back(step.Sqlstate() + " " + step.Message());
                else if (step.Value() != std::to_string(10 * (r + 1)))
                    failures.push_back("count " + step.Value());
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_TRUE(failures.empty()) << failures.size() << " failed, the first: " << failures.front();
    EXPECT_EQ(server.Stop().value_or(-1), 0) << server.Output();
}
