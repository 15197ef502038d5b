// External streams over two connections, as bulk insertion uses them: one session runs INSERT BULK from the stream
// while another COPYs chunks into it; a full stream answers 53400, a cancel ends the insertion with nothing inserted,
// and a session that goes away takes its streams with it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "support/kelvod_server.h"
#include "support/klvcpy_rows.h"
#include "support/wire_client.h"

using kelvotest::WireClient;
using kelvotest::WireResult;

namespace {

constexpr const char* kStreamColumns = "(\"a\" INT NOT NULL, \"b\" TEXT, \"c\" DOUBLE PRECISION)";
constexpr const char* kWith = "  (WITH (FORMAT KELVOBINARY, SANITIZE))";

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

class KelvodStreams : public kelvotest::KelvodSuite {
protected:
    void SetUp() override {
        ASSERT_EQ(main.Open(server->Endpoint(), ":main", "result_format_code=Text").status, 'I');
        ASSERT_EQ(feeder.Open(server->Endpoint(), ":main", "result_format_code=Text").status, 'I');
    }
    static void Run(WireClient& c, const std::string& sql) {
        WireResult r = c.Query(sql);
        ASSERT_TRUE(r.Ok()) << sql << ": " << r.Message();
    }
    static std::string Quoted(const std::string& name) {
        std::string out = "\"";
        for (char c : name)
            out += c == '"' ? "\"\"" : std::string(1, c);
        return out + "\"";
    }
    // A table and a stream of its shape, named as the inserter names them;
    // `insert` starts the insertion from the stream on the main session.
    void MakeTableAndStream(const std::string& table, bool insert = true, const char* columns = kStreamColumns) {
        Run(main, "CREATE TABLE " + Quoted(table) + " " + columns);
        database = main.Query("SELECT kelvo_database_of_table('" + table + "')").Value();
        probe = "SELECT 1 FROM \"" + database + "\".pg_catalog.pg_class r WHERE r.relname = '__Insert_Stream__" +
                table + "__' AND r.relkind = 'x'";
        stream = "\"" + database + "\".\"public\"." + Quoted("__Insert_Stream__" + table + "__");
        Run(main, "CREATE BOUNDED EXTERNAL STREAM " + stream + " " + kStreamColumns + kWith + ";");
        if (insert)
            main.SendMessage('Q', WireClient::Str(InsertBulk(table)));
    }
    std::string InsertBulk(const std::string& table, const std::string& select = "\"a\", \"b\", \"c\"",
                           const std::string& columns = "\"a\", \"b\", \"c\"") {
        return "INSERT BULK INTO \"" + database + "\".\"public\"." + Quoted(table) + " (" + columns + ") (SELECT " +
               select + " FROM EXTERNAL STREAM " + stream + ")";
    }
    // One chunk as the inserter sends it: its own header, then `rows` rows from
    // `first` on, split across CopyData messages of 4 KiB.
    WireResult Feed(int first, int rows) {
        kelvotest::KlvcpyRows k;
        k.Header();
        for (int i = first; i < first + rows; ++i) {
            k.Int32(i, false);
            i % 5 == 0 ? k.Null() : k.Bytes("row " + std::to_string(i));
            k.Double(i / 2.0);
        }
        return feeder.CopyIn("COPY " + stream + " FROM STDIN WITH (FORMAT KELVOBINARY, SANITIZE)",
                             kelvotest::SplitInto(k.Data(), 4096));
    }
    // As the inserter does: a chunk refused with 53400 goes again until the stream takes it.
    void FeedUntilTaken(int first, int rows) {
        for (int attempt = 0; attempt < 500; ++attempt, Pause(10)) {
            WireResult r = Feed(first, rows);
            if (r.Ok())
                return;
            ASSERT_EQ(r.Sqlstate(), "53400") << r.Message();
        }
        FAIL() << "the stream never took the chunk";
    }
    WireClient main, feeder;
    std::string database, stream, probe;
};

}  // namespace

