// COPY FROM STDIN in the KLVCPY format, driven over raw sockets: values round-trip into binary and text results, the
// stream may be split anywhere across CopyData messages, and a malformed stream or a CopyFail fails with its own
// SQLSTATE and leaves the table as it was; loads beside sorting sessions are whole after a restart, and sessions that
// come and go on database files of their own always connect.
#include <gtest/gtest.h>

#include <sys/mount.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/kelvod_server.h"
#include "support/klvcpy_rows.h"
#include "support/wire_client.h"

using kelvotest::kJulian2000;
using kelvotest::KlvcpyRows;
using kelvotest::kMicrosPerDay;
using kelvotest::Le;
using kelvotest::WireResult;

namespace {

class KelvodCopyFrom : public kelvotest::KelvodFormatsSuite {
protected:
    void Run(const std::string& sql) {
        WireResult r = m_text.Query(sql);
        ASSERT_TRUE(r.Ok()) << sql << ": " << r.Message();
    }
    std::string Count(const std::string& table) { return m_text.Query("SELECT count(*) FROM " + table).Value(); }
};

using kelvotest::SplitInto;

std::string TaggedRows(int64_t tag, int rows) {
    KlvcpyRows b;
    b.Header();
    for (int i = 0; i < rows; ++i)
        b.Int64(tag).Int64(i);
    return b.Data();
}

const char* const kCopy = "COPY tagged FROM STDIN WITH (FORMAT KELVOBINARY)";

// A new database file holding the empty table the loads fill; the returned session has it attached.
void CreateTaggedDatabase(const kelvotest::KelvodServer& server, const std::string& path, kelvotest::WireClient& c) {
    ASSERT_EQ(c.Open(server.Endpoint()).status, 'I');
    ASSERT_TRUE(c.Query("CREATE DATABASE \"" + path + "\"").Ok());
    ASSERT_EQ(c.Open(server.Endpoint(), path).status, 'I');
    ASSERT_TRUE(c.Query("CREATE TABLE tagged (tag BIGINT, n BIGINT)").Ok());
}

}  // namespace

// The types whose cells only this load decodes; the library's loads cover the rest.
TEST_F(KelvodCopyFrom, CellsOfEachTypeRoundTripIntoBinaryAndTextResults) {
    const struct {
        const char* declared;
        std::string value;  // the cell's value bytes, as the binary result carries them too
        bool variable;
        const char* text;
    } cases[] = {
        {"OID", Le<uint32_t>(4000000000u), false, "4000000000"},
        {"NUMERIC(18,3)", Le<int64_t>(-12345), false, "-12.345"},
        {"NUMERIC(38,5)", Le<uint64_t>(123456789) + Le<uint64_t>(0), false, "1234.56789"},
        {"TEXT", "h\xc3\xa9llo", true, "h\xc3\xa9llo"},
        {"TIMESTAMP", Le<int64_t>(kJulian2000 * kMicrosPerDay + 1000000), false, "2000-01-01 00:00:01"},
        {"TIMESTAMPTZ", Le<int64_t>(kJulian2000 * kMicrosPerDay + 1000000), false, "2000-01-01 00:00:01+00"},
        {"INTERVAL", Le<int64_t>(1000000) + Le<int32_t>(2) + Le<int32_t>(14), false, "1 year 2 mons 2 days 00:00:01"},
    };
    std::string columns;
    for (size_t i = 0; i < std::size(cases); ++i)
        columns += (i ? ", c" : "c") + std::to_string(i) + " " + cases[i].declared;
    Run("CREATE TABLE every_type (" + columns + ")");
    KlvcpyRows rows;
    rows.Header();
    for (const auto& c : cases)
        c.variable ? rows.Bytes(c.value) : rows.Raw(std::string(1, '\0') + c.value);
    for (size_t i = 0; i < std::size(cases); ++i)
        rows.Null();
    WireResult r = m_text.CopyIn("COPY every_type FROM STDIN WITH (FORMAT KELVOBINARY, SANITIZE)", {rows.Data()});
    ASSERT_EQ(r.Outcome(), "COPY 2") << r.Message();

    WireResult b = m_binary.Query("SELECT * FROM every_type ORDER BY c0 NULLS LAST");
    ASSERT_TRUE(b.Ok());
    ASSERT_EQ(b.rows.size(), 2u);
    WireResult t = m_text.Query("SELECT * FROM every_type ORDER BY c0 NULLS LAST");
    ASSERT_EQ(t.rows.size(), 2u);
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(b.rows[0][i].value_or("<null>"), cases[i].value) << cases[i].declared;
        EXPECT_EQ(t.rows[0][i].value_or("<null>"), cases[i].text) << cases[i].declared;
        EXPECT_FALSE(b.rows[1][i].has_value()) << cases[i].declared;
    }
}

