// Inserters against the scripted peer: plain loads in one COPY, bulk loads through a stream with a COPY per chunk, and
// no hang when the stream stays open.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "api/table_definition.h"
#include "kelvo/inserter.h"
#include "kelvo/rowset.h"
#include "postgres/libpq/connect.h"
#include "support/dbapi_peer.h"
#include "support/log_events.h"

namespace {

using namespace kelvotest;
using Script = ScriptedPeer::Script;

constexpr size_t kMain = 0;
constexpr size_t kStream = 1;
constexpr int kInsertGate = 1;

std::string Show(const std::string& name, const std::string& value) {
    return wire::RowDescription({{name, 25, -1, 0}}) + wire::DataRow({value}) + Done("SHOW");
}

// "db"."s".table with a nullable INT "a" and a NOT NULL BOOL "b": database and schema are given, so creating the
// inserter asks the server nothing.
kelvoapi::TableDefinition Target(const std::string& table = "t") {
    kelvoapi::TableDefinition definition("db", "s", table, KELVO_PERMANENT, false);
    definition.AddColumn("a", KELVO_INT, 0, "", true);
    definition.AddColumn("b", KELVO_BOOL, 0, "", false);
    return definition;
}

// Which of Target's columns are NOT NULL, asked before the first plain COPY.
const std::string kNotNull =
    wire::RowDescription({{"attname", 25, -1, 0}}) + wire::DataRow({std::string("b")}) + Done("SELECT 1");

std::string Header() { return std::string("KLVCPY") + std::string(13, '\0'); }
const std::string kRow = Header() + std::string("\x01\x00", 2);
const char* const kCopy = "COPY \"db\".\"s\".\"t\" (\"a\", \"b\") FROM STDIN WITH (FORMAT KELVOBINARY, SANITIZE)";
const std::string kStreamName = "\"db\".\"s\".\"__Insert_Stream__t__\"";

// Starts the peer and connects to it.
kelvo_connection_t* Connect(ScriptedPeer& peer) {
    peer.Start();
    return kelvotest::ConnectTo(peer);
}

// A connection to the peer with an inserter on "db"."s".table.
struct Load {
    explicit Load(ScriptedPeer& peer, bool bulk = false, const std::string& table = "t")
        : definition(Target(table)), conn(Connect(peer)) {
        EXPECT_EQ(ErrorPtr(kelvo_create_inserter(conn, &definition, &inserter)), nullptr);
        if (bulk) {
            EXPECT_EQ(ErrorPtr(kelvo_init_bulk_insert(inserter, &definition, "a, b")), nullptr);
        }
    }
    ErrorPtr Send(const std::string& chunk) const {
        return ErrorPtr(
            kelvo_inserter_insert_chunk(inserter, reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size()));
    }
    ErrorPtr Close(bool insertData = true) const { return ErrorPtr(kelvo_close_inserter(inserter, insertData)); }
    const kelvoapi::TableDefinition definition;
    kelvo_connection_t* const conn;
    kelvo_inserter_t* inserter = nullptr;
};

// Whether every descriptor this process holds on the connection's socket is closed in a program the process executes.
bool EveryCopyIsCloseOnExec(kelvo_connection_t* conn) {
    struct stat socket {};
    EXPECT_EQ(::fstat(PQsocket(conn->Get().GetPGconn()), &socket), 0);
    bool all = true;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename().string());
        struct stat held {};
        all &= !(::fstat(fd, &held) == 0 && held.st_dev == socket.st_dev && held.st_ino == socket.st_ino &&
                 (::fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0);
    }
    return all;
}

void Finish(ScriptedPeer& peer, const Load& load) {
    EXPECT_TRUE(kelvo_connection_is_ready(load.conn));
    kelvotest::Finish(peer, load.conn);
}

