// External streams over two connections, as bulk insertion uses them: one
// session runs INSERT BULK from the stream while another COPYs chunks into it;
// a full stream answers 53400, a cancel ends the insertion with nothing
// inserted, and a session that goes away takes its streams with it.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/kelvod_server.h"
#include "support/klvcpy_rows.h"
#include "support/wire_client.h"

using kelvotest::KlvcpyRows;
using kelvotest::WireClient;
using kelvotest::WireResult;

namespace {

constexpr const char* kStreamColumns = "(\"a\" INT NOT NULL, \"b\" TEXT, \"c\" DOUBLE PRECISION)";
constexpr const char* kWith = "  (WITH (FORMAT KELVOBINARY, SANITIZE))";

class KelvodStreams : public kelvotest::KelvodSuite {
protected:
    void SetUp() override {
        ASSERT_EQ(main.Open(server->Endpoint(), ":main", "result_format_code=Text").status, 'I');
        ASSERT_EQ(feeder.Open(server->Endpoint(), ":main", "result_format_code=Text").status, 'I');
    }
    void Run(WireClient& c, const std::string& sql) {
        WireResult r = c.Query(sql);
        ASSERT_TRUE(r.Ok()) << sql << ": " << r.Message();
    }
    // A table and a stream of its shape, named as the inserter names them.
    void MakeTableAndStream(const std::string& table) {
        Run(main, "CREATE TABLE \"" + table + "\" " + kStreamColumns);
        database = main.Query("SELECT kelvo_database_of_table('" + table + "')").Value();
        stream = "\"" + database + "\".\"public\".\"__Insert_Stream__" + table + "__\"";
        Run(main, "CREATE BOUNDED EXTERNAL STREAM " + stream + " " + kStreamColumns + kWith + ";");
    }
    std::string InsertBulk(const std::string& table, const std::string& select = "\"a\", \"b\", \"c\"") {
        return "INSERT BULK INTO \"" + database + "\".\"public\".\"" + table + "\" (\"a\", \"b\", \"c\") (SELECT " +
               select + " FROM EXTERNAL STREAM " + stream + ")";
    }
    std::string Copy() const { return "COPY " + stream + " FROM STDIN WITH (FORMAT KELVOBINARY, SANITIZE)"; }
    // One chunk as the inserter sends it: its own header, then `rows` rows from `first` on.
    static std::string Chunk(int first, int rows) {
        KlvcpyRows k;
        k.Header();
        for (int i = first; i < first + rows; ++i) {
            k.Int32(i, false);
            if (i % 5 == 0) k.Null();
            else k.Bytes("row " + std::to_string(i));
            k.Double(i / 2.0);
        }
        return k.Data();
    }
    std::string Probe(const std::string& table) {
        return std::to_string(main.Query("SELECT 1 FROM \"" + database + "\".pg_catalog.pg_class r WHERE r.relname = "
                                         "'__Insert_Stream__" + table + "__' AND r.relkind = 'x'")
                                  .rows.size());
    }
    WireClient main, feeder;
    std::string database, stream;
};

}  // namespace

TEST_F(KelvodStreams, ChunksCopiedOnASecondConnectionAreInsertedOnceTheStreamCloses) {
    MakeTableAndStream("fed");
    EXPECT_EQ(Probe("fed"), "1");
    main.SendMessage('Q', WireClient::Str(InsertBulk("fed", "\"a\", \"b\", \"c\" * 2")));
    for (int chunk = 0; chunk < 3; ++chunk) {
        WireResult r = feeder.CopyIn(Copy(), kelvotest::SplitInto(Chunk(chunk * 2500, 2500), 4096));
        ASSERT_TRUE(r.Ok()) << r.Sqlstate() << " " << r.Message();
        EXPECT_EQ(r.tags, std::vector<std::string>{"COPY 2500"});
    }
    Run(feeder, "CLOSE EXTERNAL STREAM " + stream);
    WireResult inserted = main.ReadUntilReady();
    ASSERT_TRUE(inserted.Ok()) << inserted.Message();
    EXPECT_EQ(inserted.tags, std::vector<std::string>{"INSERT 0 7500"});
    Run(feeder, "DROP EXTERNAL STREAM IF EXISTS " + stream);
    EXPECT_EQ(Probe("fed"), "0");
    EXPECT_EQ(main.Query("SELECT count(*), sum(a), count(b), sum(c) FROM fed").rows[0],
              (std::vector<std::optional<std::string>>{"7500", "28121250", "6000", "28121250"}));
}