TEST_F(KelvodCopyFrom, TheStreamMaySplitAnywhereAcrossCopyData) {
    // More rows than one engine chunk holds, b NULL all through the first chunk: a reused chunk must not carry those
    // NULLs over into the next.
    Run("CREATE TABLE split_rows (a INT NOT NULL, b TEXT, c BIGINT)");
    KlvcpyRows rows;
    rows.Header();
    int64_t lengths = 0;
    for (int i = 0; i < 2100; ++i) {
        rows.Int32(i, false);
        i < 2048 ? rows.Null() : rows.Bytes(std::string(static_cast<size_t>(i % 40), 'x'));
        rows.Int64(i * 7);
        lengths += i < 2048 ? 0 : i % 40;
    }
    rows.Int32(2100, false).Null().Null();
    const std::vector<std::optional<std::string>> expected{"2101", "2206050", std::to_string(lengths), "15427650",
                                                           "52"};
    // One byte a message, with empty messages among them.
    std::vector<std::string> pieces = SplitInto(rows.Data(), 1);
    for (size_t at : {pieces.size(), size_t{10}, size_t{0}})
        pieces.insert(pieces.begin() + static_cast<std::ptrdiff_t>(at), "");
    WireResult r = m_text.CopyIn("COPY split_rows FROM STDIN WITH (FORMAT KELVOBINARY)", pieces);
    EXPECT_EQ(r.tags, std::vector<std::string>{"COPY 2101"}) << r.Message();
    EXPECT_EQ(m_text.Query("SELECT count(*), sum(a), sum(length(b)), sum(c), count(b) FROM split_rows").rows[0],
              expected);
}

