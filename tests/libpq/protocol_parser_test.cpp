// The protocol 3.0 and 2.0 parsers fed from memory: framing, hostile messages, error texts and the error-cursor
// display.
#include "postgres/libpq/protocol3_parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "parser_helpers.h"
#include "postgres/libpq/error_text.h"
#include "postgres/libpq/parameter_status.h"
#include "postgres/libpq/protocol2_parser.h"
#include "postgres/mb/encoding.h"
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
        {columns, RawMessage('D', 0x7FFFFFFF, ""), 0x7FFFFFFF}};
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

// A whole conversation, parsed at once and one byte at a time, gives the same results.
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

// Malformed messages give one error result each and the connection stays usable; the statement ends at ReadyForQuery.
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
         "unexpected response from server; first received character was \"X\"\n"}};
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
        {"S=ERROR|M=m|F=a.c", nullptr, "<severity>ERROR</severity><primary>m</primary>\n<location></location>"}};
    for (const auto& [fields, query, expected] : cases) {
        ConnPtr conn;
        auto results =
            RunStatement(conn, w::ErrorResponse(Fields(fields)) + w::ReadyForQuery(), 0, PGQUERY_SIMPLE, query);
        ASSERT_EQ(results.size(), 1u) << fields;
        EXPECT_EQ(PQresultErrorMessage(results[0].get()), expected) << fields;
        EXPECT_EQ(std::string(conn->errorMessage.data), expected) << fields;  // the connection's text is the same
    }
}

// While idle, a notice and an error both go to the receiver as notices, and other messages raise a client notice;
// during a statement an error carries its context, and notifications are parsed and dropped.
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
        {PGQUERY_EXTENDED, w::CopyOutResponse(1, {1, 1}), {"3:0"}}};
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

// Unsigned and signed fields read as such; a column in a format the client does not know is kept as sent and makes the
// result not binary.
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

// The query is copied into a heap block of exactly its size (with the NUL), so that the address sanitizer sees any read
// past its end.
std::string Cursor(const std::string& query, int position, int encoding = PG_SQL_ASCII) {
    char* copy = static_cast<char*>(malloc(query.size() + 1));
    memcpy(copy, query.c_str(), query.size() + 1);
    std::string out;
    pqAppendErrorCursor(out, copy, position, encoding);
    free(copy);
    return out;
}

std::string Spaces(int n) { return std::string(static_cast<size_t>(n), ' '); }

TEST(ErrorCursor, MarksThePositionInItsLine) {
    std::string digits, han;  // 100 one-column characters; 40 two-column ones
    for (int i = 0; i < 10; ++i)
        digits += "0123456789";
    for (int i = 0; i < 40; ++i)
        han += "\xE6\xBC\xA2";
    const std::tuple<const char*, std::string, int, int, std::string> cases[] = {
        {"one line", "SELECT * FROM nosuch", 15, PG_SQL_ASCII, "LINE 1: SELECT * FROM nosuch\n" + Spaces(22) + "^\n"},
        {"just past the end", "abc", 4, PG_SQL_ASCII, "LINE 1: abc\n" + Spaces(11) + "^\n"},
        {"beyond the end", "abc", 5, PG_SQL_ASCII, ""},
        {"negative", "abc", -3, PG_SQL_ASCII, ""},
        {"third line after CRLF", "SELECT 1,\n  foo\r\nFROM x", 18, PG_SQL_ASCII,
         "LINE 3: FROM x\n" + Spaces(8) + "^\n"},
        {"second line of three", "a\nbcd\ne", 4, PG_SQL_ASCII, "LINE 2: bcd\n" + Spaces(9) + "^\n"},
        {"lone CRs count", "a\r\rb", 4, PG_SQL_ASCII, "LINE 3: b\n" + Spaces(8) + "^\n"},
        {"tab is a blank", "\tSELECT x", 2, PG_SQL_ASCII, "LINE 1:  SELECT x\n" + Spaces(9) + "^\n"},
        {"long line, position at column 51", digits, 51, PG_SQL_ASCII,
         "LINE 1: " + digits.substr(0, 60) + "...\n" + Spaces(58) + "^\n"},
        {"long line, position at column 52", digits, 52, PG_SQL_ASCII,
         "LINE 1: ..." + digits.substr(1, 60) + "...\n" + Spaces(61) + "^\n"},
        {"wide characters in a long line", han, 35, PG_UTF8,
         "LINE 1: ..." + han.substr(27, 90) + "...\n" + Spaces(61) + "^\n"},
        {"escaped markup moves the caret", "a<b&c d", 7, PG_SQL_ASCII, "LINE 1: a&lt;b&amp;c d\n" + Spaces(21) + "^\n"},
        {"UTF-8 lead byte at the very end", "ab\xE6", 3, PG_UTF8, "LINE 1: ab\xE6\n" + Spaces(10) + "^\n"},
        {"GB18030 lead byte at the very end", "a\x81", 2, PG_GB18030, "LINE 1: a\x81\n" + Spaces(9) + "^\n"},
        {"EUC_TW four-byte lead cut short", "x\x8E\xA1", 2, PG_EUC_TW, "LINE 1: x\x8E\xA1\n" + Spaces(9) + "^\n"}};
    for (const auto& [name, query, position, encoding, expected] : cases)
        EXPECT_EQ(Cursor(query, position, encoding), expected) << name;
}

