// The protocol 2.0 parser fed from memory: rows with null bitmaps, binary
// rows and chunks, plain error texts, transaction states and odd or random
// messages.
#include "postgres/libpq/protocol2_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "parser_helpers.h"
#include "support/scripted_peer.h"

namespace {

using namespace kelvotest;
namespace w = kelvotest::wire;

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
        {"ROLLBACK", PQTRANS_IDLE}, {"*ABORT STATE*", PQTRANS_INERROR},     {"SELECT 1", PQTRANS_UNKNOWN},
    };
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
        // The error result waits for the statement's end; the unreadable
        // rest of the input is dropped.
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
        {textOfLength(3), {"2:1:SELECT 1"}, "", {}},
    };
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