// The server's answers to the COPY: refused at opening, refused at the end, or 53400 (retried after 100 ms, never
// reported).
TEST(InserterPlainTest, ServerAnswersToTheCopy) {
    // The answers to the COPY statement(s), then to the end; whether the send fails (else the close), and the error (no
    // SQLSTATE: success).
    const std::string copyIn = wire::CopyInResponse(1, {1, 1});
    const char* missing = "relation \"t\" does not exist";
    const std::tuple<const char*, std::vector<std::string>, bool, std::string, const char*, uint32_t> cases[] = {
        {"refused at opening", {Fail("42P01", missing)}, true, "42P01", missing, 0x25a07c27},
        {"refused at the end", {copyIn, Fail("22P04", "bad copy data")}, false, "22P04", "bad copy data", 0x13f24940},
        {"53400 at opening", {Fail("53400", "too many loads"), copyIn, Done("COPY 1")}, false, "", "", 0}};
    for (const auto& [name, answers, failsAtSend, sqlstate, message, contextId] : cases) {
        SCOPED_TRACE(name);
        kelvotest::LogEvents log;
        ScriptedPeer peer;
        Script& script = NewSession(peer).ExpectMessage('Q').Send(kNotNull);
        for (size_t i = 0; i < answers.size(); ++i)
            script.ExpectMessage(i + 1 == answers.size() && i != 0 ? 'c' : 'Q').Send(answers[i]);
        ExpectDetach(script.ExpectMessage('Q').Send(Done("SELECT 0")));
        Load load(peer);
        const ErrorPtr sent = load.Send(kRow);
        const ErrorPtr closed = load.Close();
        EXPECT_EQ(failsAtSend ? closed : sent, nullptr);
        if (!sqlstate.empty()) {
            ExpectError(failsAtSend ? sent : closed, sqlstate, message, contextId);
        } else {
            EXPECT_EQ(closed, nullptr);
            EXPECT_NE(log.Values("inserter-end").at(0).find(",\"throttled-msec\":100}"), std::string::npos);
        }
        EXPECT_EQ(ErrorPtr(kelvo_execute_command(load.conn, "SELECT 0", nullptr)), nullptr) << "usable again";
        Finish(peer, load);
    }
}

// Refusals leave the load usable: other statements on the busy connection, the switch to bulk mode inside the open
// plain COPY (it would need the main connection, which the COPY holds), and chunks that cannot be sent; later rows
// still arrive, and the COPY ends normally even without insert_data. Then the caller's own COPY on that connection.
TEST(InserterPlainTest, RefusedSwitchChunksAndDefinitionsThenTheCallersCopy) {
    ScriptedPeer peer;
    Script& script = NewSession(peer).ExpectMessage('Q').Send(kNotNull);
    script.ExpectMessage('Q').Send(wire::CopyInResponse(1, {1, 1})).ExpectMessage('c').Send(Done("COPY 1"));
    script.ExpectMessage('Q').Send(wire::CopyInResponse(0, {0})).ExpectMessage('c').Send(Done("COPY 2"));
    script.ExpectMessage('Q').Send(wire::CopyInResponse(0, {0})).ExpectMessage('c').Send(Fail("22P04", "no data"));
    ExpectDetach(script);
    Load load(peer);
    EXPECT_FALSE(kelvo_connection_is_ready(load.conn));
    kelvo_inserter_t* second = nullptr;
    const ErrorPtr busy(kelvo_create_inserter(load.conn, &load.definition, &second));
    ExpectError(busy, "55006", "The connection is not ready.", 0xe9bec0b1);
    EXPECT_EQ(AsError(busy).GetHint(),
              "Make sure that all inserters and results associated with the connection are "
              "closed before attempting a new operation on it.");
    EXPECT_EQ(second, nullptr);
    ExpectError(ErrorPtr(kelvo_copy_data(load.conn, reinterpret_cast<const uint8_t*>("x"), 1)), "55006");
    ExpectError(ErrorPtr(kelvo_copy_end(load.conn)), "55006");
    ASSERT_EQ(load.Send(Header()), nullptr);
    ExpectError(ErrorPtr(kelvo_init_bulk_insert(load.inserter, &load.definition, "*")), "55000");
    // A later chunk shorter than its header cannot be cut to its cells.
    ExpectError(load.Send("KLV"), "22023");
    // Refused before a byte of it is read: its length does not fit the message.
    ExpectError(
        ErrorPtr(kelvo_inserter_insert_chunk(load.inserter, reinterpret_cast<const uint8_t*>("KLV"), size_t{1} << 31)),
        "54000");
    ASSERT_EQ(load.Send(kRow), nullptr);
    EXPECT_EQ(load.Close(false), nullptr);
    kelvoapi::TableDefinition odd("db", "s", "t", KELVO_PERMANENT, false);
    odd.AddColumn("a", KELVO_INT, 0, "", true);
    odd.AddColumn("g\"x", KELVO_UNSUPPORTED, 0, "", true);
    kelvo_inserter_t* inserter = nullptr;
    ExpectError(ErrorPtr(kelvo_create_inserter(load.conn, &odd, &inserter)), "0A000",
                "Cannot create an inserter for the table \"db\".\"s\".\"t\". The column \"g\"\"x\" is of a type "
                "that is not supported.",
                0xefa77244);
    // The caller's own COPY, driven by kelvo_copy_data and kelvo_copy_end.
    ASSERT_EQ(ErrorPtr(kelvo_execute_command(load.conn, "COPY t FROM STDIN", nullptr)), nullptr);
    ASSERT_EQ(ErrorPtr(kelvo_copy_data(load.conn, reinterpret_cast<const uint8_t*>("1\n2\n"), 4)), nullptr);
    ASSERT_EQ(ErrorPtr(kelvo_copy_data(load.conn, nullptr, 0)), nullptr);
    ASSERT_EQ(ErrorPtr(kelvo_copy_end(load.conn)), nullptr);
    ASSERT_EQ(ErrorPtr(kelvo_execute_command(load.conn, "COPY t FROM STDIN", nullptr)), nullptr);
    ExpectError(ErrorPtr(kelvo_copy_end(load.conn)), "22P04");
    Finish(peer, load);
    EXPECT_EQ(Sent(peer, kMain, 'd'), (std::vector<std::string>{Header(), kRow.substr(19), "1\n2\n"}))
        << "later chunks go without their header";
    const std::vector<std::string> statements = Sent(peer, kMain, 'Q');
    ASSERT_EQ(statements.size(), 5u);
    EXPECT_NE(statements[0].find("a.attnotnull AND cl.relname = 't' AND n.nspname = 's'"), std::string::npos);
    EXPECT_EQ(statements[1], kCopy);
    EXPECT_TRUE(Sent(peer, kMain, 'f').empty());
}

