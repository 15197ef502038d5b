// Tagged error texts at each verbosity, and the error-cursor display: the
// marked line, its window in long lines, wide characters and bytes that claim
// more than the query holds.
#include "postgres/libpq/error_text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>

#include "postgres/libpq/result_record.h"
#include "postgres/mb/encoding.h"
#include "support/connected_record.h"

namespace {

// The query is copied into a heap block of exactly its size (with the NUL),
// so that the address sanitizer sees any read past its end.
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
        {"EUC_TW four-byte lead cut short", "x\x8E\xA1", 2, PG_EUC_TW, "LINE 1: x\x8E\xA1\n" + Spaces(9) + "^\n"},
    };
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
    const kelvotest::ResultPtr res(PQmakeEmptyPGresult(nullptr, PGRES_FATAL_ERROR));
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
    const kelvotest::ResultPtr bare(PQmakeEmptyPGresult(nullptr, PGRES_FATAL_ERROR));
    EXPECT_EQ(Built(bare.get(), PQERRORS_VERBOSE), "no error message available\n");
}

}  // namespace
