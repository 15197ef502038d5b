// Inserters in plain mode against the scripted peer: the COPY statement and
// the exact bytes on the wire, the busy rule, closing with and without data,
// the server's failures at opening and at the end, back-off on 53400, the
// end-of-load report, and COPY driven by the caller.
#include <gtest/gtest.h>

#include <memory>
#include <string>
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

std::string Startup() { return wire::AuthenticationOk() + wire::BackendKeyData(7, 99) + wire::ReadyForQuery(); }

ScriptedPeer::Script& ExpectDetach(ScriptedPeer::Script& script) {
    return script.ExpectMessage('Q').Send(wire::CommandComplete("DETACH") + wire::ReadyForQuery());
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


// "db"."s"."t" with a nullable INT "a" and a NOT NULL BOOL "b": database and
// schema are given, so creating the inserter asks the server nothing.
kelvoapi::TableDefinition Target(const std::string& table = "t") {
    kelvoapi::TableDefinition definition("db", "s", table, KELVO_PERMANENT, false);
    definition.AddColumn("a", KELVO_INT, 0, "", true);
    definition.AddColumn("b", KELVO_BOOL, 0, "", false);
    return definition;
}

const char* const kCopyStatement =
    "COPY \"db\".\"s\".\"t\" (\"a\", \"b\") FROM STDIN WITH (FORMAT KELVOBINARY, SANITIZE)";

std::string Header() { return std::string("KLVCPY") + std::string(13, '\0'); }

// The body of a query message without its NUL.
std::string QueryText(const kelvotest::ClientMessage& message) {
    return message.body.substr(0, message.body.find('\0'));
}

std::vector<kelvotest::ClientMessage> After(const ScriptedPeer& peer, char type) {
    std::vector<kelvotest::ClientMessage> messages;
    for (const auto& m : peer.Messages(0)) {
        if (m.type == type) messages.push_back(m);
    }
    return messages;
}

std::string CopyBytes(const ScriptedPeer& peer) {
    std::string bytes;
    for (const auto& m : After(peer, 'd')) bytes += m.body;
    return bytes;
}

ErrorPtr Send(kelvo_inserter_t* inserter, const std::string& chunk) {
    return ErrorPtr(kelvo_inserter_insert_chunk(inserter, reinterpret_cast<const uint8_t*>(chunk.data()),
                                                chunk.size()));
}

TEST(InserterPlainTest, OneCopyCarriesEveryChunkAndTheConnectionIsBusyMeanwhile) {
    for (const bool insertData : {true, false}) {
        SCOPED_TRACE(insertData ? "insert" : "close without insert_data");
        kelvotest::LogEvents log;
        ScriptedPeer peer;
        auto& script = peer.AddConnection().ExpectMessage(0).Send(Startup());
        script.ExpectMessage('Q').Send(wire::CopyInResponse(1, {1, 1}));
        script.ExpectMessage('c').Send(wire::CommandComplete("COPY 2") + wire::ReadyForQuery());
        ExpectDetach(script);
        peer.Start();
        kelvo_connection_t* conn = Connect(peer);
        const kelvoapi::TableDefinition definition = Target();

        kelvo_inserter_t* inserter = nullptr;
        ASSERT_EQ(ErrorPtr(kelvo_create_inserter(conn, &definition, &inserter)), nullptr);
        EXPECT_FALSE(kelvo_connection_is_ready(conn));
        std::vector<ErrorPtr> refusals;
        refusals.emplace_back(kelvo_execute_command(conn, "SELECT 1", nullptr));
        refusals.emplace_back(kelvo_copy_data(conn, reinterpret_cast<const uint8_t*>("x"), 1));
        refusals.emplace_back(kelvo_copy_end(conn));
        for (const ErrorPtr& refused : refusals) {
            ASSERT_NE(refused, nullptr);
            EXPECT_EQ(AsError(refused).GetSqlstate(), "55006");
        }
        kelvo_inserter_t* second = nullptr;
        const ErrorPtr busy(kelvo_create_inserter(conn, &definition, &second));
        ASSERT_NE(busy, nullptr);
        EXPECT_EQ(AsError(busy).GetSqlstate(), "55006");
        EXPECT_EQ(second, nullptr);

        const std::string first = Header() + std::string("\x00\x07\x00\x00\x00\x01", 6);
        const std::string later = Header() + std::string("\x01\x00", 2);
        ASSERT_EQ(Send(inserter, first), nullptr);
        ASSERT_EQ(Send(inserter, later), nullptr);
        ASSERT_EQ(ErrorPtr(kelvo_close_inserter(inserter, insertData)), nullptr);
        EXPECT_TRUE(kelvo_connection_is_ready(conn));
        kelvo_disconnect(conn);
        peer.Stop();
        EXPECT_TRUE(peer.Errors().empty());

        const auto queries = After(peer, 'Q');
        ASSERT_EQ(queries.size(), 2u);
        EXPECT_EQ(QueryText(queries[0]), kCopyStatement);
        EXPECT_EQ(CopyBytes(peer), first + later.substr(19)) << "later chunks go without their header";
        EXPECT_TRUE(After(peer, 'f').empty()) << "a plain COPY always ends normally";

        ASSERT_EQ(log.Values("inserter-begin"), std::vector<std::string>{"{\"table-name\":\"t\"}"});
        const auto end = log.Values("inserter-end");
        ASSERT_EQ(end.size(), 1u);
        EXPECT_EQ(end[0].rfind("{\"table-name\":\"t\",\"elapsed-msec\":", 0), 0u) << end[0];
        EXPECT_NE(end[0].find(",\"chunk-count\":2,\"byte-count\":27"), std::string::npos) << end[0];
        EXPECT_EQ(end[0].find("bulk"), std::string::npos);
        EXPECT_EQ(end[0].find("throttled"), std::string::npos);
    }
}

TEST(InserterPlainTest, AnInserterWithoutChunksSendsNothing) {
    kelvotest::LogEvents log;
    ScriptedPeer peer;
    auto& script = peer.AddConnection().ExpectMessage(0).Send(Startup());
    ExpectDetach(script);
    peer.Start();
    kelvo_connection_t* conn = Connect(peer);
    // The table name is caller text inside the log's JSON: it must stay one string.
    const kelvoapi::TableDefinition definition = Target("t\"1\\");
    kelvo_inserter_t* inserter = nullptr;
    ASSERT_EQ(ErrorPtr(kelvo_create_inserter(conn, &definition, &inserter)), nullptr);
    ASSERT_EQ(ErrorPtr(kelvo_close_inserter(inserter, true)), nullptr);
    EXPECT_TRUE(kelvo_connection_is_ready(conn));
    kelvo_disconnect(conn);
    peer.Stop();
    EXPECT_TRUE(peer.Errors().empty());
    ASSERT_EQ(After(peer, 'Q').size(), 1u) << "only the DETACH";
    EXPECT_EQ(log.Values("inserter-begin"), std::vector<std::string>{"{\"table-name\":\"t\\\"1\\\\\"}"});
    EXPECT_EQ(log.Values("inserter-end"), std::vector<std::string>{"{\"table-name\":\"t\\\"1\\\\\"}"});
}

TEST(InserterPlainTest, ServerFailuresAreReportedAndTheConnectionIsReadyAfterTheClose) {
    const std::string refusal =
        wire::ErrorResponse({{'S', "ERROR"}, {'C', "42P01"}, {'M', "relation \"t\" does not exist"}}) +
        wire::ReadyForQuery();
    const std::string badData =
        wire::ErrorResponse({{'S', "ERROR"}, {'C', "22P04"}, {'M', "bad copy data"}}) + wire::ReadyForQuery();
    struct Case {
        const char* name;
        bool failsAtOpen;
        const char* sqlstate;
        const char* message;
        uint32_t contextId;
    };
    const Case cases[] = {
        {"the COPY is refused", true, "42P01", "relation \"t\" does not exist", 0x25a07c27},
        {"the data is refused at the end", false, "22P04", "bad copy data", 0x13f24940},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPeer peer;
        auto& script = peer.AddConnection().ExpectMessage(0).Send(Startup());
        if (c.failsAtOpen) {
            script.ExpectMessage('Q').Send(refusal);
        } else {
            script.ExpectMessage('Q').Send(wire::CopyInResponse(1, {1, 1}));
            script.ExpectMessage('c').Send(badData);
        }
        script.ExpectMessage('Q').Send(wire::CommandComplete("SELECT 0") + wire::ReadyForQuery());
        ExpectDetach(script);
        peer.Start();
        kelvo_connection_t* conn = Connect(peer);
        const kelvoapi::TableDefinition definition = Target();
        kelvo_inserter_t* inserter = nullptr;
        ASSERT_EQ(ErrorPtr(kelvo_create_inserter(conn, &definition, &inserter)), nullptr);
        const ErrorPtr sent = Send(inserter, Header() + std::string("\x01\x00", 2));
        const ErrorPtr closed(kelvo_close_inserter(inserter, true));
        const ErrorPtr& error = c.failsAtOpen ? sent : closed;
        EXPECT_EQ(c.failsAtOpen ? closed : sent, nullptr);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(AsError(error).GetSqlstate(), c.sqlstate);
        EXPECT_EQ(AsError(error).GetMessage(), c.message);
        EXPECT_EQ(AsError(error).GetContextId().value, c.contextId);
        EXPECT_TRUE(kelvo_connection_is_ready(conn));
        EXPECT_EQ(ErrorPtr(kelvo_execute_command(conn, "SELECT 0", nullptr)), nullptr)
            << "the connection is usable again";
        kelvo_disconnect(conn);
        peer.Stop();
        EXPECT_TRUE(peer.Errors().empty());
    }
}

TEST(InserterPlainTest, ConfigurationLimitOnOpeningIsRetried) {
    kelvotest::LogEvents log;
    ScriptedPeer peer;
    auto& script = peer.AddConnection().ExpectMessage(0).Send(Startup());
    script.ExpectMessage('Q').Send(
        wire::ErrorResponse({{'S', "ERROR"}, {'C', "53400"}, {'M', "too many loads"}}) + wire::ReadyForQuery());
    script.ExpectMessage('Q').Send(wire::CopyInResponse(1, {1, 1}));
    script.ExpectMessage('c').Send(wire::CommandComplete("COPY 1") + wire::ReadyForQuery());
    ExpectDetach(script);
    peer.Start();
    kelvo_connection_t* conn = Connect(peer);
    const kelvoapi::TableDefinition definition = Target();
    kelvo_inserter_t* inserter = nullptr;
    ASSERT_EQ(ErrorPtr(kelvo_create_inserter(conn, &definition, &inserter)), nullptr);
    ASSERT_EQ(Send(inserter, Header() + std::string("\x01\x00", 2)), nullptr);
    ASSERT_EQ(ErrorPtr(kelvo_close_inserter(inserter, true)), nullptr);
    kelvo_disconnect(conn);
    peer.Stop();
    EXPECT_TRUE(peer.Errors().empty());
    const auto queries = After(peer, 'Q');
    ASSERT_EQ(queries.size(), 3u);
    EXPECT_EQ(QueryText(queries[0]), kCopyStatement);
    EXPECT_EQ(QueryText(queries[1]), kCopyStatement);
    const auto end = log.Values("inserter-end");
    ASSERT_EQ(end.size(), 1u);
    EXPECT_NE(end[0].find(",\"throttled-msec\":100}"), std::string::npos) << end[0];
}

TEST(InserterPlainTest, RefusedArguments) {
    ScriptedPeer peer;
    auto& script = peer.AddConnection().ExpectMessage(0).Send(Startup());
    script.ExpectMessage('Q').Send(wire::CopyInResponse(1, {1, 1}));
    script.ExpectMessage('c').Send(wire::CommandComplete("COPY 0") + wire::ReadyForQuery());
    ExpectDetach(script);
    peer.Start();
    kelvo_connection_t* conn = Connect(peer);

    kelvoapi::TableDefinition odd("db", "s", "t", KELVO_PERMANENT, false);
    odd.AddColumn("a", KELVO_INT, 0, "", true);
    odd.AddColumn("g\"x", KELVO_UNSUPPORTED, 0, "", true);
    kelvo_inserter_t* inserter = nullptr;
    const ErrorPtr unsupported(kelvo_create_inserter(conn, &odd, &inserter));
    ASSERT_NE(unsupported, nullptr);
    EXPECT_EQ(AsError(unsupported).GetSqlstate(), "0A000");
    EXPECT_EQ(AsError(unsupported).GetMessage(),
              "Cannot create an inserter for the table \"db\".\"s\".\"t\". The column \"g\"\"x\" is of a type that "
              "is not supported.");
    EXPECT_EQ(AsError(unsupported).GetContextId().value, 0xefa77244u);
    EXPECT_TRUE(kelvo_connection_is_ready(conn));

    const ErrorPtr noInserter(kelvo_close_inserter(nullptr, true));
    ASSERT_NE(noInserter, nullptr);
    EXPECT_EQ(AsError(noInserter).GetCode(), std::errc::invalid_argument);
    const ErrorPtr negative(kelvo_copy_data(conn, reinterpret_cast<const uint8_t*>("x"), -1));
    ASSERT_NE(negative, nullptr);
    EXPECT_EQ(AsError(negative).GetCode(), std::errc::invalid_argument);

    // A later chunk shorter than its header cannot be cut to its cells.
    const kelvoapi::TableDefinition definition = Target();
    ASSERT_EQ(ErrorPtr(kelvo_create_inserter(conn, &definition, &inserter)), nullptr);
    ASSERT_EQ(Send(inserter, Header()), nullptr);
    const ErrorPtr shortChunk = Send(inserter, "KLV");
    ASSERT_NE(shortChunk, nullptr);
    EXPECT_EQ(AsError(shortChunk).GetSqlstate(), "22023");
    // Refused before a byte of it is read.
    const ErrorPtr hugeChunk(
        kelvo_inserter_insert_chunk(inserter, reinterpret_cast<const uint8_t*>("KLV"), size_t{1} << 31));
    ASSERT_NE(hugeChunk, nullptr);
    EXPECT_EQ(AsError(hugeChunk).GetSqlstate(), "54000");
    EXPECT_EQ(ErrorPtr(kelvo_close_inserter(inserter, true)), nullptr);
    kelvo_disconnect(conn);
    peer.Stop();
    EXPECT_TRUE(peer.Errors().empty());
    EXPECT_EQ(CopyBytes(peer), Header());
}

// The switch would need the main connection, which the open COPY holds; the
// load stays plain and its rows arrive.
TEST(InserterPlainTest, NoSwitchToBulkOnceThePlainCopyIsOpen) {
    ScriptedPeer peer;
    auto& script = peer.AddConnection().ExpectMessage(0).Send(Startup());
    script.ExpectMessage('Q').Send(wire::CopyInResponse(1, {1, 1}));
    script.ExpectMessage('c').Send(wire::CommandComplete("COPY 1") + wire::ReadyForQuery());
    ExpectDetach(script);
    peer.Start();
    kelvo_connection_t* conn = Connect(peer);
    const kelvoapi::TableDefinition definition = Target();
    kelvo_inserter_t* inserter = nullptr;
    ASSERT_EQ(ErrorPtr(kelvo_create_inserter(conn, &definition, &inserter)), nullptr);
    const std::string chunk = Header() + std::string("\x01\x00", 2);
    ASSERT_EQ(Send(inserter, chunk), nullptr);
    const ErrorPtr refused(kelvo_init_bulk_insert(inserter, &definition, "*"));
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ(AsError(refused).GetSqlstate(), "55000");
    ASSERT_EQ(Send(inserter, chunk), nullptr);
    ASSERT_EQ(ErrorPtr(kelvo_close_inserter(inserter, true)), nullptr);
    kelvo_disconnect(conn);
    peer.Stop();
    EXPECT_TRUE(peer.Errors().empty());
    EXPECT_EQ(CopyBytes(peer), chunk + chunk.substr(19));
    EXPECT_EQ(After(peer, 'Q').size(), 2u) << "the COPY and the DETACH only";
}

TEST(CallerCopyTest, CopyDataAndCopyEndDriveTheCallersCopy) {
    ScriptedPeer peer;
    auto& script = peer.AddConnection().ExpectMessage(0).Send(Startup());
    script.ExpectMessage('Q').Send(wire::CopyInResponse(0, {0}));
    script.ExpectMessage('c').Send(wire::CommandComplete("COPY 2") + wire::ReadyForQuery());
    script.ExpectMessage('Q').Send(wire::CopyInResponse(0, {0}));
    script.ExpectMessage('c').Send(
        wire::ErrorResponse({{'S', "ERROR"}, {'C', "22P04"}, {'M', "missing data"}}) + wire::ReadyForQuery());
    ExpectDetach(script);
    peer.Start();
    kelvo_connection_t* conn = Connect(peer);
    ASSERT_EQ(ErrorPtr(kelvo_execute_command(conn, "COPY t FROM STDIN", nullptr)), nullptr);
    ASSERT_EQ(ErrorPtr(kelvo_copy_data(conn, reinterpret_cast<const uint8_t*>("1\n2\n"), 4)), nullptr);
    ASSERT_EQ(ErrorPtr(kelvo_copy_data(conn, nullptr, 0)), nullptr);
    ASSERT_EQ(ErrorPtr(kelvo_copy_end(conn)), nullptr);
    ASSERT_EQ(ErrorPtr(kelvo_execute_command(conn, "COPY t FROM STDIN", nullptr)), nullptr);
    const ErrorPtr failed(kelvo_copy_end(conn));
    ASSERT_NE(failed, nullptr);
    EXPECT_EQ(AsError(failed).GetSqlstate(), "22P04");
    EXPECT_TRUE(kelvo_connection_is_ready(conn));
    kelvo_disconnect(conn);
    peer.Stop();
    EXPECT_TRUE(peer.Errors().empty());
    EXPECT_EQ(CopyBytes(peer), "1\n2\n");
}

}  // namespace
