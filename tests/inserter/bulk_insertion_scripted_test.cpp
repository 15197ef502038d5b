// Bulk loads against the scripted peer: the switch (cloned stream connection,
// settings carried over, the external stream and its name probe, the INSERT
// BULK task), one COPY per chunk with its header, back-off on 53400, the
// close with and without data, and the task's failure reported at the close.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "api/connection.h"
#include "api/table_definition.h"
#include "error/error.h"
#include "kelvo/connection.h"
#include "kelvo/inserter.h"
#include "kelvo/log.h"
#include "kelvo/rowset.h"
#include "support/log_events.h"
#include "support/scripted_peer.h"

namespace {

using kelvotest::ScriptedPeer;
namespace wire = kelvotest::wire;
using Script = ScriptedPeer::Script;

constexpr size_t kMain = 0;
constexpr size_t kStream = 1;
constexpr int kInsertGate = 1;

std::string Startup() { return wire::AuthenticationOk() + wire::BackendKeyData(7, 99) + wire::ReadyForQuery(); }
std::string Done(const std::string& tag) { return wire::CommandComplete(tag) + wire::ReadyForQuery(); }

Script& ExpectDetach(Script& script) { return script.ExpectMessage('Q').Send(Done("DETACH")); }

std::string Show(const std::string& name, const std::string& value) {
    return wire::RowDescription({{name, 25, -1, 0}}) + wire::DataRow({value}) + Done("SHOW");
}

kelvo_connection_t* Connect(const ScriptedPeer& peer) {
    kelvoapi::Parameters parameters;
    parameters.Set("host", peer.SocketDirectory());
    parameters.Set("port", std::to_string(ScriptedPeer::kUnixPort));
    return new kelvo_connection_t(std::make_shared<kelvoapi::Connection>(parameters, KELVO_DO_NOT_CREATE));
}

struct ErrorFree {
    void operator()(kelvo_error_t* e) const { kelvo_error_destroy(e); }
};
using ErrorPtr = std::unique_ptr<kelvo_error_t, ErrorFree>;
const kelvoapi::Error& AsError(const ErrorPtr& e) { return *static_cast<const kelvoapi::Error*>(e.get()); }


kelvoapi::TableDefinition Target(const std::string& table) {
    kelvoapi::TableDefinition definition("db", "s", table, KELVO_PERMANENT, false);
    definition.AddColumn("a", KELVO_INT, 0, "", true);
    definition.AddColumn("b", KELVO_BOOL, 0, "", false);
    return definition;
}

std::string Header() { return std::string("KLVCPY") + std::string(13, '\0'); }

std::vector<std::string> Queries(const ScriptedPeer& peer, size_t connection) {
    std::vector<std::string> texts;
    for (const auto& m : peer.Messages(connection)) {
        if (m.type == 'Q') texts.push_back(m.body.substr(0, m.body.find('\0')));
    }
    return texts;
}

std::vector<std::string> CopyMessages(const ScriptedPeer& peer, size_t connection) {
    std::vector<std::string> bodies;
    for (const auto& m : peer.Messages(connection)) {
        if (m.type == 'd') bodies.push_back(m.body);
    }
    return bodies;
}

// The main connection's side of the switch, up to the INSERT BULK, which is
// answered with `insertAnswer` once the test opens the insert gate.
void ScriptMain(Script& main, const std::string& insertAnswer) {
    main.ExpectMessage(0).Send(Startup());
    main.ExpectMessage('Q').Send(Show("search_path", "\"$user\", public"));
    main.ExpectMessage('Q').Send(Show("schema_search_path", "s"));
    main.ExpectMessage('Q').Send(Show("external_client_context", "it's mine"));
    main.ExpectMessage('Q').Send(Done("CREATE STREAM"));
    main.ExpectMessage('Q').Await(kInsertGate).Send(insertAnswer);
    ExpectDetach(main);
}

// The stream connection's start and the three settings. AddConnection's
// references last only until the next AddConnection, so each script is
// written whole before the next is added.
Script& ScriptStream(ScriptedPeer& peer) {
    Script& stream = peer.AddConnection();
    stream.ExpectMessage(0).Send(Startup());
    for (int i = 0; i < 3; ++i) stream.ExpectMessage('Q').Send(Done("SET"));
    return stream;
}

void ScriptChunk(Script& stream) {
    stream.ExpectMessage('Q').Send(wire::CopyInResponse(1, {1, 1}));
    stream.ExpectMessage('c').Send(Done("COPY 1"));
}

void ScriptStreamClose(Script& stream) {
    stream.ExpectMessage('Q').Send(Done("CLOSE"));
    stream.ExpectMessage('Q').Send(Done("DROP"));
    ExpectDetach(stream);
}

ErrorPtr Send(kelvo_inserter_t* inserter, const std::string& chunk) {
    return ErrorPtr(kelvo_inserter_insert_chunk(inserter, reinterpret_cast<const uint8_t*>(chunk.data()),
                                                chunk.size()));
}

const char* const kStreamName = "\"db\".\"s\".\"__Insert_Stream__t__\"";

TEST(BulkInsertionTest, EveryChunkIsACopyOfItsOwnIntoTheStream) {
    kelvotest::LogEvents log;
    ScriptedPeer peer;
    ScriptMain(peer.AddConnection(), Done("INSERT 0 2"));
    Script& stream = ScriptStream(peer);
    ScriptChunk(stream);
    ScriptChunk(stream);
    ScriptStreamClose(stream);
    peer.Start();

    kelvo_connection_t* conn = Connect(peer);
    const kelvoapi::TableDefinition definition = Target("t");
    kelvo_inserter_t* inserter = nullptr;
    ASSERT_EQ(ErrorPtr(kelvo_create_inserter(conn, &definition, &inserter)), nullptr);
    ASSERT_EQ(ErrorPtr(kelvo_init_bulk_insert(inserter, &definition, "a, b")), nullptr);
    EXPECT_FALSE(kelvo_connection_is_ready(conn)) << "the settings queries must not free the connection";
    ASSERT_EQ(ErrorPtr(kelvo_init_bulk_insert(inserter, &definition, "a, b")), nullptr) << "a second switch is no-op";
    const std::string first = Header() + std::string("\x00\x07\x00\x00\x00\x01", 6);
    const std::string second = Header() + std::string("\x01\x00", 2);
    ASSERT_EQ(Send(inserter, first), nullptr);
    ASSERT_EQ(Send(inserter, second), nullptr);
    EXPECT_FALSE(kelvo_connection_is_ready(conn));
    peer.Open(kInsertGate);
    ASSERT_EQ(ErrorPtr(kelvo_close_inserter(inserter, true)), nullptr);
    EXPECT_TRUE(kelvo_connection_is_ready(conn));
    kelvo_disconnect(conn);
    peer.Stop();
    EXPECT_TRUE(peer.Errors().empty());

    const std::string streamCopy = std::string("COPY ") + kStreamName + " FROM STDIN WITH (FORMAT KELVOBINARY, SANITIZE)";
    EXPECT_EQ(Queries(peer, kMain),
              (std::vector<std::string>{
                  "SHOW search_path", "SHOW schema_search_path", "SHOW external_client_context",
                  std::string("CREATE BOUNDED EXTERNAL STREAM ") + kStreamName + " (\"a\" INT, \"b\" BOOLEAN NOT NULL)  (WITH (FORMAT KELVOBINARY, SANITIZE));",
                  std::string("INSERT BULK INTO \"db\".\"s\".\"t\" (\"a\", \"b\") (SELECT a, b FROM EXTERNAL STREAM ") +
                      kStreamName + ")",
                  "DETACH DATABASE *"}));
    EXPECT_EQ(Queries(peer, kStream),
              (std::vector<std::string>{"SET search_path = \"$user\", public", "SET schema_search_path = s",
                                        "SET external_client_context = 'it''s mine'", streamCopy, streamCopy,
                                        std::string("CLOSE EXTERNAL STREAM ") + kStreamName,
                                        std::string("DROP EXTERNAL STREAM IF EXISTS ") + kStreamName,
                                        "DETACH DATABASE *"}));
    EXPECT_EQ(CopyMessages(peer, kStream), (std::vector<std::string>{first, second})) << "headers kept";
    EXPECT_TRUE(CopyMessages(peer, kMain).empty());
    const auto end = log.Values("inserter-end");
    ASSERT_EQ(end.size(), 1u);
    EXPECT_NE(end[0].find(",\"chunk-count\":2,\"byte-count\":46"), std::string::npos) << end[0];
    EXPECT_NE(end[0].find(",\"bulk\":\"true\""), std::string::npos) << end[0];
}

TEST(BulkInsertionTest, ATakenStreamNameIsProbedForAFreeOne) {
    ScriptedPeer peer;
    Script& main = peer.AddConnection();
    main.ExpectMessage(0).Send(Startup());
    main.ExpectMessage('Q').Send(Show("search_path", "main"));
    main.ExpectMessage('Q').Send(Show("schema_search_path", "s"));
    main.ExpectMessage('Q').Send(Show("external_client_context", ""));
    main.ExpectMessage('Q').Send(
        wire::ErrorResponse({{'S', "ERROR"}, {'C', "42P07"}, {'M', "stream exists"}}) + wire::ReadyForQuery());
    main.ExpectMessage('Q').Send(wire::RowDescription({{"?column?", 23, 4, 0}}) + wire::DataRow({"1"}) +
                                 Done("SELECT 1"));
    main.ExpectMessage('Q').Send(wire::RowDescription({{"?column?", 23, 4, 0}}) + Done("SELECT 0"));
    main.ExpectMessage('Q').Send(Done("CREATE STREAM"));
    main.ExpectMessage('Q').Await(kInsertGate).Send(Done("INSERT 0 0"));
    ExpectDetach(main);
    ScriptStreamClose(ScriptStream(peer));
    peer.Start();

    kelvo_connection_t* conn = Connect(peer);
    const kelvoapi::TableDefinition definition = Target("my\"table");
    kelvo_inserter_t* inserter = nullptr;
    ASSERT_EQ(ErrorPtr(kelvo_create_inserter(conn, &definition, &inserter)), nullptr);
    ASSERT_EQ(ErrorPtr(kelvo_init_bulk_insert(inserter, &definition, "*")), nullptr);
    peer.Open(kInsertGate);
    ASSERT_EQ(ErrorPtr(kelvo_close_inserter(inserter, true)), nullptr);
    kelvo_disconnect(conn);
    peer.Stop();
    EXPECT_TRUE(peer.Errors().empty());
    const auto queries = Queries(peer, kMain);
    ASSERT_EQ(queries.size(), 9u);
    EXPECT_EQ(queries[3], "CREATE BOUNDED EXTERNAL STREAM \"db\".\"s\".\"__Insert_Stream__mytable__\" (\"a\" INT, \"b\" "
                          "BOOLEAN NOT NULL)  (WITH (FORMAT KELVOBINARY, SANITIZE));");
    EXPECT_EQ(queries[4], "SELECT 1 FROM \"db\".pg_catalog.pg_class r WHERE r.relname = "
                          "'__Insert_Stream__mytable__0__' AND r.relkind = 'x'");
    EXPECT_EQ(queries[5], "SELECT 1 FROM \"db\".pg_catalog.pg_class r WHERE r.relname = "
                          "'__Insert_Stream__mytable__1__' AND r.relkind = 'x'");
    EXPECT_EQ(queries[6], "CREATE BOUNDED EXTERNAL STREAM \"db\".\"s\".\"__Insert_Stream__mytable__1__\" (\"a\" INT, "
                          "\"b\" BOOLEAN NOT NULL)  (WITH (FORMAT KELVOBINARY, SANITIZE));");
    EXPECT_EQ(queries[7], "INSERT BULK INTO \"db\".\"s\".\"my\"\"table\" (\"a\", \"b\") (SELECT * FROM EXTERNAL "
                          "STREAM \"db\".\"s\".\"__Insert_Stream__mytable__1__\")");
    EXPECT_EQ(Queries(peer, kStream)[3], "CLOSE EXTERNAL STREAM \"db\".\"s\".\"__Insert_Stream__mytable__1__\"");
}

TEST(BulkInsertionTest, AChunkRefusedWith53400IsSentAgainWhole) {
    kelvotest::LogEvents log;
    ScriptedPeer peer;
    ScriptMain(peer.AddConnection(), Done("INSERT 0 1"));
    Script& stream = ScriptStream(peer);
    stream.ExpectMessage('Q').Send(wire::CopyInResponse(1, {1, 1}));
    stream.ExpectMessage('c').Send(
        wire::ErrorResponse({{'S', "ERROR"}, {'C', "53400"}, {'M', "stream is full"}}) + wire::ReadyForQuery());
    ScriptChunk(stream);
    ScriptStreamClose(stream);
    peer.Start();

    kelvo_connection_t* conn = Connect(peer);
    const kelvoapi::TableDefinition definition = Target("t");
    kelvo_inserter_t* inserter = nullptr;
    ASSERT_EQ(ErrorPtr(kelvo_create_inserter(conn, &definition, &inserter)), nullptr);
    ASSERT_EQ(ErrorPtr(kelvo_init_bulk_insert(inserter, &definition, "a, b")), nullptr);
    const std::string chunk = Header() + std::string("\x01\x01", 2);
    ASSERT_EQ(Send(inserter, chunk), nullptr);
    peer.Open(kInsertGate);
    ASSERT_EQ(ErrorPtr(kelvo_close_inserter(inserter, true)), nullptr);
    kelvo_disconnect(conn);
    peer.Stop();
    EXPECT_TRUE(peer.Errors().empty());
    EXPECT_EQ(CopyMessages(peer, kStream), (std::vector<std::string>{chunk, chunk}));
    const auto end = log.Values("inserter-end");
    ASSERT_EQ(end.size(), 1u);
    EXPECT_NE(end[0].find(",\"chunk-count\":1,"), std::string::npos) << end[0];
    EXPECT_NE(end[0].find(",\"throttled-msec\":100}"), std::string::npos) << end[0];
}

TEST(BulkInsertionTest, TheCloseReportsWhatEndedTheInsertion) {
    struct Case {
        const char* name;
        bool insertData;
        const char* insertSqlstate;  // the INSERT BULK's answer; empty: success
        const char* reportedSqlstate;  // empty: the close succeeds
    };
    const Case cases[] = {
        {"the statement fails", true, "23505", "23505"},
        {"the caller cancels", false, "57014", ""},
        {"the caller cancels a finished load", false, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPeer peer;
        const std::string answer =
            *c.insertSqlstate == '\0'
                ? Done("INSERT 0 1")
                : wire::ErrorResponse({{'S', "ERROR"}, {'C', c.insertSqlstate}, {'M', "insert failed"}}) +
                      wire::ReadyForQuery();
        ScriptMain(peer.AddConnection(), answer);
        Script& stream = ScriptStream(peer);
        ScriptChunk(stream);
        ScriptStreamClose(stream);
        if (!c.insertData) {
            // Cancel requests, one connection each; the load ends after the
            // first, but a slow machine may need another.
            for (int i = 0; i < 50; ++i) peer.AddConnection().ExpectMessage(0).Close();
        }
        peer.Start();

        kelvo_connection_t* conn = Connect(peer);
        const kelvoapi::TableDefinition definition = Target("t");
        kelvo_inserter_t* inserter = nullptr;
        ASSERT_EQ(ErrorPtr(kelvo_create_inserter(conn, &definition, &inserter)), nullptr);
        ASSERT_EQ(ErrorPtr(kelvo_init_bulk_insert(inserter, &definition, "a, b")), nullptr);
        ASSERT_EQ(Send(inserter, Header() + std::string("\x01\x01", 2)), nullptr);
        peer.Open(kInsertGate);
        const ErrorPtr closed(kelvo_close_inserter(inserter, c.insertData));
        if (*c.reportedSqlstate == '\0') {
            EXPECT_EQ(closed, nullptr) << kelvoapi::ToString(AsError(closed));
        } else {
            ASSERT_NE(closed, nullptr);
            EXPECT_EQ(AsError(closed).GetSqlstate(), c.reportedSqlstate);
            EXPECT_EQ(AsError(closed).GetMessage(), "insert failed");
        }
        EXPECT_TRUE(kelvo_connection_is_ready(conn));
        kelvo_disconnect(conn);
        peer.Stop();
        EXPECT_TRUE(peer.Errors().empty());
        const auto streamQueries = Queries(peer, kStream);
        ASSERT_GE(streamQueries.size(), 3u);
        EXPECT_EQ(streamQueries[streamQueries.size() - 2], std::string("DROP EXTERNAL STREAM IF EXISTS ") + kStreamName)
            << "the stream is dropped on every way out";
    }
}

// When the stream connection is lost the close cannot close the stream, so
// the INSERT BULK would wait for it without end; the inserter cancels it
// instead of hanging.
TEST(BulkInsertionTest, ALostStreamConnectionEndsTheLoadWithoutHanging) {
    ScriptedPeer peer;
    ScriptMain(peer.AddConnection(),
               wire::ErrorResponse({{'S', "ERROR"}, {'C', "57014"}, {'M', "canceled"}}) + wire::ReadyForQuery());
    ScriptStream(peer).Close();
    for (int i = 0; i < 50; ++i) peer.AddConnection().ExpectMessage(0).Close();
    peer.Start();
    // The first cancel request lets the INSERT BULK end.
    std::thread releaser([&] {
        peer.WaitForClose(2);
        peer.Open(kInsertGate);
    });

    kelvo_connection_t* conn = Connect(peer);
    const kelvoapi::TableDefinition definition = Target("t");
    kelvo_inserter_t* inserter = nullptr;
    ASSERT_EQ(ErrorPtr(kelvo_create_inserter(conn, &definition, &inserter)), nullptr);
    ASSERT_EQ(ErrorPtr(kelvo_init_bulk_insert(inserter, &definition, "a, b")), nullptr);
    peer.WaitForClose(kStream);
    EXPECT_NE(Send(inserter, Header() + std::string("\x01\x01", 2)), nullptr);
    const ErrorPtr closed(kelvo_close_inserter(inserter, true));
    ASSERT_NE(closed, nullptr);
    EXPECT_EQ(AsError(closed).GetSqlstate(), "08006");
    EXPECT_EQ(AsError(closed).GetMessage(), "Insert failed: The internal connection is in a bad state.");
    EXPECT_EQ(AsError(closed).GetContextId().value, 0xd406b94fu);
    EXPECT_TRUE(kelvo_connection_is_ready(conn));
    releaser.join();
    kelvo_disconnect(conn);
    peer.Stop();
}

TEST(BulkInsertionTest, ComputedExpressionsRunOneInsertWithoutAStream) {
    ScriptedPeer peer;
    Script& main = peer.AddConnection();
    main.ExpectMessage(0).Send(Startup());
    main.ExpectMessage('Q').Send(Done("INSERT 0 1"));
    main.ExpectMessage('Q').Send(
        wire::ErrorResponse({{'S', "ERROR"}, {'C', "22012"}, {'M', "division by zero"}}) + wire::ReadyForQuery());
    ExpectDetach(main);
    peer.Start();
    kelvo_connection_t* conn = Connect(peer);
    const kelvoapi::TableDefinition definition = Target("t");
    kelvo_inserter_t* inserter = nullptr;
    ASSERT_EQ(ErrorPtr(kelvo_create_inserter(conn, &definition, &inserter)), nullptr);
    ASSERT_EQ(ErrorPtr(kelvo_insert_computed_expressions(inserter, "1, true")), nullptr);
    const ErrorPtr failed(kelvo_insert_computed_expressions(inserter, "1/0, true"));
    ASSERT_NE(failed, nullptr);
    EXPECT_EQ(AsError(failed).GetSqlstate(), "22012");
    const ErrorPtr noList(kelvo_insert_computed_expressions(inserter, nullptr));
    ASSERT_NE(noList, nullptr);
    EXPECT_EQ(AsError(noList).GetCode(), std::errc::invalid_argument);
    EXPECT_FALSE(kelvo_connection_is_ready(conn));
    ASSERT_EQ(ErrorPtr(kelvo_close_inserter(inserter, true)), nullptr);
    kelvo_disconnect(conn);
    peer.Stop();
    EXPECT_TRUE(peer.Errors().empty());
    EXPECT_EQ(Queries(peer, kMain),
              (std::vector<std::string>{"INSERT BULK INTO \"db\".\"s\".\"t\" (\"a\", \"b\") (SELECT 1, true)",
                                        "INSERT BULK INTO \"db\".\"s\".\"t\" (\"a\", \"b\") (SELECT 1/0, true)",
                                        "DETACH DATABASE *"}));
}

}  // namespace
