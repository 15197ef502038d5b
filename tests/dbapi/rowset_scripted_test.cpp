// Connections and rowsets against the scripted peer.
#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "api/rowset.h"
#include "kelvo/rowset.h"
#include "kelvo/string_list.h"
#include "kelvo/types.h"
#include "postgres/libpq/connection_record.h"
#include "support/dbapi_peer.h"

namespace {

using namespace kelvotest;
constexpr size_t kDefaultThreshold = kelvoapi::Connection::default_prefetch_threshold;

// Rows 0..count-1 of one int column "n".
std::string Rows(int count) {
    std::string bytes = wire::RowDescription({{"n", 23, 4, 0}});
    for (int i = 0; i < count; ++i)
        bytes += wire::DataRow({std::to_string(i)});
    return bytes;
}

std::string Query(int rows) { return Rows(rows) + Done("SELECT " + std::to_string(rows)); }

// Ends `script` with the DETACH of a clean close, adds a connection that takes
// one cancel request when asked, starts the peer and connects.
kelvo_connection_t* StartAndConnect(ScriptedPeer& peer, ScriptedPeer::Script& script, bool cancelPeer = false) {
    ExpectDetach(script);
    if (cancelPeer)
        peer.AddConnection().ExpectBytes(16).Close();
    peer.Start();
    return ConnectTo(peer);
}

std::string Text(kelvo_value_t v) { return std::string(reinterpret_cast<const char*>(v.value), v.size); }

// Reads every chunk; returns their row counts and checks that row values run 0, 1, ... across chunk boundaries.
std::vector<size_t> ReadChunkSizes(kelvo_rowset_t* rowset, ErrorPtr* error = nullptr) {
    std::vector<size_t> sizes;
    for (int next = 0;;) {
        kelvo_rowset_chunk_t* chunk = nullptr;
        ErrorPtr e(kelvo_rowset_get_next_chunk(rowset, &chunk));
        if (e || chunk == nullptr) {
            if (error)
                *error = std::move(e);
            return sizes;
        }
        const size_t rows = kelvo_rowset_chunk_row_count(chunk);
        for (size_t r = 0; r < rows; ++r) {
            EXPECT_EQ(std::to_string(next++), Text(kelvo_rowset_chunk_field_value(chunk, static_cast<uint32_t>(r), 0)));
        }
        sizes.push_back(rows);
        kelvo_destroy_rowset_chunk(chunk);
    }
}

kelvo_rowset_t* Execute(kelvo_connection_t* conn, const char* query = "SELECT n") {
    kelvo_rowset_t* rowset = nullptr;
    ErrorPtr e(kelvo_execute_query(conn, query, &rowset));
    EXPECT_FALSE(e) << query << ": " << (e ? AsError(e).GetMessage() : "");
    return rowset;
}

kelvo_rowset_chunk_t* NextChunk(kelvo_rowset_t* rowset) {
    kelvo_rowset_chunk_t* chunk = nullptr;
    EXPECT_EQ(nullptr, kelvo_rowset_get_next_chunk(rowset, &chunk));
    EXPECT_NE(nullptr, chunk);
    return chunk;
}

// The chunk sizes of a whole "SELECT n".
std::vector<size_t> QueryChunks(kelvo_connection_t* conn) {
    kelvo_rowset_t* rowset = Execute(conn);
    std::vector<size_t> sizes = ReadChunkSizes(rowset);
    kelvo_close_rowset(rowset);
    return sizes;
}

// Several statements: the rowset hands out the first one's rows under its columns, prefetched or not; the rest is
// drained and its first error comes from the last read, or from kelvo_execute_command.
TEST(RowsetScriptedTest, MultiStatementTexts) {
    const std::string second = wire::RowDescription({{"a", 25, -1, 0}, {"b", 23, 4, 0}}) +
                               wire::DataRow({"abcd", "2"}) + wire::CommandComplete("SELECT 1");
    const std::string failure = wire::ErrorResponse({{'S', "ERROR"}, {'C', "P0001"}, {'M', "x"}});
    const std::string first = Rows(300) + wire::CommandComplete("SELECT 300");
    const std::string ready = wire::ReadyForQuery(), deleted = wire::CommandComplete("DELETE 4294967296");
    const struct {
        std::string answer;
        size_t threshold;
        std::vector<size_t> chunks;
        const char* sqlstate;  // empty: none
        bool chunked = true;
    } cases[] = {{first + second + ready, kDefaultThreshold, {256, 44}, ""},
                 {first + second + ready, kDefaultThreshold, {300}, "", false},
                 {first + second + ready, 0, {256, 44}, ""},
                 {first + failure + ready, kDefaultThreshold, {256, 44}, "P0001"},
                 {first + failure + ready, 0, {256, 44}, "P0001"},
                 {deleted + second + failure + ready, kDefaultThreshold, {}, "P0001"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.sqlstate) + " threshold " + std::to_string(c.threshold));
        ScriptedPeer peer;
        auto& script = NewSession(peer).ExpectMessage('Q').Send(c.answer);
        script.ExpectMessage('Q').Send(wire::CommandComplete("INSERT 0 2") + failure + ready);
        kelvo_connection_t* conn = StartAndConnect(peer, script);
        kelvo_set_prefetch_threshold(conn, c.threshold);
        kelvo_set_chunked_mode(conn, c.chunked);
        kelvo_rowset_t* rowset = Execute(conn, "first; second");
        ErrorPtr error;
        EXPECT_EQ(c.chunks, ReadChunkSizes(rowset, &error));
        EXPECT_EQ(c.sqlstate, error ? AsError(error).GetSqlstate() : "");
        EXPECT_EQ(c.chunks.empty() ? 0u : 1u,
                  kelvo_table_definition_column_count(kelvo_rowset_get_table_definition(rowset)));
        EXPECT_EQ(c.chunks.empty() ? 4294967296 : -1, kelvo_rowset_get_affected_row_count(rowset));
        kelvo_close_rowset(rowset);
        int count = 0;
        ExpectError(ErrorPtr(kelvo_execute_command(conn, "INSERT ...; fails", &count)), "P0001");
        Finish(peer, conn);
    }
}