// The settings the switch asks the main connection for, answered with `values`.
Script& ScriptShows(Script& main, const std::vector<std::string>& values = {"\"$user\", public", "s", "it's mine"}) {
    const char* names[] = {"search_path", "schema_search_path", "external_client_context"};
    for (size_t i = 0; i < 3; ++i)
        main.ExpectMessage('Q').Send(Show(names[i], values[i]));
    return main;
}

// The main connection's side of the switch, up to the INSERT BULK, which is
// answered with `insertAnswer` once the test opens the insert gate.
void ScriptMain(Script& main, const std::string& insertAnswer) {
    ScriptShows(main).ExpectMessage('Q').Send(Done("CREATE STREAM"));
    ExpectDetach(main.ExpectMessage('Q').Await(kInsertGate).Send(insertAnswer));
}

// The stream connection's start and the three settings. A script is written whole before the next AddConnection, which
// ends its reference.
Script& ScriptStream(ScriptedPeer& peer) {
    Script& stream = NewSession(peer);
    for (int i = 0; i < 3; ++i)
        stream.ExpectMessage('Q').Send(Done("SET"));
    return stream;
}

Script& ScriptChunk(Script& stream) {
    return stream.ExpectMessage('Q').Send(wire::CopyInResponse(1, {1, 1})).ExpectMessage('c').Send(Done("COPY 1"));
}

// The CLOSE of the stream; as on a real server, closing the stream is what
// lets the INSERT BULK end, unless `releasesInsert` is false.
void ScriptStreamClose(Script& stream, const std::string& closeAnswer = Done("CLOSE"), bool releasesInsert = true) {
    stream.ExpectMessage('Q');
    if (releasesInsert)
        stream.OpenGate(kInsertGate);
    ExpectDetach(stream.Send(closeAnswer).ExpectMessage('Q').Send(Done("DROP")));
}

// Cancel requests, one connection each; the first normally ends the load, but a slow machine may need more.
void ScriptCancels(ScriptedPeer& peer) {
    for (int i = 0; i < 50; ++i)
        peer.AddConnection().ExpectMessage(0).Close();
}