TEST_F(KelvodCopyFrom, MalformedStreamsFailWithTheirSqlstateAndApplyNothing) {
    Run("CREATE TABLE strict_rows (a INT, b TEXT, f BOOLEAN, n NUMERIC(4,2), t TIME)");
    // Enough good rows ahead of the fault that the engine has received some of them, and that the fault lies in a later
    // piece than the first (1 MiB).
    KlvcpyRows good;
    good.Header();
    for (int i = 0; i < 40000; ++i)
        good.Int32(i).Bytes("ok").Int8(1).Int64(1234).Int64(0);
    const std::string ok = good.Data();
    struct Case {
        const char* name;
        std::string stream;
        const char* sqlstate;
        const char* failure = nullptr;  // sent as CopyFail after the stream
    } cases[] = {
        {"abandoned by the client", ok, "57014", "client gave up"},
        {"bad magic", "KLVCPX" + std::string(13, '\0') + ok.substr(19), "22P04"},
        {"no data at all", "", "22P04"},
        {"row cut between cells", ok + KlvcpyRows().Int32(5).Bytes("x").Data(), "22P04"},
        {"length past the bound", ok + KlvcpyRows().Int32(5).Raw(std::string("\0\xff\xff\xff\xff", 5)).Data(), "22P04"},
        {"boolean byte 2", ok + KlvcpyRows().Int32(1).Bytes("x").Int8(2).Int64(1).Int64(0).Data(), "22P02"},
        {"text not UTF-8", ok + KlvcpyRows().Int32(1).Bytes("\xc3\x28").Int8(1).Int64(1).Int64(0).Data(), "22021"},
        {"NUL in long text",
         ok + KlvcpyRows().Int32(1).Bytes(std::string("abcdefghij\0klmnopq", 18)).Int8(1).Int64(1).Int64(0).Data(),
         "22021"},
        {"numeric past its precision", ok + KlvcpyRows().Int32(1).Bytes("x").Int8(1).Int64(10000).Int64(0).Data(),
         "22003"},
        {"time past midnight", ok + KlvcpyRows().Int32(1).Bytes("x").Int8(0).Int64(1).Int64(kMicrosPerDay + 1).Data(),
         "22008"},
    };
    // A load lifts the engine's insertion order for itself only, and leaves its memory limit alone.
    const std::string settings =
        "SELECT current_setting('preserve_insertion_order') || ' ' || current_setting('memory_limit')";
    const std::string before = m_text.Query(settings).Value();
    for (const auto& c : cases) {
        WireResult r = m_text.CopyIn("COPY strict_rows FROM STDIN WITH (FORMAT KELVOBINARY)",
                                     SplitInto(c.stream, 65536), c.failure);
        EXPECT_EQ(r.Sqlstate(), c.sqlstate) << c.name << ": " << r.Message();
        EXPECT_EQ(r.Message() == "COPY from stdin failed: client gave up", c.failure != nullptr) << c.name;
        // Rows are numbered through the whole stream, whichever thread decodes them.
        if (c.stream.size() > ok.size()) {
            EXPECT_NE(r.Message().find("ow 40001"), std::string::npos) << c.name << ": " << r.Message();
        }
        EXPECT_EQ(r.status, 'I') << c.name;
        EXPECT_EQ(Count("strict_rows"), "0") << c.name;
        EXPECT_EQ(m_text.Query(settings).Value(), before) << c.name;
    }
    // The session goes on: the same table takes the good rows, all of them.
    EXPECT_EQ(m_text.CopyIn("COPY strict_rows FROM STDIN WITH (FORMAT KELVOBINARY)", {ok}).Outcome(), "COPY 40000");
    EXPECT_EQ(m_text.Query("SELECT sum(a) FROM strict_rows").Value(), "799980000");
    EXPECT_EQ(m_text.Query(settings).Value(), before);
    // No load moves the engine's memory limit; a client moves it, but never below the floor where commits stay whole.
    for (const char* low :
         {"SET memory_limit = '511MB'", "SET GLOBAL max_memory TO '200 MiB'", "SET memory_limit = '10 bytes'",
          "SET memory_limit = '0.1' || 'GB'", "SET memory_limit = '1x'"})
        EXPECT_EQ(m_text.Query(low).Sqlstate(), "22023") << low;
    EXPECT_EQ(m_text.Query(settings).Value(), before);
    for (const char* fine :
         {"SET GLOBAL memory_limit = '512MB'", "SET memory_limit TO '1 GiB'", "RESET memory_limit"}) {
        EXPECT_TRUE(m_text.Query(fine).Ok()) << fine;
        const std::string set = m_text.Query(settings).Value();
        EXPECT_EQ(m_text.CopyIn("COPY strict_rows FROM STDIN WITH (FORMAT KELVOBINARY)", {ok}).Sqlstate(), "") << fine;
        EXPECT_EQ(m_text.Query(settings).Value(), set) << fine;
    }
    EXPECT_EQ(m_text.Query(settings).Value(), before);
    // A finite timestamp that would land on the engine's -infinity is refused; the next one up is stored.
    Run("CREATE TABLE earliest (t TIMESTAMP)");
    const int64_t landsOnInfinity = std::numeric_limits<int64_t>::min() + 1 + 2440588 * kMicrosPerDay;
    for (int64_t v : {landsOnInfinity, landsOnInfinity + 1}) {
        std::string rows = KlvcpyRows().Header().Int64(v).Data();
        EXPECT_EQ(m_text.CopyIn("COPY earliest FROM STDIN WITH (FORMAT KELVOBINARY)", {rows}).Sqlstate(),
                  v == landsOnInfinity ? "22008" : "");
    }
    EXPECT_EQ(m_text.Query("SELECT count(*) FROM earliest WHERE t > '-infinity'").Value(), "1");
}

