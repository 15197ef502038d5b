// The encoding table: names, the client/server split, and conversions between
// encoded text and code values.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "postgres/mb/code_value_conversion.h"
#include "postgres/mb/encoding.h"

namespace {

TEST(EncodingNames, LookUpAndTheClientServerSplit) {
    // The search relies on the alias order: every alias must be found.
    for (unsigned int i = 0; i < pg_encname_tbl_sz; ++i)
        EXPECT_EQ(pg_char_to_encoding(pg_encname_tbl[i].name), pg_encname_tbl[i].encoding) << pg_encname_tbl[i].name;
    for (int id = 0; id < _PG_LAST_ENCODING_; ++id)
        EXPECT_EQ(pg_char_to_encoding(pg_encoding_to_char(id)), id);
    // Case, dashes, underscores and spaces do not count; what is left must be whole.
    const std::pair<const char*, int> cases[] = {{"Latin-1", 8}, {"utf_8", 6}, {"utf8 ", 6},
                                                 {"cp949", -1},  {"", -1},     {"latin11", -1}};
    for (const auto& [name, expected] : cases)
        EXPECT_EQ(pg_char_to_encoding(name), expected) << name;
    EXPECT_EQ(pg_char_to_encoding(nullptr), -1);
    EXPECT_STREQ(pg_encoding_to_char(-1), "");
    EXPECT_STREQ(pg_encoding_to_char(42), "");

    // A name of 64 bytes or more is refused with a message.
    const std::string just_fits = std::string(59, '-') + "utf8";
    testing::internal::CaptureStderr();
    EXPECT_EQ(pg_char_to_encoding(just_fits.c_str()), 6);
    EXPECT_EQ(pg_char_to_encoding(("-" + just_fits).c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "encoding name too long\n");

    // Only some encodings may be the server's.
    const std::tuple<const char*, int, int> split[] = {{"SQL_ASCII", 0, 0}, {"SJIS", 35, -1}, {"bogus", -1, -1}};
    for (const auto& [name, client, server] : split) {
        EXPECT_EQ(pg_valid_client_encoding(name), client) << name;
        EXPECT_EQ(pg_valid_server_encoding(name), server) << name;
    }
    EXPECT_TRUE(pg_valid_server_encoding_id(34));
    EXPECT_FALSE(pg_valid_server_encoding_id(35));
    EXPECT_FALSE(pg_valid_server_encoding_id(-1));
}

struct ConversionCase {
    int encoding;
    std::string bytes;
    std::vector<pg_wchar> codes;
};

TEST(CodeValues, ServerEncodingsRoundTripUpToTheLength) {
    const ConversionCase cases[] = {
        {PG_SQL_ASCII, "Az\x80\xff", {0x41, 0x7A, 0x80, 0xFF}},
        {PG_UTF8, "a\xc3\xa9\xe4\xb8\x80\xf0\x9f\x98\x80", {0x61, 0xE9, 0x4E00, 0x1F600}},
        {PG_EUC_JP, "a\x8e\xb1\x8f\xb0\xa1\xa4\xa2", {0x61, 0x8EB1, 0x8FB0A1, 0xA4A2}},
        {PG_EUC_TW, "\x8e\xa2\xa1\xa1\xc4\xa1", {0x8EA2A1A1, 0xC4A1}},
        {PG_MULE_INTERNAL, "\x81\xe9\x9c\xf0\xa1\xa1", {0x81E9, 0x9CF0A1A1}},
    };
    for (const ConversionCase& c : cases) {
        const pg_wchar_tbl& rules = pg_wchar_table[c.encoding];
        std::vector<pg_wchar> codes(c.bytes.size() + 1, 0xDEAD);
        int count = rules.mb2wchar_with_len(reinterpret_cast<const unsigned char*>(c.bytes.data()), codes.data(),
                                            static_cast<int>(c.bytes.size()));
        ASSERT_EQ(count, static_cast<int>(c.codes.size())) << pg_encoding_to_char(c.encoding);
        EXPECT_EQ(std::vector<pg_wchar>(codes.begin(), codes.begin() + count), c.codes);
        EXPECT_EQ(codes[count], 0u);

        std::vector<unsigned char> bytes(c.codes.size() * MAX_MULTIBYTE_CHAR_LEN + 1, 0xEE);
        int made = rules.wchar2mb_with_len(c.codes.data(), bytes.data(), static_cast<int>(c.codes.size()));
        ASSERT_EQ(made, static_cast<int>(c.bytes.size())) << pg_encoding_to_char(c.encoding);
        EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + made), c.bytes);
        EXPECT_EQ(bytes[made], 0);
    }

    // A length that ends inside a character ends the conversion before it.
    struct Case {
        int encoding;
        std::string bytes;
        int len;
        int count;
    };
    const Case cuts[] = {
        {PG_UTF8, "a\xe4\xb8\x80", 3, 1},
        {PG_EUC_JP, "a\x8f\xb0\xa1", 3, 1},
        {PG_UTF8, std::string("a\0b", 3), 3, 1},  // a NUL ends the text
        {PG_UTF8, "\xff\x80", 2, 2},              // undecodable bytes stand for themselves
    };
    for (const Case& c : cuts) {
        std::vector<pg_wchar> codes(c.bytes.size() + 1, 0xDEAD);
        auto convert = pg_wchar_table[c.encoding].mb2wchar_with_len;
        EXPECT_EQ(convert(reinterpret_cast<const unsigned char*>(c.bytes.data()), codes.data(), c.len), c.count)
            << pg_encoding_to_char(c.encoding) << " " << c.len;
        EXPECT_EQ(codes[c.count], 0u);
    }
}

}  // namespace