// The message built for res at the given verbosity.
std::string Built(const PGresult* res, PGVerbosity verbosity) {
    PQExpBufferData buf;
    initPQExpBuffer(&buf);
    pqBuildErrorMessage3(&buf, res, verbosity, PQSHOW_CONTEXT_ERRORS);
    const std::string text = buf.data;
    termPQExpBuffer(&buf);
    return text;
}

TEST(ErrorText, TerseAndDefaultLevels) {
    const ResultPtr res(PQmakeEmptyPGresult(nullptr, PGRES_FATAL_ERROR));
    pqSaveMessageField(res.get(), 'S', "ERROR");
    pqSaveMessageField(res.get(), 'M', "gone");
    pqSaveMessageField(res.get(), 'P', "3");
    pqSaveMessageField(res.get(), 'D', "detail");
    pqSaveMessageField(res.get(), 'C', "42P01");  // shown only when verbose, as the table name
    pqSaveMessageField(res.get(), 't', "tbl");
    res->errQuery = pqResultStrdup(res.get(), "abcdef");
    EXPECT_EQ(Built(res.get(), PQERRORS_TERSE),
              "<severity>ERROR</severity><primary>gone</primary><position>3</position>\n");
    EXPECT_EQ(Built(res.get(), PQERRORS_DEFAULT),
              "<severity>ERROR</severity><primary>gone</primary>\nLINE 1: abcdef\n" + Spaces(10) +
                  "^\n<detail>detail</detail>");
    EXPECT_EQ(Built(nullptr, PQERRORS_VERBOSE), "out of memory");
    const ResultPtr bare(PQmakeEmptyPGresult(nullptr, PGRES_FATAL_ERROR));
    EXPECT_EQ(Built(bare.get(), PQERRORS_VERBOSE), "no error message available\n");
}

// A protocol 2.0 record with a statement under way, its notices collected.
ConnPtr MakeProtocol2Record(Notices* notices = nullptr, uint32_t chunk = 0) {
    ConnPtr conn = MakeDetachedRecord();
    conn->pversion = PG_PROTOCOL(2, 0);
    if (notices != nullptr)
        notices->Install(conn->noticeHooks);
    else
        conn->noticeHooks.noticeRec = nullptr;
    BeginStatement(conn.get(), chunk);
    return conn;
}

// Protocol 2 messages have no length words.
std::string RowDescription2(const std::vector<std::string>& names) {
    std::string out = "T" + w::Int16(static_cast<int>(names.size()));
    for (const std::string& n : names)
        out += w::CStr(n) + w::Int32(25) + w::Int16(-1) + w::Int32(-1);
    return out;
}