TEST_F(KelvodStreams, AFullStreamAnswers53400UntilTheInsertionCatchesUp) {
    MakeTableAndStream("throttled", false);
    EXPECT_EQ(main.Query(probe).rows.size(), 1u) << "the stream shows in the catalog";
    // Nobody reads yet: the stream takes a few chunks, then asks the feeder to wait.
    int accepted = 0;
    WireResult refused;
    while (accepted < 10 && (refused = Feed(accepted * 10, 10)).Ok())
        ++accepted;
    EXPECT_EQ(refused.Sqlstate(), "53400");
    EXPECT_EQ(refused.types.front(), 'E');  // refused before any data was asked for
    EXPECT_EQ(accepted, 4) << "a stream holds four chunks nobody has read";
    main.SendMessage('Q', WireClient::Str(InsertBulk("throttled")));
    FeedUntilTaken(accepted * 10, 10);
    Run(feeder, "CLOSE EXTERNAL STREAM " + stream);
    EXPECT_EQ(main.ReadUntilReady().tags, std::vector<std::string>{"INSERT 0 " + std::to_string((accepted + 1) * 10)});
}

TEST_F(KelvodStreams, ACancelEndsTheInsertionWithNothingInsertedAndTheSessionUsable) {
    for (int round = 0; round < 5; ++round) {
        MakeTableAndStream("cancelled_" + std::to_string(round));
        ASSERT_TRUE(Feed(0, 3000).Ok());
        // As the library does, cancel requests keep coming until the statement answers; here without pause, so that
        // some arrive while it cleans up.
        std::atomic<bool> answered{false};
        std::thread canceller([&] {
            while (!answered)
                kelvotest::SendCancel(server->Endpoint(), main.Pid(), main.Key());
        });
        WireResult answer = main.ReadUntilReady(20000);
        answered = true;
        canceller.join();
        EXPECT_EQ(answer.status, 'I');
        EXPECT_EQ(answer.Sqlstate(), "57014");
        EXPECT_TRUE(answer.tags.empty());
        WireResult count = main.Query("SELECT count(*) FROM cancelled_" + std::to_string(round));
        EXPECT_EQ(count.Value(), "0") << round << ": " << count.Message();
        // The stream is no longer read: a further chunk fails at once instead of waiting.
        EXPECT_EQ(Feed(0, 1).Sqlstate(), "55000");
    }
}

TEST_F(KelvodStreams, StreamStatementsReportWhatIsWrongWithTheirStream) {
    MakeTableAndStream("lifecycle", false);
    struct Case {
        std::string sql;
        const char* expected;  // a tag, or the SQLSTATE
    } cases[] = {
        {"CREATE BOUNDED EXTERNAL STREAM " + stream + " (\"a\" INT)" + kWith, "42P07"},
        {"CREATE BOUNDED EXTERNAL STREAM IF NOT EXISTS " + stream + " (\"a\" INT)" + kWith, "CREATE EXTERNAL STREAM"},
        {"CLOSE EXTERNAL STREAM \"no_such_stream\"", "42P01"},
        {"DROP EXTERNAL STREAM \"no_such_stream\"", "42P01"},
        {"DROP EXTERNAL STREAM IF EXISTS \"no_such_stream\"", "DROP EXTERNAL STREAM"},
        {"INSERT BULK INTO \"lifecycle\" (\"a\") (SELECT \"a\" FROM EXTERNAL STREAM \"no_such_stream\")", "42P01"},
        {"INSERT BULK INTO \"lifecycle\" (\"a\", \"b\") (SELECT 6 * 7, 'x' || 'y')", "INSERT 0 1"},
        {"INSERT BULK INTO \"lifecycle\" (\"a\", \"b\") (SELECT 1, chr(0))", "54000"},
        {"COPY " + stream + " (\"c\", \"b\", \"a\") FROM STDIN WITH (FORMAT KELVOBINARY)", "0A000"},
        {"CREATE BOUNDED EXTERNAL STREAM \"not_attached\".\"public\".\"s\" (\"a\" INT)" + std::string(kWith), "3F000"},
        {"CREATE BOUNDED EXTERNAL STREAM \"" + database + "\".\"no_such_schema\".\"s\" (\"a\" INT)" + kWith, "3F000"},
        {"CLOSE EXTERNAL STREAM " + stream, "CLOSE EXTERNAL STREAM"},
    };
    for (const auto& c : cases) {
        // The library runs these statements through the extended protocol; COPY goes as a simple query.
        WireResult r = c.sql.rfind("COPY", 0) == 0 ? feeder.Query(c.sql) : feeder.Extended(c.sql, 0);
        EXPECT_EQ(r.Outcome(), c.expected) << c.sql << ": " << r.Message();
    }
    EXPECT_EQ(main.Query("SELECT a || b FROM lifecycle").Value(), "42xy");
    // Closed: no more chunks; an insertion from it ends at once with what it held (nothing).
    EXPECT_EQ(Feed(0, 1).Sqlstate(), "55000");
    EXPECT_EQ(main.Query(InsertBulk("lifecycle")).tags, std::vector<std::string>{"INSERT 0 0"});
    Run(feeder, "DROP EXTERNAL STREAM " + stream);
}