// A complete query answer: `columns`, then `rows`.
std::string TextRows(size_t columns, const std::vector<std::string>& rows) {
    std::string bytes = wire::RowDescription(std::vector<wire::Column>(columns, wire::Column{"v", 25, -1, 0}));
    for (const auto& row : rows)
        bytes += wire::DataRow({row});
    return bytes + Done("SELECT " + std::to_string(rows.size()));
}

// Catalog questions, then server errors as the error object carries them, also from malformed fields; the connection
// stays ready after each.
TEST(RowsetScriptedTest, CatalogQuestionsAndServerErrorsBeforeTheRows) {
    // The fields sent; SQLSTATE, severity, message, detail and hint read.
    using Fields = std::vector<std::pair<char, std::string>>;
    using Read = std::tuple<std::string, int, std::string, std::string, std::string>;
    const int fatal = KELVO_SEVERITY_FATAL, error = KELVO_SEVERITY_ERROR;
    const std::pair<Fields, Read> cases[] = {
        {{{'S', "FATAL"}, {'C', "42P01"}, {'M', "no t"}, {'D', "d"}, {'H', "h"}},
         {"42P01", fatal, "no t: d", "d", "h"}},
        {{{'S', "PANIC"}, {'M', "no code"}}, {"HY000", KELVO_SEVERITY_PANIC, "no code", "", ""}},
        {{{'S', "FATAL"}, {'C', ""}, {'M', "m"}}, {"HY000", fatal, "m", "", ""}},
        {{{'S', "fatal"}, {'C', "2201"}, {'M', "m"}}, {"08P01", error, "m", "", ""}},
        {{{'S', "WARNING"}, {'C', "220123"}, {'M', "m"}, {'D', ""}}, {"08P01", error, "m", "", ""}}};
    ScriptedPeer peer;
    auto& script = NewSession(peer).ExpectMessage('Q').Send(TextRows(1, {"t"})).ExpectMessage('Q');
    script.Send(TextRows(7, {})).ExpectMessage('Q').Send(TextRows(1, {"t"}));
    for (const auto& [fields, read] : cases)
        script.ExpectMessage('Q').Send(wire::ErrorResponse(fields) + wire::ReadyForQuery());
    kelvo_connection_t* conn = StartAndConnect(peer, script);
    // Names without a database are asked of the connection's own catalog; a table the catalog knows without columns is
    // asked for its persistence alone.
    kelvo_string_list_t* list = nullptr;
    ASSERT_EQ(nullptr, kelvo_get_table_names(conn, nullptr, "s", &list));
    kelvo_string_list_destroy(list);
    kelvo_table_definition_t* definition = nullptr;
    ASSERT_EQ(nullptr, kelvo_get_table_definition(conn, "db", "s", "t", &definition));
    EXPECT_EQ(KELVO_TEMPORARY, kelvo_table_definition_table_persistence(definition));
    EXPECT_EQ(0u, kelvo_table_definition_column_count(definition));
    kelvo_destroy_table_definition(definition);
    for (const auto& [fields, read] : cases) {
        kelvo_rowset_t* rowset = nullptr;
        ErrorPtr returned(kelvo_execute_query(conn, "stmt", &rowset));
        ASSERT_TRUE(returned) << std::get<2>(read);
        EXPECT_EQ(nullptr, rowset);
        const kelvoapi::Error& e = AsError(returned);
        EXPECT_EQ(read, Read(e.GetSqlstate(), e.GetSeverity(), e.GetMessage(), e.GetDetail(), e.GetHint()));
        EXPECT_EQ(0x5fdfad59u, e.GetContextId().value);
        EXPECT_TRUE(kelvo_connection_is_ready(conn));
    }
    Finish(peer, conn);
    const std::vector<std::string> sent = Sent(peer, 0);
    EXPECT_EQ(sent.at(0), "SELECT tablename FROM pg_catalog.pg_tables WHERE schemaname = 's'");
    EXPECT_EQ(sent.at(2),
              "SELECT cl.relpersistence FROM \"db\".pg_catalog.pg_class cl JOIN \"db\".pg_catalog.pg_namespace n ON "
              "n.oid = cl.relnamespace WHERE cl.relname = 't' AND n.nspname = 's'");
}