TEST_F(KelvodStreams, AFullStreamAnswers53400UntilTheInsertionCatchesUp) {
    MakeTableAndStream("throttled");
    // Nobody reads yet: the stream takes a few chunks, then asks the feeder to wait.
    int accepted = 0;
    WireResult refused;
    for (int i = 0; i < 10; ++i) {
        WireResult r = feeder.CopyIn(Copy(), {Chunk(i * 10, 10)});
        if (!r.Ok()) {
            refused = r;
            break;
        }
        ++accepted;
    }
    EXPECT_EQ(refused.Sqlstate(), "53400");
    EXPECT_EQ(refused.types.front(), 'E');  // refused before any data was asked for
    EXPECT_GE(accepted, 1);
    EXPECT_LT(accepted, 10);
    main.SendMessage('Q', WireClient::Str(InsertBulk("throttled")));
    // The refused chunk goes again, as the inserter resends it, until the stream takes it.
    bool taken = false;
    for (int attempt = 0; attempt < 100 && !taken; ++attempt) {
        WireResult r = feeder.CopyIn(Copy(), {Chunk(accepted * 10, 10)});
        taken = r.Ok();
        if (!taken) {
            ASSERT_EQ(r.Sqlstate(), "53400");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    ASSERT_TRUE(taken);
    Run(feeder, "CLOSE EXTERNAL STREAM " + stream);
    WireResult inserted = main.ReadUntilReady();
    EXPECT_EQ(inserted.tags, std::vector<std::string>{"INSERT 0 " + std::to_string((accepted + 1) * 10)});
    Run(feeder, "DROP EXTERNAL STREAM " + stream);
}

TEST_F(KelvodStreams, ACancelEndsTheInsertionWithNothingInserted) {
    MakeTableAndStream("cancelled");
    main.SendMessage('Q', WireClient::Str(InsertBulk("cancelled")));
    ASSERT_TRUE(feeder.CopyIn(Copy(), {Chunk(0, 3000)}).Ok());
    // As the library does: a cancel request every 100 ms until the statement ends.
    WireResult answer;
    for (int attempt = 0; attempt < 100 && answer.status == 0; ++attempt) {
        ASSERT_TRUE(kelvotest::SendCancel(server->Endpoint(), main.Pid(), main.Key()));
        WireResult part = main.ReadUntilReady(100);
        answer.errors.insert(answer.errors.end(), part.errors.begin(), part.errors.end());
        answer.tags.insert(answer.tags.end(), part.tags.begin(), part.tags.end());
        answer.status = part.status;
    }
    ASSERT_EQ(answer.status, 'I');
    EXPECT_EQ(answer.Sqlstate(), "57014");
    EXPECT_TRUE(answer.tags.empty());
    EXPECT_EQ(main.Query("SELECT count(*) FROM cancelled").Value(), "0");
    // The stream is no longer read: a further chunk fails at once instead of waiting.
    WireResult late = feeder.CopyIn(Copy(), {Chunk(0, 1)});
    EXPECT_EQ(late.Sqlstate(), "55000");
    Run(feeder, "DROP EXTERNAL STREAM IF EXISTS " + stream);
}

TEST_F(KelvodStreams, StreamStatementsReportWhatIsWrongWithTheirStream) {
    MakeTableAndStream("lifecycle");
    struct Case {
        std::string sql;
        const char* sqlstate;  // "" for success
    } cases[] = {
        {"CREATE BOUNDED EXTERNAL STREAM " + stream + " (\"a\" INT)" + kWith, "42P07"},
        {"CREATE BOUNDED EXTERNAL STREAM IF NOT EXISTS " + stream + " (\"a\" INT)" + kWith, ""},
        {"CLOSE EXTERNAL STREAM \"no_such_stream\"", "42P01"},
        {"DROP EXTERNAL STREAM \"no_such_stream\"", "42P01"},
        {"DROP EXTERNAL STREAM IF EXISTS \"no_such_stream\"", ""},
        {"INSERT BULK INTO \"lifecycle\" (\"a\") (SELECT \"a\" FROM EXTERNAL STREAM \"no_such_stream\")", "42P01"},
        {"COPY " + stream + " (\"c\", \"b\", \"a\") FROM STDIN WITH (FORMAT KELVOBINARY)", "0A000"},
        {"CREATE BOUNDED EXTERNAL STREAM \"not_attached\".\"public\".\"s\" (\"a\" INT)" + std::string(kWith), "3F000"},
        {"CREATE BOUNDED EXTERNAL STREAM \"" + database + "\".\"no_such_schema\".\"s\" (\"a\" INT)" + kWith, "3F000"},
        {"CLOSE EXTERNAL STREAM " + stream, ""},
    };
    for (const auto& c : cases) {
        WireResult r = feeder.Query(c.sql);
        if (*c.sqlstate == '\0') {
            EXPECT_TRUE(r.Ok()) << c.sql << ": " << r.Message();
        } else {
            EXPECT_EQ(r.Sqlstate(), c.sqlstate) << c.sql << ": " << r.Message();
        }
    }
    // Closed: no more chunks; an insertion from it ends at once with what it held (nothing).
    WireResult closed = feeder.CopyIn(Copy(), {Chunk(0, 1)});
    EXPECT_EQ(closed.Sqlstate(), "55000");
    WireResult empty = main.Query(InsertBulk("lifecycle"));
    EXPECT_EQ(empty.tags, std::vector<std::string>{"INSERT 0 0"});
    Run(feeder, "DROP EXTERNAL STREAM " + stream);
}

TEST_F(KelvodStreams, DroppingAnUnclosedStreamEndsItsInsertionWithAnError) {
    MakeTableAndStream("dropped");
    main.SendMessage('Q', WireClient::Str(InsertBulk("dropped")));
    // The insertion is sent but may not be reading yet; a drop before it reads
    // would make it find no stream at all. A stream holds four chunks unread,
    // so a fifth one accepted proves the insertion has taken some.
    int accepted = 0;
    for (int attempt = 0; attempt < 500 && accepted < 5; ++attempt) {
        WireResult r = feeder.CopyIn(Copy(), {Chunk(accepted * 10, 10)});
        if (r.Ok()) {
            ++accepted;
        } else {
            ASSERT_EQ(r.Sqlstate(), "53400") << r.Message();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ASSERT_EQ(accepted, 5);
    Run(feeder, "DROP EXTERNAL STREAM " + stream);
    WireResult r = main.ReadUntilReady();
    EXPECT_EQ(r.Sqlstate(), "55000");
    EXPECT_EQ(main.Query("SELECT count(*) FROM dropped").Value(), "0");
}

TEST_F(KelvodStreams, ASessionThatHangsUpTakesItsStreamsAndItsInsertionWithIt) {
    MakeTableAndStream("orphan");
    main.SendMessage('Q', WireClient::Str(InsertBulk("orphan")));
    ASSERT_TRUE(feeder.CopyIn(Copy(), {Chunk(0, 10)}).Ok());
    main.Close();
    // The waiting insertion notices the hang-up and its session drops the stream.
    bool gone = false;
    for (int attempt = 0; attempt < 100 && !gone; ++attempt) {
        gone = feeder.Query("SELECT 1 FROM \"" + database + "\".pg_catalog.pg_class r WHERE r.relname = "
                            "'__Insert_Stream__orphan__' AND r.relkind = 'x'")
                   .rows.empty();
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(gone);
    EXPECT_EQ(feeder.Query("SELECT count(*) FROM orphan").Value(), "0");
}

TEST_F(KelvodStreams, AFeederThatHangsUpMidCopyLosesOnlyItsUnfinishedChunk) {
    MakeTableAndStream("half_fed");
    main.SendMessage('Q', WireClient::Str(InsertBulk("half_fed")));
    ASSERT_TRUE(feeder.CopyIn(Copy(), {Chunk(0, 100)}).Ok());
    // The second chunk is cut off by the feeder's hang-up.
    feeder.SendMessage('Q', WireClient::Str(Copy()));
    ASSERT_EQ(feeder.Read().type, 'G');
    feeder.SendMessage('d', Chunk(100, 100).substr(0, 500));
    feeder.Close();
    // As the inserter does when its stream connection fails: close over a fresh connection.
    WireClient closer;
    ASSERT_EQ(closer.Open(server->Endpoint(), ":main").status, 'I');
    ASSERT_TRUE(closer.Query("CLOSE EXTERNAL STREAM " + stream).Ok());
    WireResult r = main.ReadUntilReady();
    ASSERT_TRUE(r.Ok()) << r.Message();
    EXPECT_EQ(r.tags, std::vector<std::string>{"INSERT 0 100"});
    EXPECT_EQ(main.Query("SELECT count(*), min(a), max(a) FROM half_fed").rows[0],
              (std::vector<std::optional<std::string>>{"100", "0", "99"}));
    ASSERT_TRUE(closer.Query("DROP EXTERNAL STREAM " + stream).Ok());
}

TEST_F(KelvodStreams, TheServerKeepsABoundedNumberOfStreams) {
    auto name = [](size_t i) { return "\"many_" + std::to_string(i) + "\""; };
    size_t created = 0;
    WireResult refused;
    for (size_t i = 0; i < 300; ++i) {
        WireResult r = feeder.Query("CREATE BOUNDED EXTERNAL STREAM " + name(i) + " (\"a\" INT)" + kWith);
        if (!r.Ok()) {
            refused = r;
            break;
        }
        ++created;
    }
    EXPECT_EQ(refused.Sqlstate(), "54000");
    EXPECT_GT(created, 100u);
    // Dropping one makes room for one.
    ASSERT_TRUE(feeder.Query("DROP EXTERNAL STREAM " + name(0)).Ok());
    EXPECT_TRUE(feeder.Query("CREATE BOUNDED EXTERNAL STREAM " + name(created) + " (\"a\" INT)" + kWith).Ok());
    for (size_t i = 1; i <= created; ++i) feeder.Query("DROP EXTERNAL STREAM IF EXISTS " + name(i));
}

TEST_F(KelvodStreams, TheSelectListShapesWhatReachesTheTable) {
    // The stream is always (a INT NOT NULL, b TEXT, c DOUBLE PRECISION); rows 0..9, b NULL on row 0 and 5.
    struct Case {
        const char* table;
        const char* columns;
        const char* select;
        const char* check;     // a query over the table after the load
        const char* expected;  // its value, or the SQLSTATE of the failed insertion
    } cases[] = {
        {"(\"a\" INT NOT NULL, \"b\" TEXT, \"c\" DOUBLE PRECISION)", "\"a\", \"b\", \"c\"", "*",
         "SELECT sum(a) || '/' || count(b) || '/' || sum(c)", "45/8/22.5"},
        {"(\"a\" BIGINT, \"b\" TEXT, \"c\" NUMERIC(18,1))", "\"a\", \"b\", \"c\"", "\"a\", \"b\", \"c\"",
         "SELECT sum(a) || '/' || count(b) || '/' || sum(c)", "45/8/22.5"},
        {"(\"x\" INT, \"y\" TEXT)", "\"y\", \"x\"", "upper(\"b\"), \"a\" * 10",
         "SELECT sum(x) || '/' || min(y)", "450/ROW 1"},
        {"(\"a\" INT NOT NULL, \"b\" TEXT NOT NULL, \"c\" DOUBLE PRECISION)", "\"a\", \"b\", \"c\"",
         "\"a\", \"b\", \"c\"", "SELECT count(*)", "23502"},
    };
    int n = 0;
    for (const auto& c : cases) {
        std::string table = "shaped_" + std::to_string(n++);
        Run(main, "CREATE TABLE \"" + table + "\" " + c.table);
        std::string s = "\"" + table + "_stream\"";
        Run(main, "CREATE BOUNDED EXTERNAL STREAM " + s + " " + kStreamColumns + kWith);
        main.SendMessage('Q', WireClient::Str("INSERT BULK INTO \"" + table + "\" (" + c.columns + ") (SELECT " +
                                              c.select + " FROM EXTERNAL STREAM " + s + ")"));
        ASSERT_TRUE(feeder.CopyIn("COPY " + s + " FROM STDIN WITH (FORMAT KELVOBINARY)", {Chunk(0, 10)}).Ok());
        Run(feeder, "CLOSE EXTERNAL STREAM " + s);
        WireResult r = main.ReadUntilReady();
        Run(feeder, "DROP EXTERNAL STREAM " + s);
        std::string value = main.Query(std::string(c.check) + " FROM \"" + table + "\"").Value();
        if (r.Ok()) {
            EXPECT_EQ(r.tags, std::vector<std::string>{"INSERT 0 10"}) << table;
            EXPECT_EQ(value, c.expected) << table;
        } else {
            EXPECT_EQ(r.Sqlstate(), c.expected) << table << ": " << r.Message();
            EXPECT_EQ(value, "0") << table;
        }
    }
}