TEST_F(KelvodStreams, DroppingAnUnclosedStreamEndsItsInsertionWithAnError) {
    MakeTableAndStream("dropped");
    // A drop before the insertion reads would make it find no stream at all. A stream holds four chunks unread, so a
    // fifth one taken proves it is reading.
    for (int chunk = 0; chunk < 5; ++chunk)
        FeedUntilTaken(chunk * 10, 10);
    Run(feeder, "DROP EXTERNAL STREAM " + stream);
    EXPECT_EQ(main.ReadUntilReady().Sqlstate(), "55000");
    EXPECT_EQ(main.Query("SELECT count(*) FROM dropped").Value(), "0");
}

TEST_F(KelvodStreams, ASessionThatHangsUpTakesItsStreamsAndItsInsertionWithIt) {
    MakeTableAndStream("orphan");
    ASSERT_TRUE(Feed(0, 10).Ok());
    main.Close();
    // The waiting insertion notices the hang-up and its session drops the stream.
    bool gone = false;
    for (int attempt = 0; attempt < 100 && !gone; ++attempt, Pause(50))
        gone = feeder.Query(probe).rows.empty();
    EXPECT_TRUE(gone);
    EXPECT_EQ(feeder.Query("SELECT count(*) FROM orphan").Value(), "0");
}

TEST_F(KelvodStreams, AFeederThatHangsUpMidCopyLosesOnlyItsUnfinishedChunk) {
    MakeTableAndStream("half_fed");
    ASSERT_TRUE(Feed(0, 100).Ok());
    // The second chunk is cut off by the feeder's hang-up.
    feeder.SendMessage('Q', WireClient::Str("COPY " + stream + " FROM STDIN WITH (FORMAT KELVOBINARY)"));
    ASSERT_EQ(feeder.Read().type, 'G');
    feeder.SendMessage('d', kelvotest::KlvcpyRows().Header().Int32(100, false).Bytes("cut").Data());
    feeder.Close();
    // As the inserter does when its stream connection fails: close over a fresh connection.
    WireClient closer;
    ASSERT_EQ(closer.Open(server->Endpoint(), ":main").status, 'I');
    Run(closer, "CLOSE EXTERNAL STREAM " + stream);
    EXPECT_EQ(main.ReadUntilReady().tags, std::vector<std::string>{"INSERT 0 100"});
    EXPECT_EQ(main.Query("SELECT count(*), min(a), max(a) FROM half_fed").rows[0],
              (std::vector<std::optional<std::string>>{"100", "0", "99"}));
    Run(closer, "DROP EXTERNAL STREAM " + stream);
}

TEST_F(KelvodStreams, AChunkWithABadValueFailsItsOwnCopyAndTheInsertionGoesOn) {
    MakeTableAndStream("bad_value");
    ASSERT_TRUE(Feed(0, 100).Ok());
    kelvotest::KlvcpyRows bad;
    bad.Header().Int32(100, false).Bytes("fine").Double(1).Int32(101, false).Bytes("\xc3\x28").Double(1);
    WireResult r = feeder.CopyIn("COPY " + stream + " FROM STDIN WITH (FORMAT KELVOBINARY)", {bad.Data()});
    EXPECT_EQ(r.Sqlstate(), "22021") << r.Message();
    EXPECT_EQ(r.Message(), "Row 2, column \"b\": invalid byte sequence for encoding \"UTF8\".");
    FeedUntilTaken(100, 100);
    Run(feeder, "CLOSE EXTERNAL STREAM " + stream);
    EXPECT_EQ(main.ReadUntilReady().tags, std::vector<std::string>{"INSERT 0 200"});
}