// A connection lost while rows arrive gives the rows before it, then the loss with its class-08 code and text, never
// HY000 with an empty message. A message whose length cannot be, or a copy in both directions that nothing here asks
// for, is one 08P01 error, and the connection is given up: no call keeps waiting for the copy to end.
TEST(RowsetScriptedTest, ALostOrUnsynchronizedConnectionIsOneErrorWithItsText) {
    const std::string lost = "08003 The Kelvo server closed the connection unexpectedly";
    const std::tuple<std::string, size_t, std::string> cases[] = {
        {Rows(300), kDefaultThreshold, lost},
        {Rows(300), 0, lost},
        {"C" + wire::Int32(3), kDefaultThreshold,
         "08P01 lost synchronization with server: got message type \"C\", length 3"},
        {wire::Message('W', std::string(3, '\0')), kDefaultThreshold,
         "08P01 The server started a copy in both directions, which no statement here asks for."}};
    for (const auto& [answer, threshold, text] : cases) {
        SCOPED_TRACE(text);
        ScriptedPeer peer;
        NewSession(peer).ExpectMessage('Q').Send(answer).Close();
        peer.Start();
        kelvo_connection_t* conn = ConnectTo(peer);
        kelvo_set_prefetch_threshold(conn, threshold);
        ErrorPtr error;
        if (text == lost) {
            kelvo_rowset_t* rowset = Execute(conn);
            EXPECT_EQ(std::vector<size_t>({256}), ReadChunkSizes(rowset, &error));
            kelvo_close_rowset(rowset);
        } else {
            kelvo_string_list_t* names = nullptr;
            error.reset(kelvo_get_table_names(conn, nullptr, "s", &names));
            EXPECT_EQ(KELVO_CONNECTION_BAD, kelvo_connection_status(conn));
        }
        ASSERT_TRUE(error);
        const std::string got = AsError(error).GetSqlstate() + " " + AsError(error).GetMessage();
        EXPECT_EQ(text, text == lost ? got.substr(0, lost.size()) : got);
        kelvo_disconnect(conn);
        peer.Stop();
    }
}

