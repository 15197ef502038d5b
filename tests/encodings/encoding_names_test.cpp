// Encoding names: aliases, canonical names and the client/server split.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>

#include "postgres/mb/encoding.h"

namespace {

TEST(EncodingNames, LookUp) {
    // The search relies on the alias order: every alias must be found.
    for (unsigned int i = 0; i < pg_encname_tbl_sz; ++i)
        EXPECT_EQ(pg_char_to_encoding(pg_encname_tbl[i].name), pg_encname_tbl[i].encoding) << pg_encname_tbl[i].name;
    for (int id = 0; id < _PG_LAST_ENCODING_; ++id)
        EXPECT_EQ(pg_char_to_encoding(pg_encoding_to_char(id)), id);
    const std::pair<const char*, int> cases[] = {
        {"Latin-1", 8}, {"utf_8", 6},         {"Utf8", 6},       {"unicode", 6}, {"win", 23},         {"alt", 20},
        {"koi8", 22},   {"mskanji", 35},      {"Shift_JIS", 35}, {"cp949", -1},  {"ISO_8859_13", 14}, {"iso8859-5", 25},
        {"euc_tw", 4},  {"windows-1250", 29}, {"utf8 ", 6},      {"", -1},       {"-", -1},           {"latin11", -1},
    };
    for (const auto& [name, expected] : cases)
        EXPECT_EQ(pg_char_to_encoding(name), expected) << name;
    EXPECT_EQ(pg_char_to_encoding(nullptr), -1);
    const std::pair<int, const char*> names[] = {{0, "SQL_ASCII"},       {6, "UTF8"}, {25, "ISO_8859_5"},
                                                 {41, "SHIFT_JIS_2004"}, {-1, ""},    {42, ""}};
    for (const auto& [id, name] : names)
        EXPECT_STREQ(pg_encoding_to_char(id), name) << id;

    // A name of 64 bytes or more is refused with a message.
    const std::string just_fits = std::string(59, '-') + "utf8";
    testing::internal::CaptureStderr();
    EXPECT_EQ(pg_char_to_encoding(just_fits.c_str()), 6);
    EXPECT_EQ(pg_char_to_encoding(("-" + just_fits).c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "encoding name too long\n");
}

TEST(EncodingNames, ClientAndServerEncodings) {
    const std::tuple<const char*, int, int> cases[] = {
        {"SQL_ASCII", 0, 0}, {"KOI8U", 34, 34},   {"UTF8", 6, 6},
        {"SJIS", 35, -1},    {"GB18030", 39, -1}, {"bogus", -1, -1},
    };
    for (const auto& [name, client, server] : cases) {
        EXPECT_EQ(pg_valid_client_encoding(name), client) << name;
        EXPECT_EQ(pg_valid_server_encoding(name), server) << name;
    }
    EXPECT_TRUE(pg_valid_server_encoding_id(34));
    EXPECT_FALSE(pg_valid_server_encoding_id(35));
    EXPECT_FALSE(pg_valid_server_encoding_id(-1));
}

}  // namespace
