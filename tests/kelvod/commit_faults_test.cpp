// kelvod with one system call on its database's files failing (write, pwrite, fsync, open, ftruncate, each at its n-th
// call) while a client commits rows one by one, in a block and by COPY, and checkpoints; the server is then stopped or
// killed and started again without faults. Every row whose commit was reported is there exactly once, and no row is
// there twice.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/kelvod_server.h"
#include "support/klvcpy_rows.h"
#include "support/test_watchdog.h"
#include "support/wire_client.h"

namespace {

using kelvotest::KelvodServer;
using kelvotest::WireClient;
using kelvotest::WireResult;

const char* const kKinds[] = {"write", "pwrite", "fsync", "openat", "ftruncate"};
// Every call up to this many of a kind, else this many spread over them.
constexpr int kRunsPerKind = 40;

class CommitFaults : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = kelvotest::MakeTempDirectory();
        ASSERT_FALSE(m_dir.empty());
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    std::string Database() const { return m_dir + "/db/faults.kelvo"; }

    // Starts a server on the database, with `call` failing at its `at`-th use
    // (none for an empty call).
    bool Start(KelvodServer& server, const std::string& call, long at) {
        // The server inherits the environment; the preloaded library comes before the sanitizer's runtime.
        static const char* const asan = std::getenv("ASAN_OPTIONS");
        if (!call.empty() || at == 0)
            for (const auto& [name, value] : std::map<std::string, std::string>{
                     {"LD_PRELOAD", KELVO_FAULTS_LIBRARY},
                     {"KELVO_FAULT_DIR", m_dir + "/db"},
                     {"KELVO_FAULT_CALL", call},
                     {"KELVO_FAULT_AT", std::to_string(at)},
                     {"KELVO_FAULT_COUNTS", m_dir + "/counts"},
                     {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"}})
                ::setenv(name.c_str(), value.c_str(), 1);
        const bool started = server.Start({false, {"--database=" + Database(), "--init=keep"}});
        ::unsetenv("LD_PRELOAD");
        asan ? ::setenv("ASAN_OPTIONS", asan, 1) : ::unsetenv("ASAN_OPTIONS");
        return started;
    }

    // Commits rows on `server`; returns the ids whose commit was reported.
    static std::set<int> Commit(KelvodServer& server) {
        std::set<int> committed;
        WireClient c;
        if (!c.Open(server.Endpoint(), ":main").Ok() || !c.Query("CREATE TABLE IF NOT EXISTS t (id INTEGER)").Ok())
            return committed;
        auto insert = [&](int id) {
            if (c.Query("INSERT INTO t VALUES (" + std::to_string(id) + ")").Ok())
                committed.insert(id);
        };
        for (int id = 1; id <= 4; ++id)
            insert(id);
        if (c.Query("BEGIN").Ok() && c.Query("INSERT INTO t VALUES (10), (11)").Ok() && c.Query("COMMIT").Ok())
            committed.insert({10, 11});
        else
            c.Query("ROLLBACK");
        kelvotest::KlvcpyRows rows;
        rows.Header();
        for (int id = 1000; id < 4000; ++id)
            rows.Int32(id);
        if (c.CopyIn("COPY t FROM STDIN WITH (FORMAT KELVOBINARY)", kelvotest::SplitInto(rows.Data(), 8192)).Ok())
            for (int id = 1000; id < 4000; ++id)
                committed.insert(id);
        c.Query("CHECKPOINT");
        for (int id = 5; id <= 6; ++id)
            insert(id);
        return committed;
    }

    // Commits under the fault, ends the server (killed when `kill`), and checks
    // what a fresh server finds.
    void RunOnce(const std::string& call, long at, bool kill) {
        SCOPED_TRACE(call + " failing at call " + std::to_string(at) + (kill ? ", then killed" : ", then stopped"));
        std::set<int> committed;
        {
            KelvodServer faulty;
            if (Start(faulty, call, at))
                committed = Commit(faulty);
            if (kill && faulty.Pid() > 0)
                ::kill(faulty.Pid(), SIGKILL);
            faulty.Stop(20000);
        }
        KelvodServer fresh;
        const bool started = Start(fresh, "", -1);
        if (committed.empty() && !started)
            return;  // nothing was promised
        ASSERT_TRUE(started) << fresh.Output();
        WireClient c;
        ASSERT_TRUE(c.Open(fresh.Endpoint(), ":main").Ok());
        WireResult r = c.Query("SELECT id, count(*) FROM t GROUP BY id");
        if (committed.empty() && !r.Ok())
            return;  // the table itself may be gone
        ASSERT_TRUE(r.Ok()) << r.Message();
        std::map<int, int> found;
        std::string twice, gone;
        for (const auto& row : r.rows)
            if ((found[std::stoi(*row[0])] = std::stoi(*row[1])) != 1)
                twice += " " + *row[0];
        for (int id : committed)
            if (found.count(id) == 0 && gone.size() < 60)
                gone += " " + std::to_string(id);
        EXPECT_EQ(twice, "") << "rows found more than once";
        EXPECT_EQ(gone, "") << "committed rows that are gone (the first few)";
        // Rows of a COPY are there all together or not at all.
        const auto loaded = std::distance(found.lower_bound(1000), found.lower_bound(4000));
        EXPECT_TRUE(loaded == 0 || loaded == 3000) << loaded << " rows of the COPY";
    }

    std::string m_dir;
};

TEST_F(CommitFaults, RowsWhoseCommitWasReportedSurviveAFailedCallAndARestart) {
    // Some sixty runs of a server, each started twice: long by design, bounded below.
    kelvotest::AllowTestTime(std::chrono::minutes(5));
    std::filesystem::create_directories(m_dir + "/db");
    // How many calls of each kind a run without faults makes.
    RunOnce("", 0, false);
    std::map<std::string, long> counts;
    std::ifstream in(m_dir + "/counts");
    std::string name;
    long n = 0;
    while (in >> name >> n)
        counts[name] = n;
    ASSERT_GT(counts["pwrite"] + counts["write"], 0) << "the preloaded library saw no write";
    for (const auto& [kind, total] : counts)
        std::cout << kind << ": " << total << " calls\n";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(4);
    for (const char* kind : kKinds) {
        const long total = counts[kind];
        std::set<long> picks;
        for (int i = 0; i < kRunsPerKind && total > 0; ++i)
            picks.insert(1 + i * (total - 1) / std::max(1, kRunsPerKind - 1));
        bool kill = false;
        for (long at : picks) {
            if (std::chrono::steady_clock::now() > deadline)
                GTEST_SKIP() << "out of time before " << kind << " at " << at;
            std::filesystem::remove_all(m_dir + "/db");
            std::filesystem::create_directories(m_dir + "/db");
            RunOnce(kind, at, kill = !kill);
            if (HasFatalFailure())
                return;
        }
    }
}

}  // namespace