// Closing a rowset whose statement still runs (after a chunk of rows or a block of COPY OUT data) cancels it over a
// second connection and drains the rest; the connection takes the next statement.
TEST(RowsetScriptedTest, ClosingARunningStatementCancelsAndDrains) {
    const std::string canceled = kelvotest::Fail("57014", "canceling statement");
    // What the server sends before the close, what after it, and the threshold.
    const std::tuple<std::string, std::string, size_t> cases[] = {
        {Rows(600), canceled, kDefaultThreshold},
        {Rows(600), canceled, 0},
        {wire::CopyOutResponse(0, {0}) + wire::CopyData("1\n"), wire::CopyData("2\n") + canceled, kDefaultThreshold}};
    for (const auto& [first, rest, threshold] : cases) {
        ScriptedPeer peer;
        auto& script = NewSession(peer).ExpectMessage('Q').Send(first);
        script.Await(1).Send(rest).ExpectMessage('Q').Send(Query(1));
        kelvo_connection_t* conn = StartAndConnect(peer, script, true);
        kelvo_set_prefetch_threshold(conn, threshold);
        kelvo_rowset_t* rowset = Execute(conn);
        kelvo_rowset_chunk_t* chunk = kelvo_rowset_has_copy_data(rowset) ? nullptr : NextChunk(rowset);
        // The server ends the statement only once the cancel has arrived.
        std::thread server([&] {
            peer.WaitForClose(1);
            peer.Open(1);
        });
        kelvo_close_rowset(rowset);
        server.join();
        if (chunk) {
            EXPECT_EQ("255", Text(kelvo_rowset_chunk_field_value(chunk, 255, 0))) << "the chunk outlives its rowset";
            kelvo_destroy_rowset_chunk(chunk);
        }
        EXPECT_EQ(std::vector<size_t>({1}), QueryChunks(conn));
        Finish(peer, conn);
        const auto cancel = peer.Messages(1);
        ASSERT_EQ(1u, cancel.size());
        EXPECT_EQ(wire::Int32(16) + wire::Int32(80877102) + wire::Int32(7) + wire::Int32(99), cancel[0].body);
    }
}

struct Notices {
    std::mutex mutex;
    std::vector<std::string> texts;
};

// Receivers that each check they are called with their own context.
Notices firstNotices, secondNotices;
template <Notices* own>
void Receiver(void* context, kelvo_error_t* notice) {
    EXPECT_EQ(own, context);
    const ErrorPtr owned(notice);
    std::lock_guard<std::mutex> lock(own->mutex);
    own->texts.push_back(AsError(owned).GetSqlstate() + " " + AsError(owned).GetMessage());
}
constexpr auto FirstReceiver = &Receiver<&firstNotices>;
constexpr auto SecondReceiver = &Receiver<&secondNotices>;

// The caller replaces the receiver while a prefetching rowset's notices arrive: each notice reaches exactly one
// receiver, with its own context.
TEST(RowsetScriptedTest, ReplacingTheReceiverWhileAPrefetchingRowsetDeliversNotices) {
    constexpr int kNotices = 2000;
    ScriptedPeer peer;
    std::string bytes = wire::NoticeResponse({{'S', "NOTICE"}, {'C', "01000"}, {'M', "first"}, {'D', "more"}});
    bytes += Rows(256);
    for (int i = 0; i < kNotices; ++i) {
        bytes += wire::NoticeResponse({{'S', "NOTICE"}, {'C', "01000"}, {'M', "n"}}) + wire::DataRow({"x"});
    }
    auto& script = NewSession(peer).ExpectMessage('Q').Send(bytes + Done("SELECT 2256"));
    kelvo_connection_t* conn = StartAndConnect(peer, script);
    EXPECT_EQ(nullptr, kelvo_set_notice_receiver(conn, FirstReceiver, &firstNotices));
    EXPECT_EQ(FirstReceiver, kelvo_set_notice_receiver(conn, nullptr, nullptr)) << "null only reports";
    kelvo_rowset_t* rowset = Execute(conn);
    for (bool first = false; !rowset->Get().StatementEnded(); first = !first) {
        kelvo_set_notice_receiver(conn, first ? FirstReceiver : SecondReceiver, first ? &firstNotices : &secondNotices);
    }
    kelvo_close_rowset(rowset);
    ASSERT_EQ(size_t{kNotices} + 1, firstNotices.texts.size() + secondNotices.texts.size());
    EXPECT_EQ("01000 first: more", firstNotices.texts[0]) << "delivered before the rows, by the caller";
    Finish(peer, conn);
}