TEST_F(KelvodCopyFrom, TargetsAreFoundByEveryFormOfTheirNameAndOtherStatementsAreRefusedBeforeAnyData) {
    Run("CREATE TABLE named_target (a INT); CREATE TEMPORARY TABLE temp_target (a INT)");
    std::string db = m_text.Query("SELECT kelvo_database_of_table('named_target')").Value();
    std::string upper = db;
    for (char& ch : upper)
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    const std::string from = " FROM STDIN WITH (FORMAT KELVOBINARY)";
    const struct {
        std::string target;
        const char* expected;  // the tag, or the SQLSTATE
    } cases[] = {
        {"\"public\".\"named_target\"" + from, "COPY 1"},
        {"\"" + upper + "\".\"public\".\"named_target\"" + from, "COPY 1"},
        {"temp_target" + from, "COPY 1"},
        {"\"pg_temp\".\"temp_target\"" + from, "COPY 1"},
        {"\"" + db + "\".\"pg_temp\".\"temp_target\"" + from, "COPY 1"},
        {"no_such_table" + from, "42P01"},
        {"named_target (nope)" + from, "42703"},
        {"named_target (a, a)" + from, "42701"},
        {"named_target FROM STDIN", "0A000"},
        {"named_target FROM STDIN WITH (FORMAT KELVOBINARY, DELIMITER)", "42601"},
    };
    for (const auto& c : cases) {
        WireResult r = m_text.CopyIn("COPY " + c.target, {KlvcpyRows().Header().Int32(7).Data()});
        EXPECT_EQ(r.Outcome(), c.expected) << c.target << ": " << r.Message();
        EXPECT_EQ(r.types.at(0) == 'G', c.expected[0] == 'C') << c.target;
    }
    EXPECT_EQ(Count("named_target") + "/" + Count("temp_target"), "2/3");
    // In the extended protocol the COPY is refused too, rather than left waiting for data.
    EXPECT_EQ(m_text.Extended("COPY named_target" + from, 0).Sqlstate(), "0A000");
}

// In a block a COPY is undone by the ROLLBACK, and a failed or cancelled one leaves a block that only ends in a
// rollback; a cancel outside a block ends the COPY with nothing loaded and the session usable.
TEST_F(KelvodCopyFrom, ACopyInABlockIsUndoneByItsRollbackAndAFailedOrCancelledOneLoadsNothing) {
    Run("CREATE TABLE in_block (a INT); INSERT INTO in_block VALUES (0)");
    KlvcpyRows rows;
    rows.Header();
    for (int i = 1; i <= 3000; ++i)
        rows.Int32(i);
    Run("BEGIN");
    WireResult r = m_text.CopyIn("COPY in_block FROM STDIN WITH (FORMAT KELVOBINARY)", {rows.Data()});
    EXPECT_EQ(r.status, 'T');
    EXPECT_EQ(Count("in_block"), "3001");
    Run("ROLLBACK");
    EXPECT_EQ(Count("in_block"), "1");
    Run("BEGIN");
    r = m_text.CopyIn("COPY in_block FROM STDIN WITH (FORMAT KELVOBINARY)", {rows.Data() + std::string(1, '\x09')});
    EXPECT_EQ(r.Sqlstate(), "22P04");
    EXPECT_EQ(r.status, 'E');
    EXPECT_EQ(m_text.Query("COMMIT").status, 'I');
    EXPECT_EQ(Count("in_block"), "1");
    for (bool inBlock : {false, true}) {
        if (inBlock)
            Run("BEGIN");
        m_text.SendMessage('Q', kelvotest::WireClient::Str("COPY in_block FROM STDIN WITH (FORMAT KELVOBINARY)"));
        ASSERT_EQ(m_text.Read().type, 'G');
        m_text.SendMessage('d', rows.Data());  // and the client would send more
        ASSERT_TRUE(kelvotest::SendCancel(server->Endpoint(), m_text.Pid(), m_text.Key()));
        r = m_text.ReadUntilReady();
        EXPECT_EQ(r.Sqlstate(), "57014") << inBlock << ": " << r.Message();
        EXPECT_EQ(r.status, inBlock ? 'E' : 'I');
        m_text.SendMessage('c', "");  // a CopyDone sent before the client saw the error is ignored
        if (inBlock) {
            EXPECT_EQ(m_text.Query("COMMIT").tags, std::vector<std::string>{"ROLLBACK"});
        }
        EXPECT_EQ(Count("in_block"), "1") << inBlock;
    }
}

TEST_F(KelvodCopyFrom, ACellAsLargeAsTheDecoderTakesLoadsAndReadsBack) {
#if defined(__SANITIZE_THREAD__)
    // The thread sanitizer checks each of the cell's many copies byte by byte, past any time limit; the size bound has
    // no threads in it and the address-sanitizer run covers it.
    GTEST_SKIP() << "too slow under the thread sanitizer";
#endif
    Run("CREATE TABLE huge (id INT, t TEXT)");
    std::string cell(256u << 20, 'k');
    cell[12345] = 'x';
    // Checked byte by byte, the cell takes longer than a query's usual wait under the sanitizers.
    m_text.SendMessage('Q', kelvotest::WireClient::Str("COPY huge FROM STDIN WITH (FORMAT KELVOBINARY)"));
    ASSERT_EQ(m_text.Read().type, 'G');
    for (const auto& piece : SplitInto(KlvcpyRows().Header().Int32(1).Bytes(cell).Data(), 32u << 20))
        m_text.SendMessage('d', piece);
    m_text.SendMessage('c', "");
    WireResult r = m_text.ReadUntilReady(120000);
    ASSERT_EQ(r.tags, std::vector<std::string>{"COPY 1"}) << r.Message();
    m_binary.SendMessage('Q', kelvotest::WireClient::Str("SELECT t FROM huge"));
    WireResult back = m_binary.ReadUntilReady(120000);
    ASSERT_TRUE(back.Ok()) << back.Message();
    EXPECT_TRUE(back.Value() == cell) << back.Value().size();
    Run("DROP TABLE huge");
}

