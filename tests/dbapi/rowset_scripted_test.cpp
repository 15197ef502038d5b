// Connections and rowsets against the scripted peer: chunk boundaries with and
// without prefetching, errors in and before the rows, the busy rule, closing
// with unread rows, notices, COPY OUT data, and closing a dead connection.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "api/connection.h"
#include "api/rowset.h"
#include "error/error.h"
#include "kelvo/connection.h"
#include "kelvo/log.h"
#include "kelvo/rowset.h"
#include "kelvo/string_list.h"
#include "kelvo/types.h"
#include "postgres/libpq/connection_record.h"
#include "support/scripted_peer.h"

namespace {

using kelvotest::ScriptedPeer;
namespace wire = kelvotest::wire;

std::string Startup() { return wire::AuthenticationOk() + wire::BackendKeyData(7, 99) + wire::ReadyForQuery(); }

// The DETACH that closing a live connection sends, and its answer.
ScriptedPeer::Script& ExpectDetach(ScriptedPeer::Script& script) {
    return script.ExpectMessage('Q').Send(wire::CommandComplete("DETACH") + wire::ReadyForQuery());
}

// Rows 0..count-1 of one text column "n", then the command tag.
std::string Rows(int count) {
    std::string bytes = wire::RowDescription({{"n", 23, 4, 0}});
    for (int i = 0; i < count; ++i) {
        bytes += wire::DataRow({std::to_string(i)});
    }
    return bytes;
}

std::string Query(int rows) {
    return Rows(rows) + wire::CommandComplete("SELECT " + std::to_string(rows)) + wire::ReadyForQuery();
}

kelvo_connection_t* Connect(const ScriptedPeer& peer) {
    kelvoapi::Parameters parameters;
    parameters.Set("host", peer.SocketDirectory());
    parameters.Set("port", std::to_string(ScriptedPeer::kUnixPort));
    return new kelvo_connection_t(std::make_shared<kelvoapi::Connection>(parameters, KELVO_DO_NOT_CREATE));
}

// Ends `script` with the DETACH of a clean close, starts the peer and
// connects to it.
kelvo_connection_t* StartAndConnect(ScriptedPeer& peer, ScriptedPeer::Script& script) {
    ExpectDetach(script);
    peer.Start();
    return Connect(peer);
}

// Disconnects, stops the peer and checks that it saw what it expected.
void Finish(ScriptedPeer& peer, kelvo_connection_t* conn) {
    kelvo_disconnect(conn);
    peer.Stop();
    EXPECT_TRUE(peer.Errors().empty());
}

struct ErrorFree {
    void operator()(kelvo_error_t* e) const { kelvo_error_destroy(e); }
};
using ErrorPtr = std::unique_ptr<kelvo_error_t, ErrorFree>;

const kelvoapi::Error& AsError(const ErrorPtr& e) { return *static_cast<const kelvoapi::Error*>(e.get()); }

// Reads every chunk; returns their row counts and checks that row values run
// 0, 1, 2, ... across chunk boundaries.
std::vector<size_t> ReadChunkSizes(kelvo_rowset_t* rowset, ErrorPtr* error = nullptr) {
    std::vector<size_t> sizes;
    int next = 0;
    for (;;) {
        kelvo_rowset_chunk_t* chunk = nullptr;
        ErrorPtr e(kelvo_rowset_get_next_chunk(rowset, &chunk));
        if (e) {
            if (error) *error = std::move(e);
            return sizes;
        }
        if (chunk == nullptr) return sizes;
        const size_t rows = kelvo_rowset_chunk_row_count(chunk);
        for (size_t r = 0; r < rows; ++r) {
            const kelvo_value_t v = kelvo_rowset_chunk_field_value(chunk, static_cast<uint32_t>(r), 0);
            EXPECT_EQ(std::to_string(next++), std::string(reinterpret_cast<const char*>(v.value), v.size));
        }
        sizes.push_back(rows);
        kelvo_destroy_rowset_chunk(chunk);
    }
}

TEST(RowsetScriptedTest, ChunkBoundaries) {
    struct Case {
        int rows;
        bool chunked;
        size_t threshold;
        std::vector<size_t> chunks;
    };
    const Case cases[] = {
        {1000, true, kelvoapi::Connection::default_prefetch_threshold, {256, 256, 256, 232}},
        {1000, true, 0, {256, 256, 256, 232}},
        {1000, true, 1, {256, 256, 256, 232}},  // one chunk read ahead at a time
        {512, true, kelvoapi::Connection::default_prefetch_threshold, {256, 256}},
        {512, true, 0, {256, 256}},
        {1000, false, kelvoapi::Connection::default_prefetch_threshold, {1000}},
        {0, true, kelvoapi::Connection::default_prefetch_threshold, {}},
        {3, true, kelvoapi::Connection::default_prefetch_threshold, {3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("rows " + std::to_string(c.rows) + " chunked " + std::to_string(c.chunked) + " threshold " +
                     std::to_string(c.threshold));
        ScriptedPeer peer;
        auto& script = peer.AddConnection().ExpectMessage(0).Send(Startup()).ExpectMessage('Q').Send(Query(c.rows));
        kelvo_connection_t* conn = StartAndConnect(peer, script);
        kelvo_set_chunked_mode(conn, c.chunked);
        kelvo_set_prefetch_threshold(conn, c.threshold);
        kelvo_rowset_t* rowset = nullptr;
        ErrorPtr e(kelvo_execute_query(conn, "SELECT n", &rowset));
        ASSERT_FALSE(e) << kelvoapi::ToString(AsError(e));
        const kelvo_table_definition_t* schema = kelvo_rowset_get_table_definition(rowset);
        ASSERT_EQ(1u, kelvo_table_definition_column_count(schema));
        EXPECT_STREQ("n", kelvo_table_definition_column_name(schema, 0));
        EXPECT_EQ(KELVO_INT, kelvo_table_definition_column_type_tag(schema, 0));
        EXPECT_FALSE(kelvo_table_definition_column_is_nullable(schema, 0));
        EXPECT_EQ(-1, kelvo_rowset_get_affected_row_count(rowset));
        EXPECT_EQ(c.chunks, ReadChunkSizes(rowset));
        // Past the end it stays at the end.
        kelvo_rowset_chunk_t* chunk = reinterpret_cast<kelvo_rowset_chunk_t*>(&peer);
        ErrorPtr again(kelvo_rowset_get_next_chunk(rowset, &chunk));
        EXPECT_FALSE(again);
        EXPECT_EQ(nullptr, chunk);
        kelvo_close_rowset(rowset);
        EXPECT_TRUE(kelvo_connection_is_ready(conn));
        Finish(peer, conn);
        EXPECT_EQ(1u, peer.Messages(0).size() - 2) << "only the query and the DETACH after start-up";
    }
}

// The protocol client drops the rows of a chunk that an error cuts short, so
// the full chunks before the error arrive and then the server's error.
TEST(RowsetScriptedTest, AnErrorAfterRowsComesAfterTheRowsBeforeIt) {
    for (const size_t threshold : {kelvoapi::Connection::default_prefetch_threshold, size_t{0}}) {
        ScriptedPeer peer;
        auto& script = peer.AddConnection().ExpectMessage(0).Send(Startup()).ExpectMessage('Q').Send(
            Rows(300) + wire::ErrorResponse({{'S', "ERROR"}, {'C', "22012"}, {'M', "division by zero"}}) +
            wire::ReadyForQuery());
        kelvo_connection_t* conn = StartAndConnect(peer, script);
        kelvo_set_prefetch_threshold(conn, threshold);
        kelvo_rowset_t* rowset = nullptr;
        ASSERT_EQ(nullptr, kelvo_execute_query(conn, "SELECT 1/(300-n)", &rowset));
        ErrorPtr error;
        EXPECT_EQ(std::vector<size_t>({256}), ReadChunkSizes(rowset, &error));
        ASSERT_TRUE(error);
        EXPECT_EQ("22012", AsError(error).GetSqlstate());
        EXPECT_EQ("division by zero", AsError(error).GetMessage());
        EXPECT_EQ(0xfa6b0e2fu, AsError(error).GetContextId().value);
        kelvo_close_rowset(rowset);
        Finish(peer, conn);
    }
}

TEST(RowsetScriptedTest, AFailedStatementReturnsTheServersErrorAndLeavesTheConnectionReady) {
    ScriptedPeer peer;
    auto& script = peer.AddConnection().ExpectMessage(0).Send(Startup()).ExpectMessage('Q').Send(
        wire::ErrorResponse({{'S', "FATAL"},
                             {'C', "42P01"},
                             {'M', "relation \"t\" does not exist"},
                             {'D', "no such table"},
                             {'H', "create it"}}) +
        wire::ReadyForQuery());
    script.ExpectMessage('Q').Send(wire::CommandComplete("INSERT 0 5") + wire::ReadyForQuery());
    kelvo_connection_t* conn = StartAndConnect(peer, script);
    kelvo_rowset_t* rowset = nullptr;
    ErrorPtr error(kelvo_execute_query(conn, "SELECT * FROM t", &rowset));
    ASSERT_TRUE(error);
    EXPECT_EQ(nullptr, rowset);
    const kelvoapi::Error& e = AsError(error);
    EXPECT_EQ("42P01", e.GetSqlstate());
    EXPECT_EQ("relation \"t\" does not exist: no such table", e.GetMessage());
    EXPECT_EQ("no such table", e.GetDetail());
    EXPECT_EQ("create it", e.GetHint());
    EXPECT_EQ(KELVO_SEVERITY_FATAL, e.GetSeverity());
    EXPECT_EQ(0x5fdfad59u, e.GetContextId().value);
    EXPECT_TRUE(kelvo_connection_is_ready(conn));
    int count = 0;
    ASSERT_EQ(nullptr, kelvo_execute_command(conn, "INSERT INTO t VALUES (1),(2),(3),(4),(5)", &count));
    EXPECT_EQ(5, count);
    Finish(peer, conn);
}

// The SQLSTATE and severity of a server error as the error object carries
// them, also when the server sends malformed fields.
TEST(RowsetScriptedTest, ServerErrorFields) {
    struct Case {
        std::vector<std::pair<char, std::string>> fields;
        std::string sqlstate;
        int severity;
        std::string message;
    };
    const Case cases[] = {
        {{{'S', "ERROR"}, {'C', "22012"}, {'M', "m"}}, "22012", KELVO_SEVERITY_ERROR, "m"},
        {{{'S', "PANIC"}, {'M', "no code"}}, "HY000", KELVO_SEVERITY_PANIC, "no code"},
        {{{'S', "FATAL"}, {'C', ""}, {'M', "m"}}, "HY000", KELVO_SEVERITY_FATAL, "m"},
        {{{'S', "fatal"}, {'C', "2201"}, {'M', "m"}}, "08P01", KELVO_SEVERITY_ERROR, "m"},
        {{{'S', "WARNING"}, {'C', "220123"}, {'M', "m"}, {'D', ""}}, "08P01", KELVO_SEVERITY_ERROR, "m"},
    };
    ScriptedPeer peer;
    auto& script = peer.AddConnection().ExpectMessage(0).Send(Startup());
    for (const Case& c : cases) {
        script.ExpectMessage('Q').Send(wire::ErrorResponse(c.fields) + wire::ReadyForQuery());
    }
    kelvo_connection_t* conn = StartAndConnect(peer, script);
    for (const Case& c : cases) {
        ErrorPtr error(kelvo_execute_command(conn, "stmt", nullptr));
        ASSERT_TRUE(error);
        EXPECT_EQ(c.sqlstate, AsError(error).GetSqlstate());
        EXPECT_EQ(c.severity, AsError(error).GetSeverity());
        EXPECT_EQ(c.message, AsError(error).GetMessage());
    }
    Finish(peer, conn);
}

TEST(RowsetScriptedTest, AffectedRowCounts) {
    struct Case {
        const char* tag;
        int64_t expected;
    };
    const Case cases[] = {{"INSERT 0 5", 5}, {"SELECT 3", -1}, {"CREATE TABLE", -1}, {"DELETE 4294967296", 4294967296}};
    for (const Case& c : cases) {
        ScriptedPeer peer;
        auto& script = peer.AddConnection().ExpectMessage(0).Send(Startup());
        script.ExpectMessage('Q').Send(wire::CommandComplete(c.tag) + wire::ReadyForQuery());
        script.ExpectMessage('Q').Send(wire::CommandComplete(c.tag) + wire::ReadyForQuery());
        kelvo_connection_t* conn = StartAndConnect(peer, script);
        kelvo_rowset_t* rowset = nullptr;
        ASSERT_EQ(nullptr, kelvo_execute_query(conn, "stmt", &rowset));
        EXPECT_EQ(c.expected, kelvo_rowset_get_affected_row_count(rowset)) << c.tag;
        kelvo_rowset_chunk_t* chunk = nullptr;
        ASSERT_EQ(nullptr, kelvo_rowset_get_next_chunk(rowset, &chunk));
        EXPECT_EQ(nullptr, chunk) << "a command has no rows";
        kelvo_close_rowset(rowset);
        int count = 0;
        ASSERT_EQ(nullptr, kelvo_execute_command(conn, "stmt", &count));
        EXPECT_EQ(c.expected > INT32_MAX ? INT32_MAX : c.expected, count) << c.tag;
        Finish(peer, conn);
    }
}

TEST(RowsetScriptedTest, TheBusyRuleRefusesStatementsUntilTheRowsetCloses) {
    ScriptedPeer peer;
    auto& script = peer.AddConnection().ExpectMessage(0).Send(Startup()).ExpectMessage('Q').Send(Query(2));
    script.ExpectMessage('Q').Send(Query(1));
    kelvo_connection_t* conn = StartAndConnect(peer, script);
    kelvo_rowset_t* rowset = nullptr;
    ASSERT_EQ(nullptr, kelvo_execute_query(conn, "SELECT n", &rowset));
    EXPECT_FALSE(kelvo_connection_is_ready(conn));

    kelvo_rowset_t* second = nullptr;
    int count = 0;
    bool exists = false;
    kelvo_string_list_t* names = nullptr;
    std::vector<ErrorPtr> refusals;
    refusals.emplace_back(kelvo_execute_query(conn, "SELECT 1", &second));
    refusals.emplace_back(kelvo_execute_query_params(conn, "SELECT 1", KELVO_ROWSET_RESULT_FORMAT_TEXT, &second));
    refusals.emplace_back(kelvo_execute_prepared(conn, "p", KELVO_ROWSET_RESULT_FORMAT_TEXT, &second));
    refusals.emplace_back(kelvo_prepare(conn, "p", "SELECT 1"));
    refusals.emplace_back(kelvo_execute_command(conn, "SELECT 1", &count));
    refusals.emplace_back(kelvo_has_table(conn, nullptr, nullptr, "t", &exists));
    refusals.emplace_back(kelvo_get_schema_names(conn, nullptr, &names));
    refusals.emplace_back(kelvo_create_schema(conn, nullptr, "s", false));
    refusals.emplace_back(kelvo_detach_all_databases(conn));
    for (const ErrorPtr& e : refusals) {
        ASSERT_TRUE(e);
        EXPECT_EQ("55006", AsError(e).GetSqlstate());
        EXPECT_EQ("The connection is not ready.", AsError(e).GetMessage());
        EXPECT_EQ(
            "Make sure that all inserters and results associated with the connection are closed before attempting a "
            "new operation on it.",
            AsError(e).GetHint());
        EXPECT_EQ(0xe9bec0b1u, AsError(e).GetContextId().value);
    }
    EXPECT_EQ(nullptr, second);
    EXPECT_EQ(0, count);
    EXPECT_EQ(nullptr, names);
    // Status queries and settings stay allowed.
    EXPECT_EQ(KELVO_CONNECTION_OK, kelvo_connection_status(conn));
    kelvo_set_chunked_mode(conn, true);

    EXPECT_EQ(std::vector<size_t>({2}), ReadChunkSizes(rowset));
    kelvo_close_rowset(rowset);
    EXPECT_TRUE(kelvo_connection_is_ready(conn));
    ASSERT_EQ(nullptr, kelvo_execute_query(conn, "SELECT n", &second));
    kelvo_close_rowset(second);
    Finish(peer, conn);
    // Nothing refused reached the peer: start-up, two queries, the DETACH, the terminate.
    size_t queries = 0;
    for (const auto& m : peer.Messages(0)) queries += m.type == 'Q' || m.type == 'P';
    EXPECT_EQ(3u, queries);
}

// Releasing the connection handle while a rowset is open keeps the
// connection: its rows still arrive, and closing the rowset closes it.
TEST(RowsetScriptedTest, ARowsetKeepsItsConnectionAfterDisconnect) {
    ScriptedPeer peer;
    auto& script = peer.AddConnection().ExpectMessage(0).Send(Startup()).ExpectMessage('Q').Send(Query(600));
    ExpectDetach(script).ExpectMessage('X');
    peer.Start();
    kelvo_connection_t* conn = Connect(peer);
    kelvo_rowset_t* rowset = nullptr;
    ASSERT_EQ(nullptr, kelvo_execute_query(conn, "SELECT n", &rowset));
    kelvo_disconnect(conn);
    EXPECT_EQ(std::vector<size_t>({256, 256, 88}), ReadChunkSizes(rowset));
    kelvo_close_rowset(rowset);
    peer.WaitForClose(0);
    peer.Stop();
    EXPECT_TRUE(peer.Errors().empty());
}

// Closing after the first chunk of a long result cancels the statement over
// a second connection, drains what the server still sends, and leaves the
// connection ready for the next statement.
TEST(RowsetScriptedTest, ClosingWithUnreadRowsCancelsAndDrains) {
    for (const size_t threshold : {kelvoapi::Connection::default_prefetch_threshold, size_t{0}}) {
        ScriptedPeer peer;
        auto& script = peer.AddConnection().ExpectMessage(0).Send(Startup()).ExpectMessage('Q').Send(Rows(600));
        script.Await(1).Send(wire::ErrorResponse({{'S', "ERROR"}, {'C', "57014"}, {'M', "canceling statement"}}) +
                             wire::ReadyForQuery());
        script.ExpectMessage('Q').Send(Query(1));
        ExpectDetach(script);
        peer.AddConnection().ExpectBytes(16).Close();
        peer.Start();
        kelvo_connection_t* conn = Connect(peer);
        kelvo_set_prefetch_threshold(conn, threshold);
        kelvo_rowset_t* rowset = nullptr;
        ASSERT_EQ(nullptr, kelvo_execute_query(conn, "SELECT n", &rowset));
        kelvo_rowset_chunk_t* chunk = nullptr;
        ASSERT_EQ(nullptr, kelvo_rowset_get_next_chunk(rowset, &chunk));
        ASSERT_NE(nullptr, chunk);
        EXPECT_EQ(256u, kelvo_rowset_chunk_row_count(chunk));
        // The cancel arrives before the server ends the statement.
        std::thread server([&] {
            peer.WaitForClose(1);
            peer.Open(1);
        });
        kelvo_close_rowset(rowset);
        server.join();
        // The chunk outlives its rowset.
        const kelvo_value_t v = kelvo_rowset_chunk_field_value(chunk, 255, 0);
        EXPECT_EQ("255", std::string(reinterpret_cast<const char*>(v.value), v.size));
        kelvo_destroy_rowset_chunk(chunk);
        EXPECT_TRUE(kelvo_connection_is_ready(conn));
        ASSERT_EQ(nullptr, kelvo_execute_query(conn, "SELECT n", &rowset));
        EXPECT_EQ(std::vector<size_t>({1}), ReadChunkSizes(rowset));
        kelvo_close_rowset(rowset);
        Finish(peer, conn);
        const auto cancel = peer.Messages(1);
        ASSERT_EQ(1u, cancel.size());
        EXPECT_EQ(wire::Int32(16) + wire::Int32(80877102) + wire::Int32(7) + wire::Int32(99), cancel[0].body);
    }
}

// A statement that has ended is not cancelled: the request would reach the
// server while the connection's next statement runs and cancel that one.
TEST(RowsetScriptedTest, ClosingAFinishedStatementWithUnreadRowsSendsNoCancel) {
    ScriptedPeer peer;
    auto& script = peer.AddConnection().ExpectMessage(0).Send(Startup()).ExpectMessage('Q').Send(Query(10));
    script.ExpectMessage('Q').Send(Query(1000));
    script.ExpectMessage('Q').Send(wire::CopyOutResponse(0, {0}) + wire::CopyData("x\n") + wire::CopyDone() +
                                   wire::CommandComplete("COPY 1") + wire::ReadyForQuery());
    ExpectDetach(script);
    peer.AddConnection().ExpectBytes(16).Close();
    peer.Start();
    kelvo_connection_t* conn = Connect(peer);
    kelvo_rowset_t* rowset = nullptr;
    ASSERT_EQ(nullptr, kelvo_execute_query(conn, "SELECT n", &rowset));
    kelvo_close_rowset(rowset);
    // Chunks that the prefetch thread has read to the statement's end are
    // dropped without a cancel too.
    ASSERT_EQ(nullptr, kelvo_execute_query(conn, "SELECT n", &rowset));
    kelvo_rowset_chunk_t* chunk = nullptr;
    ASSERT_EQ(nullptr, kelvo_rowset_get_next_chunk(rowset, &chunk));
    ASSERT_NE(nullptr, chunk);
    kelvo_destroy_rowset_chunk(chunk);
    while (!rowset->Get().StatementEnded()) std::this_thread::yield();
    kelvo_close_rowset(rowset);
    ASSERT_EQ(nullptr, kelvo_execute_query(conn, "COPY t TO STDOUT", &rowset));
    char* buffer = nullptr;
    size_t length = 0;
    ASSERT_EQ(nullptr, kelvo_rowset_get_copy_data(rowset, &buffer, &length));
    kelvo_rowset_free_copy_data(buffer);
    ASSERT_EQ(nullptr, kelvo_rowset_get_copy_data(rowset, &buffer, &length));
    EXPECT_EQ(nullptr, buffer);
    kelvo_close_rowset(rowset);
    Finish(peer, conn);
    EXPECT_EQ("", peer.Received(1));
}

// A complete query answer: `columns`, then `rows` (std::nullopt for NULL).
std::string TextRows(const std::vector<wire::Column>& columns,
                     const std::vector<std::vector<std::optional<std::string>>>& rows) {
    std::string bytes = wire::RowDescription(columns);
    for (const auto& row : rows) bytes += wire::DataRow(row);
    return bytes + wire::CommandComplete("SELECT " + std::to_string(rows.size())) + wire::ReadyForQuery();
}

// The catalog questions send exactly these texts and read the answers.
TEST(RowsetScriptedTest, CatalogQuestionsSendTheirExactTexts) {
    const wire::Column text{"v", 25, -1, 0};
    const std::vector<std::string> expected = {
        "SELECT nspname FROM \"db\".pg_catalog.pg_namespace WHERE nspname NOT IN ('pellory', 'pg_catalog', 'pg_temp')",
        "SELECT tablename FROM pg_catalog.pg_tables WHERE schemaname = 's'",
        "SELECT kelvo_schema_of_table('t')",
        "SELECT kelvo_database_of_table('t')",
        "SELECT EXISTS(SELECT * FROM \"db\".pg_catalog.pg_tables WHERE tablename = 't' AND schemaname = 's')",
        "SELECT kelvo_database_of_schema('s')",
        "SELECT a.attname, a.atttypid, a.atttypmod, a.attnotnull, coll.collname, a.attnum, cl.relpersistence "
        "FROM \"db\".pg_catalog.pg_attribute a JOIN \"db\".pg_catalog.pg_class cl ON a.attrelid = cl.oid "
        "JOIN \"db\".pg_catalog.pg_namespace n ON n.oid = cl.relnamespace "
        "LEFT JOIN \"db\". pg_catalog.pg_collation coll ON a.attcollation = coll.oid WHERE a.attnum > 0 "
        "AND NOT a.attisdropped AND cl.relname = 't' AND n.nspname = 's' ORDER BY a.attnum",
        "SELECT cl.relpersistence FROM \"db\".pg_catalog.pg_class cl "
        "JOIN \"db\".pg_catalog.pg_namespace n ON n.oid = cl.relnamespace WHERE cl.relname = 't' AND n.nspname = 's'",
    };
    ScriptedPeer peer;
    auto& script = peer.AddConnection().ExpectMessage(0).Send(Startup());
    script.ExpectMessage('Q').Send(TextRows({text}, {{"s"}}));
    script.ExpectMessage('Q').Send(TextRows({text}, {{"t"}}));
    script.ExpectMessage('Q').Send(TextRows({text}, {{"s"}}));
    script.ExpectMessage('Q').Send(TextRows({text}, {{"db"}}));
    script.ExpectMessage('Q').Send(TextRows({text}, {{"t"}}));
    script.ExpectMessage('Q').Send(TextRows({text}, {{"db"}}));
    script.ExpectMessage('Q').Send(TextRows({text, text, text, text, text, text, text}, {}));
    script.ExpectMessage('Q').Send(TextRows({text}, {{"t"}}));
    kelvo_connection_t* conn = StartAndConnect(peer, script);
    kelvo_string_list_t* list = nullptr;
    ASSERT_EQ(nullptr, kelvo_get_schema_names(conn, "db", &list));
    kelvo_string_list_destroy(list);
    ASSERT_EQ(nullptr, kelvo_get_table_names(conn, nullptr, "s", &list));
    kelvo_string_list_destroy(list);
    bool exists = false;
    ASSERT_EQ(nullptr, kelvo_has_table(conn, nullptr, nullptr, "t", &exists));
    EXPECT_TRUE(exists);
    kelvo_table_definition_t* definition = nullptr;
    ASSERT_EQ(nullptr, kelvo_get_table_definition(conn, nullptr, "s", "t", &definition));
    EXPECT_EQ(KELVO_TEMPORARY, kelvo_table_definition_table_persistence(definition));
    EXPECT_EQ(0u, kelvo_table_definition_column_count(definition));
    kelvo_destroy_table_definition(definition);
    Finish(peer, conn);
    std::vector<std::string> sent;
    for (const auto& m : peer.Messages(0)) {
        if (m.type == 'Q') sent.emplace_back(m.body.c_str());
    }
    sent.pop_back();  // the DETACH of the close
    EXPECT_EQ(expected, sent);
}

struct Notices {
    std::mutex mutex;
    std::vector<std::string> texts;
};

void CollectNotice(void* context, kelvo_error_t* notice) {
    auto* notices = static_cast<Notices*>(context);
    const auto* e = static_cast<const kelvoapi::Error*>(notice);
    std::lock_guard<std::mutex> lock(notices->mutex);
    notices->texts.push_back(e->GetSqlstate() + " " + e->GetMessage());
    kelvo_error_destroy(notice);
}

void OtherReceiver(void*, kelvo_error_t* notice) { kelvo_error_destroy(notice); }

TEST(RowsetScriptedTest, NoticesReachTheReceiverFromTheCallerAndThePrefetchThread) {
    ScriptedPeer peer;
    const std::string notice = wire::NoticeResponse({{'S', "NOTICE"}, {'C', "01000"}, {'M', "first"}, {'D', "more"}});
    auto& script = peer.AddConnection().ExpectMessage(0).Send(Startup()).ExpectMessage('Q').Send(
        notice + Rows(300) + wire::NoticeResponse({{'S', "WARNING"}, {'C', "01000"}, {'M', "late"}}) +
        wire::CommandComplete("SELECT 300") + wire::ReadyForQuery());
    kelvo_connection_t* conn = StartAndConnect(peer, script);
    Notices notices;
    EXPECT_EQ(nullptr, kelvo_set_notice_receiver(conn, CollectNotice, &notices));
    // A null receiver only reports the installed one.
    EXPECT_EQ(&CollectNotice, kelvo_set_notice_receiver(conn, nullptr, nullptr));
    kelvo_rowset_t* rowset = nullptr;
    ASSERT_EQ(nullptr, kelvo_execute_query(conn, "SELECT n", &rowset));
    EXPECT_EQ(std::vector<size_t>({256, 44}), ReadChunkSizes(rowset));
    kelvo_close_rowset(rowset);
    EXPECT_EQ(std::vector<std::string>({"01000 first: more", "01000 late"}), notices.texts);
    EXPECT_EQ(&CollectNotice, kelvo_set_notice_receiver(conn, OtherReceiver, nullptr));
    Finish(peer, conn);
}

// Two receivers that each check they are called with their own context.
Notices firstNotices, secondNotices;
void FirstReceiver(void* context, kelvo_error_t* notice) {
    EXPECT_EQ(&firstNotices, context);
    CollectNotice(context, notice);
}
void SecondReceiver(void* context, kelvo_error_t* notice) {
    EXPECT_EQ(&secondNotices, context);
    CollectNotice(context, notice);
}

// The caller replaces the receiver while the prefetch thread delivers
// notices: each notice reaches exactly one receiver, with that receiver's
// own context.
TEST(RowsetScriptedTest, ReplacingTheReceiverWhileThePrefetchThreadDeliversNotices) {
    constexpr int kNotices = 2000;
    ScriptedPeer peer;
    std::string bytes = Rows(256);
    for (int i = 0; i < kNotices; ++i) {
        bytes += wire::NoticeResponse({{'S', "NOTICE"}, {'C', "01000"}, {'M', "n"}}) + wire::DataRow({"x"});
    }
    auto& script = peer.AddConnection().ExpectMessage(0).Send(Startup()).ExpectMessage('Q').Send(
        bytes + wire::CommandComplete("SELECT 2256") + wire::ReadyForQuery());
    kelvo_connection_t* conn = StartAndConnect(peer, script);
    kelvo_set_notice_receiver(conn, FirstReceiver, &firstNotices);
    kelvo_rowset_t* rowset = nullptr;
    ASSERT_EQ(nullptr, kelvo_execute_query(conn, "SELECT n", &rowset));
    for (bool first = false; !rowset->Get().StatementEnded(); first = !first) {
        kelvo_set_notice_receiver(conn, first ? FirstReceiver : SecondReceiver,
                                  first ? &firstNotices : &secondNotices);
    }
    kelvo_close_rowset(rowset);
    EXPECT_EQ(size_t{kNotices}, firstNotices.texts.size() + secondNotices.texts.size());
    Finish(peer, conn);
}

TEST(RowsetScriptedTest, CopyOutDataComesInBlocksThenEnds) {
    ScriptedPeer peer;
    auto& script = peer.AddConnection().ExpectMessage(0).Send(Startup()).ExpectMessage('Q').Send(
        wire::CopyOutResponse(0, {0}) + wire::CopyData("1\n") + wire::CopyData("22\n") + wire::CopyDone() +
        wire::CommandComplete("COPY 2") + wire::ReadyForQuery());
    kelvo_connection_t* conn = StartAndConnect(peer, script);
    kelvo_rowset_t* rowset = nullptr;
    ASSERT_EQ(nullptr, kelvo_execute_query(conn, "COPY t TO STDOUT", &rowset));
    EXPECT_TRUE(kelvo_rowset_has_copy_data(rowset));
    std::vector<std::string> blocks;
    for (;;) {
        char* buffer = reinterpret_cast<char*>(&blocks);
        size_t length = 99;
        ASSERT_EQ(nullptr, kelvo_rowset_get_copy_data(rowset, &buffer, &length));
        if (buffer == nullptr) {
            EXPECT_EQ(0u, length);
            break;
        }
        blocks.emplace_back(buffer, length);
        kelvo_rowset_free_copy_data(buffer);
    }
    EXPECT_EQ(std::vector<std::string>({"1\n", "22\n"}), blocks);
    kelvo_rowset_chunk_t* chunk = nullptr;
    ASSERT_EQ(nullptr, kelvo_rowset_get_next_chunk(rowset, &chunk));
    EXPECT_EQ(nullptr, chunk);
    EXPECT_FALSE(kelvo_rowset_has_copy_data(rowset));
    kelvo_close_rowset(rowset);
    EXPECT_TRUE(kelvo_connection_is_ready(conn));
    Finish(peer, conn);
}

// Unread COPY OUT data is read and dropped when the rowset closes, so the
// connection leaves the COPY and takes the next statement.
TEST(RowsetScriptedTest, ClosingWithUnreadCopyDataLeavesTheCopy) {
    ScriptedPeer peer;
    auto& script = peer.AddConnection().ExpectMessage(0).Send(Startup()).ExpectMessage('Q').Send(
        wire::CopyOutResponse(0, {0}) + wire::CopyData("1\n"));
    script.Await(1).Send(wire::CopyData("2\n") +
                         wire::ErrorResponse({{'S', "ERROR"}, {'C', "57014"}, {'M', "canceling statement"}}) +
                         wire::ReadyForQuery());
    script.ExpectMessage('Q').Send(Query(1));
    ExpectDetach(script);
    peer.AddConnection().ExpectBytes(16).Close();
    peer.Start();
    kelvo_connection_t* conn = Connect(peer);
    kelvo_rowset_t* rowset = nullptr;
    ASSERT_EQ(nullptr, kelvo_execute_query(conn, "COPY t TO STDOUT", &rowset));
    ASSERT_TRUE(kelvo_rowset_has_copy_data(rowset));
    std::thread server([&] {
        peer.WaitForClose(1);
        peer.Open(1);
    });
    kelvo_close_rowset(rowset);
    server.join();
    ASSERT_EQ(nullptr, kelvo_execute_query(conn, "SELECT n", &rowset));
    EXPECT_EQ(std::vector<size_t>({1}), ReadChunkSizes(rowset));
    kelvo_close_rowset(rowset);
    Finish(peer, conn);
}

// A COPY OUT run as a command has no reader: its data is dropped and the
// connection takes the next statement. A COPY IN stays open for its caller.
TEST(RowsetScriptedTest, ACopyOutCommandDoesNotHoldTheConnection) {
    ScriptedPeer peer;
    auto& script = peer.AddConnection().ExpectMessage(0).Send(Startup()).ExpectMessage('Q').Send(
        wire::CopyOutResponse(0, {0}) + wire::CopyData("1\n") + wire::CopyData("2\n") + wire::CopyDone() +
        wire::CommandComplete("COPY 2") + wire::ReadyForQuery());
    script.ExpectMessage('Q').Send(Query(2));
    script.ExpectMessage('Q').Send(wire::CopyInResponse(0, {0}));
    peer.Start();
    kelvo_connection_t* conn = Connect(peer);
    int count = 0;
    ASSERT_EQ(nullptr, kelvo_execute_command(conn, "COPY t TO STDOUT", &count));
    EXPECT_EQ(-1, count) << "the count is the first result's, which the COPY OUT start has not";
    kelvo_rowset_t* rowset = nullptr;
    ASSERT_EQ(nullptr, kelvo_execute_query(conn, "SELECT n", &rowset));
    EXPECT_EQ(std::vector<size_t>({2}), ReadChunkSizes(rowset));
    kelvo_close_rowset(rowset);
    ASSERT_EQ(nullptr, kelvo_execute_command(conn, "COPY t FROM STDIN", &count));
    EXPECT_EQ(PGASYNC_COPY_IN, conn->Get().GetPGconn()->asyncStatus);
    // The protocol client refuses to send while the COPY is open; each
    // statement export reports that under its own context id.
    const std::pair<ErrorPtr, uint32_t> refused[] = {
        {ErrorPtr(kelvo_execute_query(conn, "SELECT 1", &rowset)), 0x43da522a},
        {ErrorPtr(kelvo_execute_command(conn, "SELECT 1", &count)), 0x43da522a},
        {ErrorPtr(kelvo_execute_query_params(conn, "SELECT 1", KELVO_ROWSET_RESULT_FORMAT_TEXT, &rowset)),
         0x34092392},
        {ErrorPtr(kelvo_prepare(conn, "p", "SELECT 1")), 0xe580198d},
        {ErrorPtr(kelvo_execute_prepared(conn, "p", KELVO_ROWSET_RESULT_FORMAT_TEXT, &rowset)), 0xbef7b2ba},
    };
    for (const auto& [error, contextId] : refused) {
        ASSERT_TRUE(error);
        EXPECT_EQ(contextId, AsError(error).GetContextId().value) << AsError(error).GetMessage();
    }
    Finish(peer, conn);
}

std::string StartupValue(const ScriptedPeer& peer, size_t connection, const std::string& name) {
    const auto messages = peer.Messages(connection);
    if (messages.empty()) return "<no start-up>";
    for (const auto& [key, value] : wire::StartupParameters(messages[0].body)) {
        if (key == name) return value;
    }
    return "<absent>";
}

// A create mode runs its statements, without a terminating ';', over an
// administrative connection that attaches nothing, detaches and closes
// before the connection itself opens.
TEST(RowsetScriptedTest, CreateModesRunOverAnAdministrativeConnectionFirst) {
    struct Case {
        kelvo_create_mode_t mode;
        std::vector<std::string> statements;
    };
    const Case cases[] = {
        {KELVO_CREATE, {"CREATE DATABASE \"/d/x.kelvo\""}},
        {KELVO_CREATE_IF_NOT_EXISTS, {"CREATE DATABASE IF NOT EXISTS \"/d/x.kelvo\""}},
        {KELVO_CREATE_AND_REPLACE, {"DROP DATABASE IF EXISTS \"/d/x.kelvo\"", "CREATE DATABASE \"/d/x.kelvo\""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.statements.back());
        ScriptedPeer peer;
        auto& admin = peer.AddConnection().ExpectMessage(0).Send(Startup());
        for (size_t i = 0; i < c.statements.size(); ++i) {
            admin.ExpectMessage('Q').Send(wire::CommandComplete("CREATE") + wire::ReadyForQuery());
        }
        ExpectDetach(admin).ExpectMessage('X');
        ExpectDetach(peer.AddConnection().ExpectMessage(0).Send(Startup()));
        peer.Start();
        kelvoapi::Parameters parameters;
        parameters.Set("host", peer.SocketDirectory());
        parameters.Set("port", std::to_string(ScriptedPeer::kUnixPort));
        parameters.Set("dbname", "/d/x.kelvo");
        kelvo_connection_t* conn = new kelvo_connection_t(std::make_shared<kelvoapi::Connection>(parameters, c.mode));
        // The administrative connection had ended before this one started.
        peer.WaitForClose(0);
        std::vector<std::string> sent;
        for (const auto& m : peer.Messages(0)) {
            if (m.type == 'Q') sent.emplace_back(m.body.c_str());
        }
        std::vector<std::string> expected = c.statements;
        expected.push_back("DETACH DATABASE *");
        EXPECT_EQ(expected, sent);
        EXPECT_EQ("[]", StartupValue(peer, 0, "database"));
        EXPECT_NE(std::string::npos, StartupValue(peer, 1, "database").find("x.kelvo"));
        Finish(peer, conn);
    }
}

struct LogEvents {
    std::vector<std::pair<kelvo_log_level_t, std::string>> events;
};

void CollectLog(kelvo_log_level_t level, const char* topic, const char*, void* context) {
    static_cast<LogEvents*>(context)->events.emplace_back(level, topic);
}

TEST(RowsetScriptedTest, ClosingAConnectionWhoseServerWentAwaySkipsTheDetach) {
    ScriptedPeer peer;
    peer.AddConnection().ExpectMessage(0).Send(Startup()).Close();
    peer.Start();
    kelvo_connection_t* conn = Connect(peer);
    peer.WaitForClose(0);
    LogEvents log;
    kelvo_log_function_t previous = kelvo_log_set_log_function(CollectLog, &log);
    kelvo_disconnect(conn);
    kelvo_log_set_log_function(previous, nullptr);
    ASSERT_EQ(1u, log.events.size());
    EXPECT_EQ(KELVO_LOG_LEVEL_WARNING, log.events[0].first);
    EXPECT_EQ("connection-close-detach-skipped", log.events[0].second);
    peer.Stop();
}

TEST(RowsetScriptedTest, ChunkFieldArraysAreRowMajorWithNullFlags) {
    ScriptedPeer peer;
    wire::Column a{"a", 25, -1, 0}, b{"b", 25, -1, 0}, c{"c", 25, -1, 0};
    std::string rows = wire::RowDescription({a, b, c});
    for (int r = 0; r < 256; ++r) {
        rows += wire::DataRow({std::string("a") + std::to_string(r), std::nullopt, std::string()});
    }
    auto& script = peer.AddConnection().ExpectMessage(0).Send(Startup()).ExpectMessage('Q').Send(
        rows + wire::CommandComplete("SELECT 256") + wire::ReadyForQuery());
    kelvo_connection_t* conn = StartAndConnect(peer, script);
    kelvo_rowset_t* rowset = nullptr;
    ASSERT_EQ(nullptr, kelvo_execute_query(conn, "SELECT a, b, c", &rowset));
    kelvo_rowset_chunk_t* chunk = nullptr;
    ASSERT_EQ(nullptr, kelvo_rowset_get_next_chunk(rowset, &chunk));
    ASSERT_NE(nullptr, chunk);
    size_t cols = 0, rowCount = 0;
    const uint8_t* const* values = nullptr;
    const size_t* sizes = nullptr;
    const int8_t* nulls = nullptr;
    ASSERT_EQ(nullptr, kelvo_rowset_chunk_field_values(chunk, &cols, &rowCount, &values, &sizes, &nulls));
    ASSERT_EQ(3u, cols);
    ASSERT_EQ(256u, rowCount);
    // Row 1: "a1", NULL, "".
    EXPECT_EQ("a1", std::string(reinterpret_cast<const char*>(values[3]), sizes[3]));
    EXPECT_EQ(0, nulls[3]);
    EXPECT_EQ(nullptr, values[4]);
    EXPECT_EQ(0u, sizes[4]);
    EXPECT_EQ(1, nulls[4]);
    EXPECT_NE(nullptr, values[5]);
    EXPECT_EQ(0u, sizes[5]);
    EXPECT_EQ(0, nulls[5]);
    // A second call keeps the same arrays.
    const uint8_t* const* again = nullptr;
    ASSERT_EQ(nullptr, kelvo_rowset_chunk_field_values(chunk, &cols, &rowCount, &again, &sizes, &nulls));
    EXPECT_EQ(values, again);
    // Single-field access: NULL, empty, and a row index past the end.
    EXPECT_TRUE(kelvo_rowset_chunk_field_is_null(chunk, 1, 1));
    EXPECT_EQ(nullptr, kelvo_rowset_chunk_field_value(chunk, 1, 1).value);
    EXPECT_FALSE(kelvo_rowset_chunk_field_is_null(chunk, 1, 2));
    EXPECT_NE(nullptr, kelvo_rowset_chunk_field_value(chunk, 1, 2).value);
    EXPECT_TRUE(kelvo_rowset_chunk_field_is_null(chunk, 256, 0));
    EXPECT_EQ(nullptr, kelvo_rowset_chunk_field_value(chunk, 256, 0).value);
    EXPECT_TRUE(kelvo_rowset_chunk_field_is_null(chunk, 0xFFFFFFFFu, 0));
    int size = -1;
    EXPECT_EQ(nullptr, kelvo_rowset_chunk_field_value_byref(chunk, 256, 0, &size));
    EXPECT_EQ(0, size);
    EXPECT_EQ(nullptr, kelvo_rowset_chunk_field_value_byref(chunk, 0, 0xFFFFFFFFu, &size));
    EXPECT_EQ(0, size);
    kelvo_destroy_rowset_chunk(chunk);
    kelvo_close_rowset(rowset);
    Finish(peer, conn);
}

}  // namespace