std::string CopyOut(const std::vector<std::string>& blocks) {
    std::string bytes = wire::CopyOutResponse(0, {0});
    for (const auto& b : blocks)
        bytes += wire::CopyData(b);
    return bytes + wire::CopyDone() + Done("COPY " + std::to_string(blocks.size()));
}

// COPY OUT data read in blocks to its end (then closed without a cancel); a COPY OUT run as a command does not hold the
// connection; finished statements close without a cancel; a COPY IN stays open for its caller.
TEST(RowsetScriptedTest, CopyOutDataFinishedStatementsAndTheConnectionAfterThem) {
    ScriptedPeer peer;
    auto& script = NewSession(peer).ExpectMessage('Q').Send(CopyOut({"1\n", "22\n"}));
    script.ExpectMessage('Q').Send(CopyOut({"1\n", "2\n"})).ExpectMessage('Q').Send(Done("DELETE 4294967296"));
    script.ExpectMessage('Q').Send(Query(2)).ExpectMessage('Q').Send(Query(10)).ExpectMessage('Q').Send(Query(1000));
    script.ExpectMessage('Q').Send(wire::CopyInResponse(0, {0}));
    peer.AddConnection().ExpectBytes(16).Close();
    peer.Start();
    kelvo_connection_t* conn = ConnectTo(peer);
    kelvo_rowset_t* rowset = Execute(conn, "COPY t TO STDOUT");
    EXPECT_TRUE(kelvo_rowset_has_copy_data(rowset));
    // Read past the end, which stays at the end: no data, length 0.
    std::vector<std::string> blocks;
    for (int ends = 0; ends < 2;) {
        char* buffer = reinterpret_cast<char*>(&blocks);
        size_t length = 99;
        ASSERT_EQ(nullptr, kelvo_rowset_get_copy_data(rowset, &buffer, &length));
        if (buffer == nullptr) {
            EXPECT_EQ(0u, length);
            EXPECT_FALSE(kelvo_rowset_has_copy_data(rowset)) << "the data has ended";
            ++ends;
            continue;
        }
        blocks.emplace_back(buffer, length);
        kelvo_rowset_free_copy_data(buffer);
    }
    EXPECT_EQ(std::vector<std::string>({"1\n", "22\n"}), blocks);
    EXPECT_EQ(std::vector<size_t>(), ReadChunkSizes(rowset));
    kelvo_close_rowset(rowset);
    int count = 0;
    ASSERT_EQ(nullptr, kelvo_execute_command(conn, "COPY t TO STDOUT", &count));
    EXPECT_EQ(-1, count) << "the count is the first result's, which the COPY OUT start has not";
    ASSERT_EQ(nullptr, kelvo_execute_command(conn, "DELETE", &count));
    EXPECT_EQ(INT32_MAX, count) << "clamped to the int range";
    EXPECT_EQ(std::vector<size_t>({2}), QueryChunks(conn));
    // A statement that has ended is not cancelled: the request would reach the server while the next statement runs and
    // cancel that one. Here one is closed unread, and one read to its end by the prefetch thread with chunks still
    // queued, whose COPY data is refused: reading it would race the prefetch thread.
    kelvo_close_rowset(Execute(conn));
    rowset = Execute(conn);
    char* buffer = nullptr;
    size_t length = 0;
    ExpectError(ErrorPtr(kelvo_rowset_get_copy_data(rowset, &buffer, &length)), "55000");
    kelvo_destroy_rowset_chunk(NextChunk(rowset));
    while (!rowset->Get().StatementEnded())
        std::this_thread::yield();
    kelvo_close_rowset(rowset);
    ASSERT_EQ(nullptr, kelvo_execute_command(conn, "COPY t FROM STDIN", &count));
    EXPECT_EQ(PGASYNC_COPY_IN, conn->Get().GetPGconn()->asyncStatus);
    // The protocol client refuses to send while the COPY is open; each statement export reports that under its own
    // context id.
    const std::pair<ErrorPtr, uint32_t> refused[] = {
        {ErrorPtr(kelvo_execute_query(conn, "SELECT 1", &rowset)), 0x43da522a},
        {ErrorPtr(kelvo_execute_command(conn, "SELECT 1", &count)), 0x43da522a},
        {ErrorPtr(kelvo_execute_query_params(conn, "SELECT 1", KELVO_ROWSET_RESULT_FORMAT_TEXT, &rowset)), 0x34092392},
        {ErrorPtr(kelvo_prepare(conn, "p", "SELECT 1")), 0xe580198d},
        {ErrorPtr(kelvo_execute_prepared(conn, "p", KELVO_ROWSET_RESULT_FORMAT_TEXT, &rowset)), 0xbef7b2ba}};
    for (const auto& [error, contextId] : refused) {
        ASSERT_TRUE(error);
        EXPECT_EQ(contextId, AsError(error).GetContextId().value) << AsError(error).GetMessage();
    }
    Finish(peer, conn);
    EXPECT_EQ("", peer.Received(1)) << "no cancel for a finished COPY or statement";
}