TEST(KelvodDiskFull, ALoadThatFillsTheDiskFailsWith53100AndKeepsEveryCommittedRow) {
    kelvotest::KelvodServer server;
    ASSERT_TRUE(server.Start()) << server.Output();
    std::string small = server.Directory() + "/small";
    std::filesystem::create_directory(small);
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=18m") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs to fill (" << std::strerror(errno) << "); this test needs root";
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{small};
    const std::string db = "\"" + small + "/full.kelvo\"";
    std::string batch = KlvcpyRows().Header().Data();
    for (int i = 0; i < 20000; ++i)
        batch += KlvcpyRows().Int64(i).Bytes(std::string(48, char('a' + i % 26)) + std::to_string(i)).Data();
    uint64_t committed = 0;
    {
        kelvotest::WireClient c;
        ASSERT_EQ(c.Open(server.Endpoint()).status, 'I');
        // A database that cannot be created on the full disk leaves no file that would refuse it later.
        {
            std::ofstream filler(small + "/filler");
            const std::string block(1 << 16, 'f');
            while (filler.write(block.data(), block.size()))
                ;
        }
        EXPECT_EQ(c.Query("CREATE DATABASE " + db).Sqlstate(), "53100");
        EXPECT_FALSE(std::filesystem::exists(small + "/full.kelvo"));
        std::filesystem::remove(small + "/filler");
        ASSERT_TRUE(c.Query("CREATE DATABASE " + db + "; ATTACH DATABASE " + db +
                            " AS \"disk\"; CREATE TABLE \"disk\".\"public\".\"t\" (\"id\" BIGINT, \"s\" TEXT)")
                        .Ok());
        WireResult r;
        for (int k = 0; k < 100; ++k) {
            r = c.CopyIn("COPY \"disk\".\"public\".\"t\" FROM STDIN WITH (FORMAT KELVOBINARY, SANITIZE)", {batch});
            if (!r.Ok())
                break;
            committed += 20000;
        }
        EXPECT_EQ(r.Sqlstate(), "53100") << r.Message();
        ASSERT_GT(committed, 0u);
        // On the full disk a small commit may be durable although its checkpoint fails: whatever the answer, it is the
        // truth about the row.
        ASSERT_EQ(c.Query("BEGIN; INSERT INTO t VALUES (-1, 'last')").status, 'T');
        WireResult commit = c.Query("COMMIT");
        if (commit.Ok() && commit.tags == std::vector<std::string>{"COMMIT"})
            ++committed;
        else
            EXPECT_EQ(commit.Sqlstate(), "53100") << commit.Message();
        WireResult count = c.Query("SELECT count(*) FROM t");
        EXPECT_EQ(count.Value(), std::to_string(committed)) << count.Message();
    }
    EXPECT_EQ(server.Stop().value_or(-1), 0) << server.Output();
    ASSERT_TRUE(server.Start()) << server.Output();
    kelvotest::WireClient again;
    ASSERT_EQ(again.Open(server.Endpoint()).status, 'I');
    ASSERT_TRUE(again.Query("ATTACH DATABASE " + db + " AS \"disk\"").Ok());
    EXPECT_EQ(again.Query("SELECT count(*), count(DISTINCT id) FROM disk.public.t").Value(), std::to_string(committed));
    again.Close();
    EXPECT_EQ(server.Stop().value_or(-1), 0) << server.Output();
}