// Text rows count the length word in the length; binary rows do not.
std::string Row2(bool binary, const std::vector<std::optional<std::string>>& fields) {
    std::string bitmap((fields.size() + 7) / 8, '\0');
    std::string values;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (!fields[i])
            continue;
        bitmap[i / 8] = static_cast<char>(bitmap[i / 8] | (0x80 >> (i % 8)));
        values += w::Int32(static_cast<int64_t>(fields[i]->size()) + (binary ? 0 : 4)) + *fields[i];
    }
    return std::string(binary ? "B" : "D") + bitmap + values;
}

std::string Complete2(const std::string& tag) { return "C" + w::CStr(tag); }

TEST(Protocol2, TextAndBinaryRowsWithNullBitmaps) {
    std::vector<std::string> names;
    std::vector<std::optional<std::string>> sparse(10), dense;
    for (int i = 0; i < 10; ++i) {
        names.push_back("c" + std::to_string(i));
        dense.push_back(std::string(i, 'x'));
    }
    sparse[0] = "first";
    sparse[7] = "";
    sparse[8] = "eight";
    const std::string stream =
        RowDescription2(names) + Row2(false, sparse) + Row2(false, dense) + Complete2("SELECT 2") + "Z";
    for (bool bytewise : {false, true}) {
        auto conn = MakeProtocol2Record();
        std::vector<ResultPtr> results;
        for (size_t pos = 0; pos < stream.size(); pos += bytewise ? 1 : stream.size()) {
            FeedInput(conn.get(), stream.substr(pos, bytewise ? 1 : stream.size()));
            for (auto& r : TakeResults(conn.get(), pqParseInput2))
                results.push_back(std::move(r));
        }
        ASSERT_EQ(Describe(results), std::vector<std::string>{"2:2:SELECT 2"}) << bytewise;
        const PGresult* res = results[0].get();
        for (int col = 0; col < 10; ++col) {
            EXPECT_EQ(PQgetisnull(res, 0, col), sparse[col] ? 0 : 1) << col;
            EXPECT_EQ(std::string(PQgetvalue(res, 0, col)), sparse[col].value_or(""));
            EXPECT_EQ(std::string(PQgetvalue(res, 1, col)), *dense[col]);
        }
        EXPECT_EQ(res->binary, 0);
        EXPECT_EQ(conn->asyncStatus, PGASYNC_IDLE);
    }

    // Binary rows do not count the length word; chunks are cut as in 3.0.
    auto conn = MakeProtocol2Record(nullptr, 2);
    std::string rows;
    for (int i = 0; i < 5; ++i)
        rows += Row2(true, {std::string(4, static_cast<char>(i)), std::nullopt});
    FeedInput(conn.get(), RowDescription2({"a", "b"}) + rows + Complete2("SELECT 5") + "Z");
    auto results = TakeResults(conn.get(), pqParseInput2);
    EXPECT_EQ(Describe(results), (std::vector<std::string>{"9:2", "9:2", "2:1:SELECT 5"}));
    EXPECT_EQ(results[0]->binary, 1);
    EXPECT_EQ(PQgetlength(results[2].get(), 0, 0), 4);
    EXPECT_EQ(PQgetvalue(results[2].get(), 0, 0)[0], 4);
}