// The first chunk is refused with 53400 and sent again, whole, 100 ms later.
TEST(BulkInsertionTest, EveryChunkIsACopyOfItsOwnIntoTheStream) {
    kelvotest::LogEvents log;
    ScriptedPeer peer;
    ScriptMain(NewSession(peer), Done("INSERT 0 2"));
    Script& stream = ScriptStream(peer);
    stream.ExpectMessage('Q').Send(wire::CopyInResponse(1, {1, 1})).ExpectMessage('c').Send(Fail("53400", "full"));
    ScriptStreamClose(ScriptChunk(ScriptChunk(stream)));
    Load load(peer, true);
    EXPECT_FALSE(kelvo_connection_is_ready(load.conn)) << "the settings queries must not free the connection";
    ASSERT_EQ(ErrorPtr(kelvo_init_bulk_insert(load.inserter, &load.definition, "*")), nullptr) << "a no-op";
    EXPECT_TRUE(EveryCopyIsCloseOnExec(load.conn));
    const std::string first = Header() + std::string("\x00\x07\x00\x00\x00\x01", 6);
    ASSERT_EQ(load.Send(first), nullptr);
    ASSERT_EQ(load.Send(kRow), nullptr);
    // The load's own connection belongs to the bulk task until the close.
    ExpectError(ErrorPtr(kelvo_insert_computed_expressions(load.inserter, "1, true")), "55006");
    ASSERT_EQ(load.Close(), nullptr);
    Finish(peer, load);
    const std::string streamCopy = "COPY " + kStreamName + " FROM STDIN WITH (FORMAT KELVOBINARY, SANITIZE)";
    EXPECT_EQ(
        Sent(peer, kMain, 'Q'),
        (std::vector<std::string>{
            "SHOW search_path", "SHOW schema_search_path", "SHOW external_client_context",
            "CREATE BOUNDED EXTERNAL STREAM " + kStreamName +
                " (\"a\" INT, \"b\" BOOLEAN NOT NULL)  (WITH (FORMAT KELVOBINARY, SANITIZE));",
            "INSERT BULK INTO \"db\".\"s\".\"t\" (\"a\", \"b\") (SELECT a, b FROM EXTERNAL STREAM " + kStreamName + ")",
            "DETACH DATABASE *"}));
    EXPECT_EQ(Sent(peer, kStream, 'Q'),
              (std::vector<std::string>{"SET search_path = \"$user\", public", "SET schema_search_path = s",
                                        "SET external_client_context = 'it''s mine'", streamCopy, streamCopy,
                                        streamCopy, "CLOSE EXTERNAL STREAM " + kStreamName,
                                        "DROP EXTERNAL STREAM IF EXISTS " + kStreamName, "DETACH DATABASE *"}));
    EXPECT_EQ(Sent(peer, kStream, 'd'), (std::vector<std::string>{first, first, kRow})) << "headers kept";
    const auto end = log.Values("inserter-end");
    ASSERT_EQ(end.size(), 1u);
    EXPECT_NE(end[0].find(",\"chunk-count\":2,\"byte-count\":46"), std::string::npos) << end[0];
    EXPECT_NE(end[0].find(",\"bulk\":\"true\",\"throttled-msec\":100}"), std::string::npos) << end[0];
}

TEST(BulkInsertionTest, ATakenStreamNameIsProbedForAFreeOne) {
    ScriptedPeer peer;
    Script& main = ScriptShows(NewSession(peer), {"main", "s", ""});
    const std::string one = wire::RowDescription({{"?column?", 23, 4, 0}});
    main.ExpectMessage('Q').Send(Fail("42P07", "stream exists"));
    main.ExpectMessage('Q').Send(one + wire::DataRow({"1"}) + Done("SELECT 1"));
    main.ExpectMessage('Q').Send(one + Done("SELECT 0")).ExpectMessage('Q').Send(Done("CREATE STREAM"));
    ExpectDetach(main.ExpectMessage('Q').Await(kInsertGate).Send(Done("INSERT 0 0")));
    ScriptStreamClose(ScriptStream(peer));
    Load load(peer, true, "my\"table");
    ASSERT_EQ(load.Close(), nullptr);
    Finish(peer, load);
    const std::string create = "CREATE BOUNDED EXTERNAL STREAM \"db\".\"s\".\"__Insert_Stream__mytable__";
    const std::string columns = " (\"a\" INT, \"b\" BOOLEAN NOT NULL)  (WITH (FORMAT KELVOBINARY, SANITIZE));";
    const std::string probe =
        "SELECT 1 FROM \"db\".pg_catalog.pg_class r WHERE r.relname = '__Insert_Stream__mytable__";
    const auto queries = Sent(peer, kMain, 'Q');
    ASSERT_EQ(queries.size(), 9u);
    EXPECT_EQ(std::vector<std::string>(queries.begin() + 3, queries.begin() + 8),
              (std::vector<std::string>{create + "\"" + columns, probe + "0__' AND r.relkind = 'x'",
                                        probe + "1__' AND r.relkind = 'x'", create + "1__\"" + columns,
                                        "INSERT BULK INTO \"db\".\"s\".\"my\"\"table\" (\"a\", \"b\") (SELECT a, b "
                                        "FROM EXTERNAL STREAM \"db\".\"s\".\"__Insert_Stream__mytable__1__\")"}));
    EXPECT_EQ(Sent(peer, kStream, 'Q')[3], "CLOSE EXTERNAL STREAM \"db\".\"s\".\"__Insert_Stream__mytable__1__\"");
}

