// The protocol 3.0 parser fed from memory: framing limits, messages cut at
// every byte, malformed and hostile messages, error and notice texts,
// notifications, parameter reports and row descriptions.
#include "postgres/libpq/protocol3_parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "parser_helpers.h"
#include "postgres/libpq/parameter_status.h"
#include "support/scripted_peer.h"

namespace {

using namespace kelvotest;
namespace w = kelvotest::wire;

// A raw message whose length word is given rather than computed.
std::string RawMessage(char type, int64_t lengthWord, const std::string& body) {
    return std::string(1, type) + w::Int32(lengthWord) + body;
}

// Results with their tags, texts and values, NULLs marked.
std::string Dump(const std::vector<ResultPtr>& results) {
    std::string out;
    for (const ResultPtr& r : results) {
        out += std::to_string(PQresultStatus(r.get())) + PQcmdStatus(r.get()) + PQresultErrorMessage(r.get()) + "|";
        for (int row = 0; row < PQntuples(r.get()); ++row)
            for (int col = 0; col < PQnfields(r.get()); ++col)
                out += PQgetisnull(r.get(), row, col) ? std::string("NULL,")
                                                      : std::string(PQgetvalue(r.get(), row, col)) + ",";
    }
    return out;
}

TEST(Framing, LengthLimitsForShortAndLongMessageTypes) {
    const std::string columns = w::RowDescription({{"t", 25, -1}});
    // Bytes before the message, the message, the length in the lost-sync text or 0.
    const std::tuple<std::string, std::string, int64_t> cases[] = {
        {"", w::CommandComplete(std::string(29995, 'x')), 0},
        {"", w::CommandComplete(std::string(29996, 'x')), 30001},
        {"", w::ErrorResponse({{'S', "ERROR"}, {'M', std::string(39990, 'm')}}), 0},
        {"", RawMessage('D', 0x80000000LL, ""), INT32_MIN},  // above INT_MAX
        {columns, RawMessage('D', 0x7FFFFFFF, ""), 0x7FFFFFFF},
    };
    for (const auto& [prefix, message, lostAt] : cases) {
        SCOPED_TRACE(std::string(1, message[0]) + " " + std::to_string(message.size()));
        ConnPtr conn;
        auto results = RunStatement(conn, prefix + message);
        if (lostAt != 0) {
            ASSERT_EQ(results.size(), 1u);
            EXPECT_EQ(PQresultStatus(results[0].get()), PGRES_FATAL_ERROR);
            EXPECT_EQ(std::string(PQresultErrorMessage(results[0].get())),
                      "<sqlstate>08P01</sqlstate><primary>lost synchronization with server: got message type \"" +
                          std::string(1, message[0]) + "\", length " + std::to_string(lostAt) + "</primary>\n");
            EXPECT_EQ(conn->status, CONNECTION_BAD);
            EXPECT_LE(conn->inBufSize, 65536);  // the buffer did not grow toward a hostile length
        } else {
            EXPECT_EQ(conn->status, CONNECTION_OK);
            EXPECT_EQ(conn->inStart, conn->inEnd);  // consumed whole
            for (const ResultPtr& r : results)
                EXPECT_EQ(std::string(PQresultErrorMessage(r.get())).find("lost synchronization"), std::string::npos);
            // A command tag is cut to 63 characters.
            if (message[0] == 'C') {
                ASSERT_EQ(results.size(), 1u);
                EXPECT_EQ(std::string(PQcmdStatus(results[0].get())), std::string(63, 'x'));
            }
        }
    }
}

// A whole conversation, parsed at once and one byte at a time, gives the
// same results.
TEST(Framing, MessagesCutOneByteAtATime) {
    const std::string stream =
        w::ParameterStatus("client_encoding", "UTF8") + w::NoticeResponse({{'S', "NOTICE"}, {'M', "hello"}}) +
        w::RowDescription({{"a"}, {"b", 25, -1}}) + w::DataRow({std::string("1"), std::nullopt}) +
        w::DataRow({std::string("2"), std::string("two")}) + w::DataRow({std::string("3"), std::string()}) +
        w::CommandComplete("SELECT 3") + w::ErrorResponse({{'S', "ERROR"}, {'C', "42601"}, {'M', "syntax"}}) +
        w::ReadyForQuery('E');

    for (uint32_t chunk : {0u, 2u}) {
        auto whole = MakeDetachedRecord();
        BeginStatement(whole.get(), chunk);
        FeedInput(whole.get(), stream);
        auto expected = TakeResults(whole.get());

        auto bytewise = MakeDetachedRecord();
        Notices notices;
        notices.Install(bytewise->noticeHooks);
        BeginStatement(bytewise.get(), chunk);
        std::vector<ResultPtr> got;
        for (char ch : stream) {
            FeedInput(bytewise.get(), std::string(1, ch));
            for (auto& r : TakeResults(bytewise.get()))
                got.push_back(std::move(r));
        }
        const std::vector<std::string> whole_results = {"2:3:SELECT 3", "7:0"};
        const std::vector<std::string> chunked_results = {"9:2", "2:1:SELECT 3", "7:0"};
        EXPECT_EQ(Describe(expected), chunk == 0 ? whole_results : chunked_results);
        ASSERT_EQ(Dump(got), Dump(expected));
        EXPECT_EQ(bytewise->asyncStatus, PGASYNC_IDLE);
        EXPECT_EQ(bytewise->xactStatus, PQTRANS_INERROR);
        EXPECT_EQ(bytewise->client_encoding, 6);
        EXPECT_EQ(notices.texts, std::vector<std::string>{"<severity>NOTICE</severity><primary>hello</primary>\n"});
        EXPECT_STREQ(bytewise->last_sqlstate, "42601");
    }
}

// Malformed messages give one error result each and the connection stays
// usable; the statement ends at ReadyForQuery.
TEST(MalformedMessages, GiveOneErrorResultAndKeepTheConnection) {
    const std::string oneColumn = w::RowDescription({{"t", 25, -1}});
    const std::tuple<const char*, std::string, std::string> cases[] = {
        // name, stream, text
        {"field length below -1", oneColumn + w::Message('D', w::Int16(1) + w::Int32(-2) + "abc"),
         "invalid field length in \"D\" message\n"},
        {"field length past the message", oneColumn + w::Message('D', w::Int16(1) + w::Int32(0x7FFFFFFF) + "abc"),
         "insufficient data in \"D\" message\n"},
        {"extra bytes in a row", oneColumn + w::Message('D', w::Int16(1) + w::Int32(1) + "ab"),
         "extraneous data in \"D\" message\n"},
        {"field count 65535 against 1 column", oneColumn + w::Message('D', w::Int16(0xFFFF) + w::Int32(-1)),
         "unexpected field count in \"D\" message\n"},
        {"row without a description", w::DataRow({std::string("1")}),
         "server sent data (\"D\" message) without prior row description (\"T\" message)\n"},
        {"65535 columns announced, none sent", w::Message('T', w::Int16(0xFFFF)),
         "insufficient data in \"T\" message\n"},
        {"parameter count 65535, none sent", w::Message('t', w::Int16(0xFFFF)), "insufficient data in \"t\" message\n"},
        {"tag without its NUL", w::Message('C', "SELECT 1"),
         "message contents do not agree with length in message type \"C\"\n"},
        {"error fields without their end", w::Message('E', std::string("SERROR\0MX", 9)),
         "message contents do not agree with length in message type \"E\"\n"},
        {"ready-for-query with extra bytes", w::Message('Z', "II"),
         "message contents do not agree with length in message type \"Z\"\n"},
        {"copy response with 65535 columns", w::Message('H', std::string(1, '\0') + w::Int16(0xFFFF)),
         "message contents do not agree with length in message type \"H\"\n"},
        {"unknown type", w::Message('X', "abc"),
         "unexpected response from server; first received character was \"X\"\n"},
    };
    for (const auto& [name, stream, text] : cases) {
        SCOPED_TRACE(name);
        // The statement goes on after the bad message and ends normally.
        ConnPtr conn;
        auto results = RunStatement(conn, stream + w::CommandComplete("SELECT 1") + w::ReadyForQuery());
        ASSERT_FALSE(results.empty());
        EXPECT_EQ(PQresultStatus(results[0].get()), PGRES_FATAL_ERROR);
        EXPECT_EQ(PQresultErrorMessage(results[0].get()), text);
        EXPECT_EQ(conn->status, CONNECTION_OK);
        EXPECT_EQ(conn->asyncStatus, PGASYNC_IDLE);
        EXPECT_EQ(conn->inStart, conn->inEnd);
    }
}

// Error fields from "S=ERROR|C=42P01|...": a code and its text per item.
std::vector<std::pair<char, std::string>> Fields(const std::string& items) {
    std::vector<std::pair<char, std::string>> out;
    for (size_t at = 0, end = 0; at < items.size(); at = end + 1) {
        end = std::min(items.find('|', at), items.size());
        out.emplace_back(items[at], items.substr(at + 2, end - at - 2));
    }
    return out;
}

TEST(ErrorTexts, ServerErrorsBecomeTaggedTexts) {
    const std::tuple<std::string, const char*, std::string> cases[] = {
        // fields, query kept, text
        {"S=ERROR|C=42P01|M=relation \"nosuch\" does not exist|P=15", nullptr,
         "<severity>ERROR</severity><sqlstate>42P01</sqlstate><primary>relation \"nosuch\" does not "
         "exist</primary><position>15</position>\n"},
        {"S=ERROR|C=23505|M=duplicate key|D=Key (id)=(1) exists.|H=Use another.|W=SQL function|s=public|t=items|c=id|"
         "d=int4|n=items_pkey|R=_bt_check_unique",
         nullptr,
         "<severity>ERROR</severity><sqlstate>23505</sqlstate><primary>duplicate key</primary>\n"
         "<detail>Key (id)=(1) exists.</detail><hint>Use another.</hint><context>SQL function</context>"
         "<schema-name>public</schema-name><table-name>items</table-name><column-name>id</column-name>"
         "<datatype-name>int4</datatype-name><constraint-name>items_pkey</constraint-name>"
         "<location>_bt_check_unique, </location>"},
        // The non-localised severity wins.
        {"S=FEHLER|V=ERROR|C=42601|M=Syntaxfehler", nullptr,
         "<severity>ERROR</severity><sqlstate>42601</sqlstate><primary>Syntaxfehler</primary>\n"},
        {"S=ERROR|C=42703|M=no column|p=8|q=SELECT nope", nullptr,
         "<severity>ERROR</severity><sqlstate>42703</sqlstate><primary>no column</primary>\n"
         "LINE 1: SELECT nope\n"
         "               ^\n"
         "<query>SELECT nope</query>"},
        {"S=ERROR|M=m|p=8", nullptr, "<severity>ERROR</severity><primary>m</primary><position>8</position>\n"},
        {"S=ERROR|M=m|P=99999999999999999999", "SELECT 1", "<severity>ERROR</severity><primary>m</primary>\n"},
        // Field texts can neither forge nor cut tags.
        {"S=ERROR|M=relation \"a</primary><hint>x</hint>\" & more|t=</table-name>|D=<detail>fake</detail>|P=17",
         "SELECT <x> FROM \"a</primary>\"",
         "<severity>ERROR</severity><primary>relation \"a&lt;/primary>&lt;hint>x&lt;/hint>\" &amp; more</primary>\n"
         "LINE 1: SELECT &lt;x> FROM \"a&lt;/primary>\"\n" +
             std::string(27, ' ') +
             "^\n"
             "<detail>&lt;detail>fake&lt;/detail></detail><table-name>&lt;/table-name></table-name>"},
        {"S=ERROR|M=m|F=a.c", nullptr, "<severity>ERROR</severity><primary>m</primary>\n<location></location>"},
    };
    for (const auto& [fields, query, expected] : cases) {
        ConnPtr conn;
        auto results =
            RunStatement(conn, w::ErrorResponse(Fields(fields)) + w::ReadyForQuery(), 0, PGQUERY_SIMPLE, query);
        ASSERT_EQ(results.size(), 1u) << fields;
        EXPECT_EQ(PQresultErrorMessage(results[0].get()), expected) << fields;
        EXPECT_EQ(std::string(conn->errorMessage.data), expected) << fields;  // the connection's text is the same
    }
}

// While idle, a notice and an error both go to the receiver as notices,
// and other messages raise a client notice; during a statement an error
// carries its context, and notifications are parsed and dropped.
TEST(Notices, ReachTheReceiverAndCarryNoContext) {
    auto conn = MakeDetachedRecord();
    Notices notices;
    notices.Install(conn->noticeHooks);
    const auto fields = Fields("S=WARNING|C=01000|M=careful|W=PL/pgSQL function");
    FeedInput(conn.get(), w::NoticeResponse(fields) + w::ErrorResponse(fields) + w::CommandComplete("X") +
                              w::ParameterStatus("standard_conforming_strings", "on"));
    EXPECT_TRUE(TakeResults(conn.get()).empty());
    const std::string plain = "<severity>WARNING</severity><sqlstate>01000</sqlstate><primary>careful</primary>\n";
    EXPECT_EQ(notices.texts,
              (std::vector<std::string>{plain, plain, "message type 0x43 arrived from server while idle\n"}));
    EXPECT_TRUE(conn->std_strings);
    EXPECT_EQ(conn->inStart, conn->inEnd);

    BeginStatement(conn.get());
    std::string stream;
    for (int i = 0; i < 1000; ++i)
        stream += w::NotificationResponse(i, "channel", std::string(100, 'p'));
    FeedInput(conn.get(), stream + w::ErrorResponse(fields) + w::ReadyForQuery());
    auto results = TakeResults(conn.get());
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(PQresultErrorMessage(results[0].get()), plain + "<context>PL/pgSQL function</context>");
    EXPECT_EQ(conn->notifyHead, nullptr);
}

TEST(ParameterStatus, ServerVersionEncodingAndStandardStringsFollowTheLatestReport) {
    const std::vector<std::pair<const char*, int>> versions = {{"9.6.1", 90601},
                                                               {"12devel", 120000},
                                                               {"9.6", 90600},
                                                               {"", 0},
                                                               {"abc", 0},
                                                               {"10.1.2", 100102},
                                                               {"99999999999999.1", 999990001}};
    for (const auto& [text, number] : versions) {
        auto conn = MakeDetachedRecord();
        FeedInput(conn.get(), w::ParameterStatus("server_version", text));
        pqParseInput3(conn.get());
        EXPECT_EQ(conn->sversion, number) << text;
        EXPECT_STREQ(PQparameterStatus(conn.get(), "server_version"), text);
    }

    auto conn = MakeDetachedRecord();
    BeginStatement(conn.get());
    FeedInput(conn.get(), w::ParameterStatus("client_encoding", "UTF8") + w::ParameterStatus("application_name", "a") +
                              w::ParameterStatus("standard_conforming_strings", "on") +
                              w::ParameterStatus("client_encoding", "LATIN1"));
    pqParseInput3(conn.get());
    EXPECT_EQ(conn->client_encoding, 8);
    EXPECT_EQ(pqLastClientEncoding(), 8);
    EXPECT_TRUE(conn->std_strings);
    EXPECT_TRUE(pqLastStdStrings());
    EXPECT_STREQ(PQparameterStatus(conn.get(), "client_encoding"), "LATIN1");
    int entries = 0;  // one per name
    for (pgParameterStatus* p = conn->pstatus; p != nullptr; p = p->next)
        ++entries;
    EXPECT_EQ(entries, 3);

    FeedInput(conn.get(), w::ParameterStatus("client_encoding", "no-such-encoding") +
                              w::ParameterStatus("standard_conforming_strings", "ON"));
    pqParseInput3(conn.get());
    EXPECT_EQ(conn->client_encoding, 0);
    EXPECT_FALSE(conn->std_strings);
    EXPECT_EQ(PQparameterStatus(conn.get(), "nothing"), nullptr);
}

TEST(BusyMessages, StatusBytesKeysAndSimpleResults) {
    const std::vector<std::pair<char, PGTransactionStatusType>> xact = {
        {'I', PQTRANS_IDLE}, {'T', PQTRANS_INTRANS}, {'E', PQTRANS_INERROR}, {'?', PQTRANS_UNKNOWN}};
    for (const auto& [byte, status] : xact) {
        ConnPtr conn;
        auto results =
            RunStatement(conn, w::BackendKeyData(1234, -5) + w::EmptyQueryResponse() + w::ReadyForQuery(byte));
        EXPECT_EQ(Describe(results), std::vector<std::string>{"0:0"});
        EXPECT_EQ(conn->xactStatus, status);
        EXPECT_EQ(conn->be_pid, 1234);
        EXPECT_EQ(conn->be_key, -5);
    }

    // Extended-protocol replies by query class.
    const std::tuple<PGQueryClass, std::string, std::vector<std::string>> cases[] = {
        {PGQUERY_EXTENDED,
         w::ParseComplete() + w::BindComplete() + w::NoData() + w::CommandComplete("SET") + w::ReadyForQuery(),
         {"1:0:SET"}},
        {PGQUERY_DESCRIBE,
         w::Message('t', w::Int16(2) + w::Int32(23) + w::Int32(25)) + w::RowDescription({{"a"}}) + w::ReadyForQuery(),
         {"1:0"}},
        {PGQUERY_DESCRIBE, w::Message('t', w::Int16(0)) + w::NoData() + w::ReadyForQuery(), {"1:0"}},
        {PGQUERY_EXTENDED, w::CopyOutResponse(1, {1, 1}), {"3:0"}},
    };
    for (const auto& [queryclass, stream, expected] : cases) {
        ConnPtr conn;
        auto results = RunStatement(conn, stream, 0, queryclass);
        if (conn->asyncStatus == PGASYNC_COPY_OUT) {
            results.emplace_back(pqPrepareAsyncResult(conn.get()));
            EXPECT_EQ(conn->copy_is_binary, 1);
            EXPECT_EQ(PQnfields(results.back().get()), 2);
            EXPECT_EQ(results.back()->binary, 1);
        }
        EXPECT_EQ(Describe(results), expected);
        if (queryclass == PGQUERY_DESCRIBE && PQnfields(results[0].get()) == 1) {
            EXPECT_EQ(results[0]->numParameters, 2);
            EXPECT_EQ(results[0]->paramDescs[1].typid, 25u);
        }
    }
}

// Unsigned and signed fields read as such; a column in a format the client
// does not know is kept as sent and makes the result not binary.
TEST(RowDescription, ReadsSignedAndUnsignedFieldsFormatsAndTheBinaryFlag) {
    const w::Column wide{"w", 0xFFFFFFF0u, -1, 1, 0xFFFFFFFFu, 0xFFFF, -1};
    const std::string odd("\x01\x00\x02", 3);
    ConnPtr conn;
    auto results = RunStatement(conn, w::RowDescription({wide, {"b", 23, 4, 1}}) + w::CommandComplete("SELECT 0") +
                                          w::RowDescription({{"a", 23, 4, 1}, {"odd", 17, -1, 2}}) +
                                          w::DataRow({std::string(4, '\1'), odd}) + w::CommandComplete("SELECT 1") +
                                          w::ReadyForQuery());
    ASSERT_EQ(results.size(), 2u);
    const PGresult* res = results[0].get();
    EXPECT_EQ(PQftype(res, 0), 0xFFFFFFF0u);
    EXPECT_EQ(res->attDescs[0].typlen, -1);
    EXPECT_EQ(res->attDescs[0].tableid, 0xFFFFFFFFu);
    EXPECT_EQ(res->attDescs[0].columnid, -1);
    EXPECT_EQ(res->binary, 1);
    EXPECT_EQ(results[1]->binary, 0);
    EXPECT_EQ(results[1]->attDescs[1].format, 2);
    EXPECT_EQ(std::string(PQgetvalue(results[1].get(), 0, 1), PQgetlength(results[1].get(), 0, 1)), odd);
}

}  // namespace