TEST(Protocol2, PlainErrorTextsAndTransactionStates) {
    auto conn = MakeProtocol2Record();
    conn->xactStatus = PQTRANS_INTRANS;
    const std::string text = "ERROR:  relation \"x\" does not exist\n\t  more detail\n";
    FeedInput(conn.get(), "E" + w::CStr(text) + "Z");
    auto results = TakeResults(conn.get(), pqParseInput2);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(PQresultErrorMessage(results[0].get()), text);
    EXPECT_STREQ(PQresultErrorField(results[0].get(), 'S'), "ERROR");
    EXPECT_STREQ(PQresultErrorField(results[0].get(), 'M'), "relation \"x\" does not exist");
    EXPECT_STREQ(PQresultErrorField(results[0].get(), 'D'), "more detail\n");
    EXPECT_EQ(conn->xactStatus, PQTRANS_INERROR);

    const std::pair<std::string, PGTransactionStatusType> tags[] = {
        {"BEGIN", PQTRANS_INTRANS}, {"START TRANSACTION", PQTRANS_INTRANS}, {"COMMIT", PQTRANS_IDLE},
        {"ROLLBACK", PQTRANS_IDLE}, {"*ABORT STATE*", PQTRANS_INERROR},     {"SELECT 1", PQTRANS_UNKNOWN}};
    for (const auto& [tag, status] : tags) {
        conn = MakeProtocol2Record();
        conn->xactStatus = PQTRANS_UNKNOWN;
        FeedInput(conn.get(), Complete2(tag) + "Z");
        EXPECT_EQ(Describe(TakeResults(conn.get(), pqParseInput2)), std::vector<std::string>{"1:0:" + tag});
        EXPECT_EQ(conn->xactStatus, status) << tag;
    }
}

TEST(Protocol2, OddMessagesGiveTheirTexts) {
    const auto textOfLength = [](int64_t length) {
        return RowDescription2({"a"}) + "D\x80" + w::Int32(length) + Complete2("SELECT 1") + "Z";
    };
    const std::tuple<std::string, std::vector<std::string>, std::string, std::vector<std::string>> cases[] = {
        {"IxZ", {"0:0"}, "", {"unexpected character x following empty query response (\"I\" message)\n"}},
        // The error result waits for the statement's end; the unreadable rest of the input is dropped.
        {Row2(false, {std::string("a")}) + Complete2("SELECT 1"),
         {},
         "server sent data (\"D\" message) without prior row description (\"T\" message)\n",
         {}},
        {Row2(true, {std::string("a")}) + Complete2("SELECT 1"),
         {},
         "server sent binary data (\"B\" message) without prior row description (\"T\" message)\n",
         {}},
        {"Q??", {"7:0"}, "unexpected response from server; first received character was \"Q\"\n", {}},
        {"K" + w::Int32(77) + w::Int32(88) + "P" + w::CStr("blank") + Complete2("X") + "Z", {"1:0:X"}, "", {}},
        // Text lengths below their own length word read as empty.
        {textOfLength(INT32_MIN), {"2:1:SELECT 1"}, "", {}},
        {textOfLength(-1), {"2:1:SELECT 1"}, "", {}},
        {textOfLength(0), {"2:1:SELECT 1"}, "", {}},
        {textOfLength(3), {"2:1:SELECT 1"}, "", {}}};
    for (const auto& [stream, described, errorText, noticeTexts] : cases) {
        SCOPED_TRACE(stream);
        Notices notices;
        auto conn = MakeProtocol2Record(&notices);
        FeedInput(conn.get(), stream);
        auto results = TakeResults(conn.get(), pqParseInput2);
        EXPECT_EQ(Describe(results), described);
        EXPECT_TRUE(results.empty() || PQntuples(results[0].get()) == 0 || PQgetlength(results[0].get(), 0, 0) == 0);
        if (!errorText.empty()) {
            const PGresult* error = results.empty() ? conn->result : results[0].get();
            EXPECT_EQ(PQresultStatus(error), PGRES_FATAL_ERROR);
            EXPECT_EQ(PQresultErrorMessage(error), errorText);
            EXPECT_EQ(conn->inStart, conn->inEnd);
        }
        EXPECT_EQ(notices.texts, noticeTexts);
    }

    // While idle, a stray message raises a notice and the buffered input is dropped.
    Notices notices;
    auto conn = MakeProtocol2Record(&notices);
    conn->asyncStatus = PGASYNC_IDLE;
    FeedInput(conn.get(), "N" + w::CStr("NOTICE:  hi\n") + "C" + w::CStr("x"));
    pqParseInput2(conn.get());
    EXPECT_EQ(notices.texts,
              (std::vector<std::string>{"NOTICE:  hi\n", "message type 0x43 arrived from server while idle\n"}));
    EXPECT_EQ(conn->inStart, conn->inEnd);
}

}  // namespace
