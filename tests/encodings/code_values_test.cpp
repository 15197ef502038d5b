// The conversions between encoded text and code values (UTF-8 decoding and
// width are read through the character rules and SASLprep).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "postgres/mb/code_value_conversion.h"
#include "postgres/mb/encoding.h"

namespace {

struct ConversionCase {
    int encoding;
    std::string bytes;
    std::vector<pg_wchar> codes;
};

TEST(CodeValues, ServerEncodingsRoundTrip) {
    const ConversionCase cases[] = {
        {PG_SQL_ASCII, "Az\x80\xff", {0x41, 0x7A, 0x80, 0xFF}},
        {PG_LATIN1, "caf\xe9", {0x63, 0x61, 0x66, 0xE9}},
        {PG_UTF8, "a\xc3\xa9\xe4\xb8\x80\xf0\x9f\x98\x80", {0x61, 0xE9, 0x4E00, 0x1F600}},
        {PG_EUC_JP, "a\x8e\xb1\x8f\xb0\xa1\xa4\xa2", {0x61, 0x8EB1, 0x8FB0A1, 0xA4A2}},
        {PG_EUC_JIS_2004, "\xa4\xa2", {0xA4A2}},
        {PG_EUC_CN, "\xb0\xa1x", {0xB0A1, 0x78}},
        {PG_EUC_KR, "\xb0\xa1", {0xB0A1}},
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
}

// A length that ends inside a character ends the conversion before it.
TEST(CodeValues, LengthCutsBeforeAPartialCharacter) {
    struct Case {
        int encoding;
        std::string bytes;
        int len;
        int count;
    };
    const Case cases[] = {
        {PG_UTF8, "a\xe4\xb8\x80", 3, 1},
        {PG_UTF8, "a\xe4\xb8\x80", 4, 2},
        {PG_EUC_JP, "a\x8f\xb0\xa1", 3, 1},
        {PG_EUC_TW, "\x8e\xa2\xa1\xa1", 3, 0},
        {PG_UTF8, std::string("a\0b", 3), 3, 1},  // a NUL ends the text
        {PG_UTF8, "\xff\x80", 2, 2},              // undecodable bytes stand for themselves
    };
    for (const Case& c : cases) {
        std::vector<pg_wchar> codes(c.bytes.size() + 1, 0xDEAD);
        auto convert = pg_wchar_table[c.encoding].mb2wchar_with_len;
        EXPECT_EQ(convert(reinterpret_cast<const unsigned char*>(c.bytes.data()), codes.data(), c.len), c.count)
            << pg_encoding_to_char(c.encoding) << " " << c.len;
        EXPECT_EQ(codes[c.count], 0u);
    }
}

}  // namespace