TEST(BulkInsertionTest, TheCloseReportsWhatEndedTheInsertionAndDropsTheStream) {
    // Whether the close inserts the data, the INSERT BULK's answer and what the close reports (empty: success), whether
    // the statement ends before the close.
    const std::tuple<const char*, bool, std::string, std::string, bool> cases[] = {
        {"the statement fails", true, "23505", "23505", false},
        {"the caller cancels", false, "57014", "", false},
        {"the caller cancels a finished load", false, "", "", true},
        // It read only part of what was sent: never a success.
        {"the statement ends before the stream is closed", true, "", "55000", true}};
    for (const auto& [name, insertData, insertSqlstate, reportedSqlstate, endsEarly] : cases) {
        SCOPED_TRACE(name);
        ScriptedPeer peer;
        ScriptMain(NewSession(peer),
                   insertSqlstate.empty() ? Done("INSERT 0 1") : Fail(insertSqlstate.c_str(), "insert failed"));
        ScriptStreamClose(ScriptChunk(ScriptStream(peer)));
        if (!insertData)
            ScriptCancels(peer);
        Load load(peer, true);
        ASSERT_EQ(load.Send(kRow), nullptr);
        peer.Open(kInsertGate);
        if (endsEarly)
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const ErrorPtr closed = load.Close(insertData);
        if (reportedSqlstate.empty()) {
            EXPECT_EQ(closed, nullptr) << kelvoapi::ToString(AsError(closed));
        } else {
            ExpectError(closed, reportedSqlstate, endsEarly ? "" : "insert failed");
        }
        Finish(peer, load);
        const auto queries = Sent(peer, kStream, 'Q');
        ASSERT_GE(queries.size(), 3u);
        EXPECT_EQ(queries[queries.size() - 2], "DROP EXTERNAL STREAM IF EXISTS " + kStreamName);
    }
}

// When the stream cannot be closed, the INSERT BULK would wait for it without end; the close cancels it instead of
// hanging: with the stream connection lost, and with its CLOSE refused and no second connection to be had.
TEST(BulkInsertionTest, AStreamThatCannotBeClosedEndsTheLoadWithoutHanging) {
    for (const bool lost : {true, false}) {
        SCOPED_TRACE(lost ? "stream connection lost" : "CLOSE refused, no clone");
        ScriptedPeer peer;
        ScriptMain(NewSession(peer), Fail("57014", "canceling statement"));
        if (lost) {
            ScriptStream(peer).Close();
        } else {
            ScriptStreamClose(ScriptStream(peer), Fail("55000", "stream busy"), false);
            peer.AddConnection().ExpectMessage(0).Send(
                wire::ErrorResponse({{'S', "FATAL"}, {'C', "53300"}, {'M', "too many clients"}}));
        }
        ScriptCancels(peer);
        const size_t firstCancel = lost ? 2 : 3;
        Load load(peer, true);
        // The first cancel request lets the INSERT BULK end; the peer must have started, or no connection would count
        // as closed yet.
        std::thread releaser([&] {
            peer.WaitForClose(firstCancel);
            peer.Open(kInsertGate);
        });
        if (lost) {
            peer.WaitForClose(kStream);
            EXPECT_NE(load.Send(kRow), nullptr);
        }
        const ErrorPtr closed = load.Close();
        if (lost) {
            ExpectError(closed, "08006", "Insert failed: The internal connection is in a bad state.", 0xd406b94f);
        } else {
            ExpectError(closed, "08001", "Cloning the connection failed.");
        }
        EXPECT_TRUE(kelvo_connection_is_ready(load.conn));
        releaser.join();
        kelvo_disconnect(load.conn);
        peer.Stop();
    }
}

