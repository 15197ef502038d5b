// Encoding names: aliases, canonical names and the client/server split.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "postgres/mb/encoding.h"

namespace {

TEST(EncodingNames, AliasTableIsSortedAndComplete) {
    ASSERT_EQ(pg_encname_tbl_sz, 81u);
    for (unsigned int i = 1; i < pg_encname_tbl_sz; ++i) {
        EXPECT_LT(strcmp(pg_encname_tbl[i - 1].name, pg_encname_tbl[i].name), 0)
            << pg_encname_tbl[i - 1].name << " before " << pg_encname_tbl[i].name;
    }
    // Every alias must be found by the search that relies on that order.
    for (unsigned int i = 0; i < pg_encname_tbl_sz; ++i) {
        EXPECT_EQ(pg_char_to_encoding(pg_encname_tbl[i].name), pg_encname_tbl[i].encoding)
            << pg_encname_tbl[i].name;
    }
}

TEST(EncodingNames, LookUp) {
    struct Case {
        const char* name;
        int expected;
    };
    const Case cases[] = {
        {"Latin-1", 8},     {"LATIN1", 8},         {"latin1", 8},       {"utf-8", 6},
        {"UTF8", 6},        {"utf_8", 6},          {"Utf8", 6},         {"unicode", 6},
        {"win", 23},        {"abc", 19},           {"TCVN5712", 19},    {"vscii", 19},
        {"alt", 20},        {"windows-866", 20},   {"koi8", 22},        {"KOI8-U", 34},
        {"mskanji", 35},    {"Shift_JIS", 35},     {"win932", 35},      {"Shift_JIS_2004", 41},
        {"win936", 37},     {"cp949", -1},         {"win949", 38},      {"win950", 36},
        {"ISO-8859-9", 12}, {"iso8859-10", 13},    {"ISO_8859_13", 14}, {"iso885914", 15},
        {"iso8859-15", 16}, {"ISO-8859-16", 17},   {"iso8859-5", 25},   {"ISO-8859-8", 28},
        {"SQL_ASCII", 0},   {"MULE_INTERNAL", 7},  {"EUC-JIS-2004", 5}, {"euc_tw", 4},
        {"GB18030", 39},    {"johab", 40},         {"windows-1250", 29}, {"WIN1257", 33},
        {"", -1},           {"nonsense", -1},      {"-", -1},           {"latin11", -1},
        {"utf8 ", 6},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(pg_char_to_encoding(c.name), c.expected) << c.name;
    }
    EXPECT_EQ(pg_char_to_encoding(nullptr), -1);
}

TEST(EncodingNames, NameOfSixtyFourBytesIsRefusedWithAMessage) {
    std::string just_fits(63, '-');
    just_fits += "utf8";
    just_fits = just_fits.substr(just_fits.size() - 63);
    testing::internal::CaptureStderr();
    EXPECT_EQ(pg_char_to_encoding(just_fits.c_str()), 6);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    std::string too_long = "-" + just_fits;
    testing::internal::CaptureStderr();
    EXPECT_EQ(pg_char_to_encoding(too_long.c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "encoding name too long\n");
}

TEST(EncodingNames, CanonicalNamesRoundTrip) {
    const char* const expected[] = {
        "SQL_ASCII", "EUC_JP",     "EUC_CN",     "EUC_KR",     "EUC_TW",     "EUC_JIS_2004",
        "UTF8",      "MULE_INTERNAL", "LATIN1",  "LATIN2",     "LATIN3",     "LATIN4",
        "LATIN5",    "LATIN6",     "LATIN7",     "LATIN8",     "LATIN9",     "LATIN10",
        "WIN1256",   "WIN1258",    "WIN866",     "WIN874",     "KOI8R",      "WIN1251",
        "WIN1252",   "ISO_8859_5", "ISO_8859_6", "ISO_8859_7", "ISO_8859_8", "WIN1250",
        "WIN1253",   "WIN1254",    "WIN1255",    "WIN1257",    "KOI8U",      "SJIS",
        "BIG5",      "GBK",        "UHC",        "GB18030",    "JOHAB",      "SHIFT_JIS_2004",
    };
    ASSERT_EQ(sizeof(expected) / sizeof(expected[0]), 42u);
    for (int id = 0; id < 42; ++id) {
        EXPECT_STREQ(pg_encoding_to_char(id), expected[id]);
        EXPECT_EQ(pg_enc2name_tbl[id].encoding, id);
        EXPECT_EQ(pg_char_to_encoding(expected[id]), id) << expected[id];
    }
    for (int id : {-1, 42, 1000}) {
        EXPECT_STREQ(pg_encoding_to_char(id), "") << id;
    }
}

TEST(EncodingNames, ClientAndServerEncodings) {
    struct Case {
        const char* name;
        int client;
        int server;
    };
    const Case cases[] = {
        {"SQL_ASCII", 0, 0},  {"KOI8U", 34, 34}, {"UTF8", 6, 6},    {"SJIS", 35, -1},
        {"SHIFT_JIS_2004", 41, -1}, {"GB18030", 39, -1}, {"bogus", -1, -1}, {"", -1, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(pg_valid_client_encoding(c.name), c.client) << c.name;
        EXPECT_EQ(pg_valid_server_encoding(c.name), c.server) << c.name;
    }
    EXPECT_TRUE(pg_valid_server_encoding_id(0));
    EXPECT_TRUE(pg_valid_server_encoding_id(34));
    EXPECT_FALSE(pg_valid_server_encoding_id(35));
    EXPECT_FALSE(pg_valid_server_encoding_id(-1));
}

}  // namespace