TEST(RowsetScriptedTest, ChunkFieldArraysAreRowMajorWithNullFlags) {
    ScriptedPeer peer;
    const wire::Column column{"a", 25, -1, 0};
    std::string rows = wire::RowDescription({column, column, column});
    for (int r = 0; r < 256; ++r)
        rows += wire::DataRow({"a" + std::to_string(r), std::nullopt, std::string()});
    auto& script = NewSession(peer).ExpectMessage('Q').Send(rows + Done("SELECT 256"));
    kelvo_connection_t* conn = StartAndConnect(peer, script);
    kelvo_rowset_t* rowset = Execute(conn, "SELECT a, b, c");
    kelvo_rowset_chunk_t* chunk = NextChunk(rowset);
    size_t cols = 0, rowCount = 0;
    const uint8_t* const* values = nullptr;
    const size_t* sizes = nullptr;
    const int8_t* nulls = nullptr;
    ASSERT_EQ(nullptr, kelvo_rowset_chunk_field_values(chunk, &cols, &rowCount, &values, &sizes, &nulls));
    ASSERT_EQ(3u, cols);
    ASSERT_EQ(256u, rowCount);
    // Row 1: "a1", NULL, "".
    EXPECT_EQ("a1", std::string(reinterpret_cast<const char*>(values[3]), sizes[3]));
    EXPECT_EQ(std::make_tuple(nullptr != values[5], sizes[4], sizes[5]), std::make_tuple(true, size_t{0}, size_t{0}));
    EXPECT_EQ(std::vector<int8_t>({0, 1, 0}), std::vector<int8_t>(nulls + 3, nulls + 6));
    EXPECT_EQ(nullptr, values[4]);
    // The chunk outlives its rowset and connection; out-of-range indexes must not reach the gone connection's notice
    // hook.
    kelvo_close_rowset(rowset);
    Finish(peer, conn);
    // Single fields: NULL, empty, and indexes past the end or above INT_MAX.
    const std::tuple<uint32_t, uint32_t, bool> fields[] = {
        {1, 1, true}, {1, 2, false}, {256, 0, true}, {0, 3, true}, {0xFFFFFFFFu, 0, true}, {0, 0xFFFFFFFFu, true}};
    for (const auto& [row, column, null] : fields) {
        EXPECT_EQ(null, kelvo_rowset_chunk_field_is_null(chunk, row, column)) << row << "," << column;
        EXPECT_EQ(null, kelvo_rowset_chunk_field_value(chunk, row, column).value == nullptr);
    }
    for (const auto& [row, column] : {std::pair<uint32_t, uint32_t>{256, 0}, {0, 0xFFFFFFFFu}}) {
        int size = -1;
        EXPECT_EQ(nullptr, kelvo_rowset_chunk_field_value_byref(chunk, row, column, &size));
        EXPECT_EQ(0, size);
    }
    kelvo_destroy_rowset_chunk(chunk);
}

}  // namespace