TEST(KelvodConcurrentLoads, EveryLoadBesideSortsSucceedsAndIsWholeAfterARestart) {
    constexpr int kLoaders = 8, kBatches = 6, kRows = 4000;
    kelvotest::KelvodServer server;
    ASSERT_TRUE(server.Start()) << server.Output();
    const std::string db = server.Directory() + "/loads.kelvo";
    kelvotest::WireClient owner;
    ASSERT_NO_FATAL_FAILURE(CreateTaggedDatabase(server, db, owner));
    // More than a sort may use under a lowered limit; made at the sanitizers' pace.
    owner.SendMessage(
        'Q', kelvotest::WireClient::Str("CREATE TABLE sorted AS SELECT md5(range::VARCHAR) AS s FROM range(1500000)"));
    ASSERT_TRUE(owner.ReadUntilReady(60000).Ok());

    std::atomic<int> loading{kLoaders};
    std::mutex mutex;
    std::vector<std::string> errors;
    std::vector<std::thread> threads;
    for (int s = 0; s < 2; ++s)
        threads.emplace_back([&] {
            kelvotest::WireClient c;
            WireResult r = c.Open(server.Endpoint(), db);
            while (r.Ok() && loading > 0) {
                // Under the sanitizers, beside the loads, a sort may take longer than a query's usual wait.
                c.SendMessage('Q', kelvotest::WireClient::Str(
                                       "SELECT max(r) FROM (SELECT row_number() OVER (ORDER BY s) AS r FROM sorted)"));
                r = c.ReadUntilReady(60000);
            }
            std::lock_guard<std::mutex> lock(mutex);
            if (!r.Ok())
                errors.push_back("a sort: " + r.Sqlstate() + " " + r.Message());
        });
    for (int l = 0; l < kLoaders; ++l)
        threads.emplace_back([&, l] {
            kelvotest::WireClient c;
            WireResult open = c.Open(server.Endpoint(), db);
            for (int b = 0; b < kBatches; ++b) {
                WireResult r = open.Ok() ? c.CopyIn(kCopy, {TaggedRows(l * 100 + b, kRows)}) : open;
                std::lock_guard<std::mutex> lock(mutex);
                if (!r.Ok())
                    errors.push_back("a load: " + r.Sqlstate() + " " + r.Message());
            }
            --loading;
        });
    for (auto& t : threads)
        t.join();
    owner.Close();
    for (const auto& e : errors)
        ADD_FAILURE() << e;
    EXPECT_EQ(server.Stop().value_or(-1), 0) << server.Output();

    ASSERT_TRUE(server.Start()) << server.Output();
    kelvotest::WireClient again;
    ASSERT_EQ(again.Open(server.Endpoint(), db).status, 'I');
    // Every batch whole and once: all of the tags, and every row of each exactly once.
    const std::string rows = std::to_string(kLoaders * kBatches * kRows);
    WireResult kept = again.Query("SELECT count(DISTINCT tag), count(*), count(DISTINCT tag * 100000 + n) FROM tagged");
    EXPECT_EQ(kept.rows.at(0),
              (std::vector<std::optional<std::string>>{std::to_string(kLoaders * kBatches), rows, rows}))
        << kept.Message();
    again.Close();
    EXPECT_EQ(server.Stop().value_or(-1), 0) << server.Output();
}

TEST_F(KelvodCopyFrom, SessionsComingAndGoingOnTheirOwnFilesAlwaysConnect) {
    constexpr int kThreads = 4, kRounds = 25;
    std::vector<std::string> files;
    for (int i = 0; i < kThreads; ++i) {
        files.push_back(server->Directory() + "/own" + std::to_string(i) + ".kelvo");
        kelvotest::WireClient c;
        ASSERT_NO_FATAL_FAILURE(CreateTaggedDatabase(*server, files.back(), c));
    }
    std::mutex mutex;
    std::vector<std::string> failures;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            for (int r = 0; r < kRounds; ++r) {
                kelvotest::WireClient c;
                WireResult step = c.Open(server->Endpoint(), files[i]);
                // A load reads the catalog of every attached database, the others' too.
                if (step.Ok())
                    step = c.CopyIn(kCopy, {TaggedRows(r, 10)});
                if (step.Ok())
                    step = c.Query("SELECT count(*) FROM tagged");
                std::lock_guard<std::mutex> lock(mutex);
                if (!step.Ok() || step.Value() != std::to_string(10 * (r + 1)))
                    failures.push_back(step.Sqlstate() + " " + step.Message() + " " + step.Value());
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_TRUE(failures.empty()) << failures.size() << " failed, the first: " << failures.front();
}