TEST_F(KelvodStreams, TheServerKeepsABoundedNumberOfStreams) {
    auto create = [&](size_t i) {
        return feeder.Query("CREATE BOUNDED EXTERNAL STREAM \"many_" + std::to_string(i) + "\" (\"a\" INT)" + kWith);
    };
    size_t created = 0;
    WireResult refused;
    while (created < 300 && (refused = create(created)).Ok())
        ++created;
    EXPECT_EQ(refused.Sqlstate(), "54000");
    EXPECT_GT(created, 100u);
    // Dropping one makes room for one.
    Run(feeder, "DROP EXTERNAL STREAM \"many_0\"");
    EXPECT_TRUE(create(created).Ok());
    for (size_t i = 1; i <= created; ++i)
        feeder.Query("DROP EXTERNAL STREAM \"many_" + std::to_string(i) + "\"");
}

TEST_F(KelvodStreams, TheSelectListShapesWhatReachesTheTable) {
    // The stream is always (a INT NOT NULL, b TEXT, c DOUBLE PRECISION); rows 0..9, b NULL on row 0 and 5.
    struct Case {
        const char* name;  // of the table
        const char* table;
        const char* columns;
        const char* select;
        const char* check;     // a query over the table after the load
        const char* expected;  // its value, or the SQLSTATE of the failed insertion
    } cases[] = {
        {"shaped_0", "(\"a\" INT NOT NULL, \"b\" TEXT, \"c\" DOUBLE PRECISION)", "\"a\", \"b\", \"c\"", "*",
         "SELECT sum(a) || '/' || count(b) || '/' || sum(c)", "45/8/22.5"},
        {"shaped_1", "(\"a\" BIGINT, \"b\" TEXT, \"c\" NUMERIC(18,1))", "\"a\", \"b\", \"c\"", "\"a\", \"b\", \"c\"",
         "SELECT sum(a) || '/' || count(b) || '/' || sum(c)", "45/8/22.5"},
        {"shaped_2", "(\"x\" INT, \"y\" TEXT)", "\"y\", \"x\"", "upper(\"b\"), \"a\" * 10",
         "SELECT sum(x) || '/' || min(y)", "450/ROW 1"},
        // Names and a select list that would read differently if the server's own text were split or unquoted.
        {"shaped\" 3. ; -- x", "(\"x\" INT, \"y\" TEXT)", "\"y\", \"x\"", "upper(\"b\") || E'\\'', \"a\" * 10 -- c\n",
         "SELECT sum(x) || '/' || min(y)", "450/ROW 1'"},
        {"refused_nul", "(\"x\" INT, \"y\" TEXT)", "\"y\", \"x\"", "chr(\"a\" - \"a\") || \"b\", \"a\"",
         "SELECT count(*)", "54000"},
        {"shaped_4", "(\"a\" INT NOT NULL, \"b\" TEXT NOT NULL, \"c\" DOUBLE PRECISION)", "\"a\", \"b\", \"c\"",
         "\"a\", \"b\", \"c\"", "SELECT count(*)", "23502"},
    };
    for (const auto& c : cases) {
        const std::string table = c.name;
        MakeTableAndStream(table, false, c.table);
        main.SendMessage('Q', WireClient::Str(InsertBulk(table, c.select, c.columns)));
        ASSERT_TRUE(Feed(0, 10).Ok());
        Run(feeder, "CLOSE EXTERNAL STREAM " + stream);
        WireResult r = main.ReadUntilReady();
        Run(feeder, "DROP EXTERNAL STREAM " + stream);
        std::string value = main.Query(std::string(c.check) + " FROM " + Quoted(table)).Value();
        // A load gives its tag and the values; a failed one its SQLSTATE and no row.
        EXPECT_EQ(r.Ok() ? value : r.Sqlstate(), c.expected) << table << ": " << r.Message();
        EXPECT_EQ(r.Ok() ? r.Outcome() : value, r.Ok() ? "INSERT 0 10" : "0") << table;
    }
}