// A server that answers no cancel request: the close waits a bounded time, then cuts the task's connection, and returns
// with the connection ready.
TEST(BulkInsertionTest, ACancelThatNeverTakesEffectEndsWithinItsBound) {
    ScriptedPeer peer;
    ScriptShows(NewSession(peer), {"x", "x", "x"})
        .ExpectMessage('Q')
        .Send(Done("CREATE STREAM"))
        .ExpectMessage('Q')
        .Await(99);
    ScriptStreamClose(ScriptStream(peer), Done("CLOSE"), false);
    for (int i = 0; i < 100; ++i)
        peer.AddConnection().ExpectMessage(0).Close();
    Load load(peer, true);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(load.Close(false), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    EXPECT_TRUE(kelvo_connection_is_ready(load.conn));
    EXPECT_EQ(kelvo_connection_status(load.conn), KELVO_CONNECTION_BAD) << "cut, not left waiting";
    kelvo_disconnect(load.conn);
    peer.Stop();
}

// The inserter keeps its own copy of the definition, and a buffer keeps its inserter: freeing the definition early, or
// closing the inserter before its buffer, leaves a refusal (55000) where memory would have been freed.
TEST(BulkInsertionTest, DefinitionAndInserterOutliveTheirCallersHandles) {
    ScriptedPeer peer;
    ScriptMain(NewSession(peer), Done("INSERT 0 0"));
    ScriptStreamClose(ScriptStream(peer));
    kelvo_connection_t* conn = Connect(peer);
    auto* definition = new kelvoapi::TableDefinition(Target());
    kelvo_inserter_t* inserter = nullptr;
    ASSERT_EQ(ErrorPtr(kelvo_create_inserter(conn, definition, &inserter)), nullptr);
    kelvo_inserter_buffer_t* buffer = nullptr;
    ASSERT_EQ(ErrorPtr(kelvo_create_inserter_buffer(inserter, definition, "a, b", &buffer)), nullptr);
    delete definition;
    const kelvoapi::TableDefinition stream = Target();
    ASSERT_EQ(ErrorPtr(kelvo_init_bulk_insert(inserter, &stream, "a, b")), nullptr);
    ASSERT_EQ(ErrorPtr(kelvo_close_inserter(inserter, true)), nullptr);
    EXPECT_TRUE(kelvo_connection_is_ready(conn));
    ASSERT_EQ(ErrorPtr(kelvo_inserter_buffer_add_int32(buffer, 1)), nullptr);
    ExpectError(ErrorPtr(kelvo_inserter_buffer_flush(buffer)), "55000", "The inserter is closed.");
    kelvo_disconnect(conn);
    kelvo_inserter_buffer_destroy(buffer);
    peer.Stop();
    EXPECT_TRUE(peer.Errors().empty());
    EXPECT_EQ(
        Sent(peer, kMain, 'Q').at(4),
        "INSERT BULK INTO \"db\".\"s\".\"t\" (\"a\", \"b\") (SELECT a, b FROM EXTERNAL STREAM " + kStreamName + ")");
}

TEST(BulkInsertionTest, ComputedExpressionsRunOneInsertWithoutAStream) {
    kelvotest::LogEvents log;
    ScriptedPeer peer;
    ExpectDetach(NewSession(peer).ExpectMessage('Q').Send(Done("INSERT 0 1")));
    // The table name is caller text inside the log's JSON: it must stay one string.
    Load load(peer, false, "t\"1\\");
    ASSERT_EQ(ErrorPtr(kelvo_insert_computed_expressions(load.inserter, "1, true")), nullptr);
    EXPECT_FALSE(kelvo_connection_is_ready(load.conn));
    ASSERT_EQ(load.Close(), nullptr);
    Finish(peer, load);
    EXPECT_EQ(Sent(peer, kMain, 'Q'),
              (std::vector<std::string>{"INSERT BULK INTO \"db\".\"s\".\"t\"\"1\\\" (\"a\", \"b\") (SELECT 1, true)",
                                        "DETACH DATABASE *"}));
    EXPECT_EQ(log.Values("inserter-begin"), std::vector<std::string>{"{\"table-name\":\"t\\\"1\\\\\"}"});
    EXPECT_EQ(log.Values("inserter-end"), std::vector<std::string>{"{\"table-name\":\"t\\\"1\\\\\"}"});
}

}  // namespace
