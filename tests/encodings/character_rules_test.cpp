// Character length, display width and validity per encoding: against the
// sequences Python's codecs produce, and against the lead-byte rules.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "postgres/mb/encoding.h"

namespace {

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string FromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return out;
}

// A copy of exactly these bytes on the heap, so that a rule that reads one
// byte too far trips the address sanitizer.
std::unique_ptr<char[]> ExactCopy(const std::string& bytes) {
    std::unique_ptr<char[]> copy(new char[bytes.size()]);
    memcpy(copy.get(), bytes.data(), bytes.size());
    return copy;
}

// Calls f(low, high) for each "lo-hi" range word left in the stream.
template <typename F>
void ForEachRange(std::istringstream& words, F f) {
    std::string range;
    while (words >> range) {
        int low = std::stoi(range.substr(0, 2), nullptr, 16);
        int high = std::stoi(range.substr(3, 2), nullptr, 16);
        f(low, high);
    }
}

std::string DataPath() {
    return std::string(KELVO_SOURCE_DIR) + "/tests/encodings/data/python_codec_sequences.txt";
}

// Every character that Python writes in an encoding has the length the lead
// bytes announce and is accepted whole, and refused when cut short.
TEST(CharacterRules, PythonCodecCharactersAreMeasuredAndAccepted) {
    std::ifstream file(DataPath());
    ASSERT_TRUE(file) << DataPath();
    int encoding = -1;
    std::string codec;
    size_t checked = 0;
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::string kind;
        words >> kind;
        if (kind == "encoding") {
            std::string name;
            words >> encoding >> name >> codec;
            ASSERT_STREQ(pg_encoding_to_char(encoding), name.c_str());
            continue;
        }
        if (kind != "seq") {
            continue;
        }
        std::string prefix_hex;
        words >> prefix_hex;
        const std::string prefix = prefix_hex == "-" ? "" : FromHex(prefix_hex);
        ForEachRange(words, [&](int low, int high) {
            for (int last = low; last <= high; ++last) {
                const std::string character = prefix + static_cast<char>(last);
                const int length = static_cast<int>(character.size());
                if (character == std::string(1, '\0')) {
                    continue;
                }
                auto bytes = ExactCopy(character);
                EXPECT_EQ(pg_encoding_mblen_bounded(encoding, bytes.get(), character.size()), length)
                    << codec << " " << Hex(character);
                EXPECT_EQ(pg_encoding_verifymb(encoding, bytes.get(), length), length)
                    << codec << " " << Hex(character);
                if (length > 1) {
                    EXPECT_EQ(pg_encoding_verifymb(encoding, bytes.get(), length - 1), -1)
                        << codec << " " << Hex(character) << " cut short";
                }
                EXPECT_LE(length, pg_encoding_max_length(encoding)) << codec;
                ++checked;
            }
        });
    }
    EXPECT_GT(checked, 150000u);
}

// For UTF-8 Python is an exact oracle: every lead byte with every second byte.
TEST(CharacterRules, Utf8LegalityMatchesPythonExactly) {
    std::ifstream file(DataPath());
    ASSERT_TRUE(file);
    std::vector<bool> legal(0x10000, false);
    int leads = 0;
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::string kind;
        words >> kind;
        if (kind != "utf8pair") {
            continue;
        }
        std::string lead_hex;
        words >> lead_hex;
        int lead = std::stoi(lead_hex, nullptr, 16);
        ++leads;
        ForEachRange(words, [&](int low, int high) {
            for (int second = low; second <= high; ++second) {
                legal[lead << 8 | second] = true;
            }
        });
    }
    ASSERT_EQ(leads, 0xF8 - 0xC0);
    for (int lead = 0xC0; lead < 0xF8; ++lead) {
        for (int second = 0; second < 0x100; ++second) {
            unsigned char bytes[4] = {static_cast<unsigned char>(lead), static_cast<unsigned char>(second), 0x80, 0x80};
            int length = pg_utf_mblen(bytes);
            bool expected = legal[lead << 8 | second];
            EXPECT_EQ(pg_utf8_islegal(bytes, length), expected) << std::hex << lead << " " << second;
            EXPECT_EQ(pg_encoding_verifymb(PG_UTF8, reinterpret_cast<char*>(bytes), 4), expected ? length : -1)
                << std::hex << lead << " " << second;
        }
    }
    // Bytes after the second must all be continuation bytes.
    for (int third = 0; third < 0x100; ++third) {
        unsigned char bytes[4] = {0xF0, 0x90, static_cast<unsigned char>(third), 0x80};
        EXPECT_EQ(pg_utf8_islegal(bytes, 4), third >= 0x80 && third <= 0xBF) << third;
        unsigned char three[3] = {0xE2, 0x82, static_cast<unsigned char>(third)};
        EXPECT_EQ(pg_utf8_islegal(three, 3), third >= 0x80 && third <= 0xBF) << third;
    }
    // A length that does not match the lead byte is not one character.
    const unsigned char euro[] = {0xE2, 0x82, 0xAC};
    EXPECT_TRUE(pg_utf8_islegal(euro, 3));
    EXPECT_FALSE(pg_utf8_islegal(euro, 2));
    EXPECT_FALSE(pg_utf8_islegal(euro, 0));
    EXPECT_FALSE(pg_utf8_islegal(euro, 5));
}

struct LengthCase {
    int encoding;
    const char* bytes;  // at least four bytes, so that every rule may look ahead
    int mblen;
    int dsplen;
};

// The lead-byte rules, including those of the encodings Python has no codec for.
TEST(CharacterRules, LengthAndWidthByLeadByte) {
    const LengthCase cases[] = {
        {PG_SQL_ASCII, "A\0\0\0", 1, 1},          {PG_SQL_ASCII, "\xe9\0\0\0", 1, 1},
        {PG_SQL_ASCII, "\0\0\0\0", 1, 0},         {PG_SQL_ASCII, "\t\0\0\0", 1, -1},
        {PG_SQL_ASCII, "\x7f\0\0\0", 1, -1},      {PG_LATIN1, "\x1f\0\0\0", 1, -1},
        {PG_WIN1252, "\x80\0\0\0", 1, 1},         {PG_KOI8U, "\xff\0\0\0", 1, 1},
        {PG_UTF8, "\xcc\x81\0\0", 2, 0},          {PG_UTF8, "\xe4\xb8\x80\0", 3, 2},
        {PG_UTF8, "\x07\0\0\0", 1, -1},           {PG_UTF8, "\xc2\x85\0\0", 2, -1},
        {PG_UTF8, "\xf0\x9f\x98\x80", 4, 2},      {PG_UTF8, "\x80\0\0\0", 1, -1},
        {PG_UTF8, "\xf8\x80\x80\x80", 1, -1},     {PG_UTF8, "\xe4\xb8\0\0", 3, -1},
        {PG_EUC_JP, "\x8e\xb1\0\0", 2, 1},        {PG_EUC_JP, "\x8f\xb0\xa1\0", 3, 2},
        {PG_EUC_JP, "\xa4\xa2\0\0", 2, 2},        {PG_EUC_JP, "a\0\0\0", 1, 1},
        {PG_EUC_JIS_2004, "\x8e\xb1\0\0", 2, 1},  {PG_EUC_KR, "\x8e\xa1\0\0", 2, 2},
        {PG_EUC_KR, "\x8f\xa1\xa1\0", 3, 2},      {PG_EUC_KR, "\xb0\xa1\0\0", 2, 2},
        {PG_EUC_CN, "\x8e\xa1\0\0", 2, 2},        {PG_EUC_CN, "\n\0\0\0", 1, -1},
        {PG_EUC_TW, "\x8e\xa2\xa1\xa1", 4, 2},    {PG_EUC_TW, "\x8f\xa1\xa1\0", 3, 2},
        {PG_EUC_TW, "\xc4\xa1\0\0", 2, 2},        {PG_JOHAB, "\x8f\x61\0\0", 2, 2},
        {PG_JOHAB, "\x88\x61\0\0", 2, 2},         {PG_MULE_INTERNAL, "\x81\xe9\0\0", 2, 1},
        {PG_MULE_INTERNAL, "\x8d\xa0\0\0", 2, 1}, {PG_MULE_INTERNAL, "\x90\xa1\xa1\0", 3, 2},
        {PG_MULE_INTERNAL, "\x99\xa1\xa1\0", 3, 2}, {PG_MULE_INTERNAL, "\x9a\xa0\xa1\0", 3, 1},
        {PG_MULE_INTERNAL, "\x9b\xe0\xa1\0", 3, 1}, {PG_MULE_INTERNAL, "\x9c\xf0\xa1\xa1", 4, 2},
        {PG_MULE_INTERNAL, "\x9d\xf5\xa1\xa1", 4, 2}, {PG_MULE_INTERNAL, "\x8e\0\0\0", 1, 1},
        {PG_MULE_INTERNAL, "\x01\0\0\0", 1, 1},   {PG_SJIS, "\xb1\0\0\0", 1, 1},
        {PG_SJIS, "\x82\xa0\0\0", 2, 2},          {PG_SJIS, "\xdf\0\0\0", 1, 1},
        {PG_SJIS, "\xe0\x40\0\0", 2, 2},          {PG_SHIFT_JIS_2004, "\xa1\0\0\0", 1, 1},
        {PG_BIG5, "\xa4\x40\0\0", 2, 2},          {PG_GBK, "\x81\x40\0\0", 2, 2},
        {PG_UHC, "\x81\x41\0\0", 2, 2},           {PG_GB18030, "\x81\x35\xf4\x37", 4, 2},
        {PG_GB18030, "\x81\x40\0\0", 2, 2},       {PG_GB18030, "\x81\0\0\0", 2, 2},
        {PG_GB18030, "5\0\0\0", 1, 1},
        // An invalid identifier counts bytes and uses the ASCII width rule.
        {-1, "\xe4\xb8\x80\0", 1, 1},             {42, "\x01\0\0\0", 1, -1},
        {1000, "\0\0\0\0", 1, 0},
    };
    for (const LengthCase& c : cases) {
        EXPECT_EQ(pg_encoding_mblen(c.encoding, c.bytes), c.mblen) << pg_encoding_to_char(c.encoding) << " "
                                                                   << Hex(std::string(c.bytes, 4));
        EXPECT_EQ(pg_encoding_dsplen(c.encoding, c.bytes), c.dsplen) << pg_encoding_to_char(c.encoding) << " "
                                                                     << Hex(std::string(c.bytes, 4));
    }
}

struct VerifyCase {
    int encoding;
    std::string bytes;
    int expected;
};

// Characters refused for bytes outside their encoding's ranges, and the
// accepted ones that Python cannot write (user-defined areas, MULE, EUC_TW).
TEST(CharacterRules, VerifyRefusesBytesOutsideTheRanges) {
    const VerifyCase cases[] = {
        {PG_UTF8, "\xc0\x80", -1},             {PG_UTF8, "\xc1\xbf", -1},
        {PG_UTF8, "\xe0\x9f\xbf", -1},         {PG_UTF8, "\xed\xa0\x80", -1},
        {PG_UTF8, "\xed\x9f\xbf", 3},          {PG_UTF8, "\xf4\x90\x80\x80", -1},
        {PG_UTF8, "\xf4\x8f\xbf\xbf", 4},      {PG_UTF8, "\xf0\x8f\xbf\xbf", -1},
        {PG_UTF8, "\xc3", -1},                 {PG_UTF8, std::string("\0", 1), 1},
        {PG_EUC_JP, "\x8e\xe0", -1},           {PG_EUC_JP, "\x8e\xa1", 2},
        {PG_EUC_JP, "\x8f\xa1\xa0", -1},       {PG_EUC_JP, "\xa1\xa0", -1},
        {PG_EUC_JP, "\xff\xa1", -1},           {PG_EUC_JP, "\xa1", -1},
        {PG_EUC_KR, "\x8e\xa1", -1},           {PG_EUC_KR, "\xfe\xfe", 2},
        {PG_EUC_CN, "\xa1\x41", -1},           {PG_EUC_TW, "\x8e\xa1\xa1\xa1", 4},
        {PG_EUC_TW, "\x8e\xb0\xfe\xfe", 4},    {PG_EUC_TW, "\x8e\xb1\xa1\xa1", -1},
        {PG_EUC_TW, "\x8e\xa1\xa1", -1},       {PG_EUC_TW, "\x8f\xa1\xa1", 3},
        {PG_EUC_TW, "\xa1\x7f", -1},           {PG_MULE_INTERNAL, "\x81\xe9", 2},
        {PG_MULE_INTERNAL, "\x81\x41", -1},    {PG_MULE_INTERNAL, "\x92\xa1", -1},
        {PG_MULE_INTERNAL, "\x9c\xf0\xa1\xa1", 4}, {PG_MULE_INTERNAL, "\x9c\xf0\xa1\x21", -1},
        {PG_MULE_INTERNAL, "\xa0", -1},        {PG_MULE_INTERNAL, "A", 1},
        {PG_SJIS, "\xf0\x40", 2},              {PG_SJIS, "\x81\x3f", -1},
        {PG_SJIS, "\x81\x7f", -1},             {PG_SJIS, "\x81\xfd", -1},
        {PG_SJIS, "\xa0\x40", -1},             {PG_SJIS, "\xfd\x40", -1},
        {PG_SJIS, "\x81", -1},                 {PG_BIG5, "\xa1\x80", -1},
        {PG_BIG5, "\xff\x40", -1},             {PG_GBK, "\x81\x7f", -1},
        {PG_GBK, "\x80\x40", -1},              {PG_UHC, "\x81\x5b", -1},
        {PG_UHC, "\x81\x61", 2},               {PG_GB18030, "\x81\x30\x81", -1},
        {PG_GB18030, "\x81\x30\x81\x29", -1},  {PG_GB18030, "\xfe\x39\xfe\x39", 4},
        {PG_GB18030, "\x81\x7f", -1},          {PG_GB18030, "\x80\x40", -1},
        {PG_GB18030, "\xff\x40", -1},          {PG_JOHAB, "\x84\x40", -1},
        {PG_JOHAB, "\xd8\x31", 2},             {PG_JOHAB, "\xd4\x41", -1},
        {PG_JOHAB, "\xdf\x31", -1},            {PG_JOHAB, "\xf9\xfe", 2},
        {PG_LATIN1, "\xff", 1},                {PG_SQL_ASCII, "\x80", 1},
        {PG_SQL_ASCII, "", -1},                {PG_UTF8, "", -1},
        {PG_GB18030, "", -1},                  {77, "x", 1},
    };
    for (const VerifyCase& c : cases) {
        auto bytes = ExactCopy(c.bytes);
        EXPECT_EQ(pg_encoding_verifymb(c.encoding, bytes.get(), static_cast<int>(c.bytes.size())), c.expected)
            << pg_encoding_to_char(c.encoding) << " " << Hex(c.bytes);
    }
}

// Over text that ends inside a character, the bounded steps read nothing past
// the end (the copies are exactly as long as the text) and never step past it.
TEST(CharacterRules, BoundedStepsStayInsideTheText) {
    const std::string texts[] = {"\xe4", "\xe4\xb8", "\xf0\x9f\x98", "\x81", "\x81\x35", "\x81\x35\xf4",
                                 "\x8e", "\x8e\xa2\xa1", "\x9c\xf0", "a", "\xe4\xb8\x80"};
    for (int encoding = -1; encoding <= _PG_LAST_ENCODING_; ++encoding) {
        for (const std::string& text : texts) {
            auto bytes = ExactCopy(text);
            for (size_t left = 0; left <= text.size(); ++left) {
                const char* start = bytes.get() + (text.size() - left);
                int length = pg_encoding_mblen_bounded(encoding, start, left);
                EXPECT_LE(length, static_cast<int>(left));
                EXPECT_EQ(length == 0, left == 0);
                int width = pg_encoding_dsplen_bounded(encoding, start, left);
                EXPECT_GE(width, -1);
                EXPECT_LE(width, 2);
            }
        }
    }
    // Cut characters have no width; whole ones keep theirs.
    auto cut = ExactCopy("\xe4\xb8");
    EXPECT_EQ(pg_encoding_dsplen_bounded(PG_UTF8, cut.get(), 2), -1);
    auto whole = ExactCopy("\xe4\xb8\x80");
    EXPECT_EQ(pg_encoding_dsplen_bounded(PG_UTF8, whole.get(), 3), 2);
    EXPECT_EQ(pg_encoding_mblen_bounded(PG_UTF8, whole.get(), 3), 3);
    auto gb = ExactCopy("\x81\x35\xf4\x37");
    EXPECT_EQ(pg_encoding_mblen_bounded(PG_GB18030, gb.get(), 4), 4);
    EXPECT_EQ(pg_encoding_mblen_bounded(PG_GB18030, gb.get(), 1), 1);
    EXPECT_EQ(pg_encoding_dsplen_bounded(PG_GB18030, gb.get(), 1), -1);
}

// Stepping through a whole text by bounded lengths visits every byte once and
// ends exactly at the end, whatever the bytes.
TEST(CharacterRules, BoundedStepsCoverHostileTextExactly) {
    unsigned int seed = 12345;
    for (int round = 0; round < 200; ++round) {
        std::string text;
        size_t size = round % 17;
        for (size_t i = 0; i < size; ++i) {
            seed = seed * 1103515245 + 12345;
            text += static_cast<char>((seed >> 16) | 0x80);
        }
        auto bytes = ExactCopy(text);
        for (int encoding = 0; encoding < _PG_LAST_ENCODING_; ++encoding) {
            size_t offset = 0;
            while (offset < text.size()) {
                int step = pg_encoding_mblen_bounded(encoding, bytes.get() + offset, text.size() - offset);
                ASSERT_GE(step, 1);
                (void)pg_encoding_dsplen_bounded(encoding, bytes.get() + offset, text.size() - offset);
                offset += static_cast<size_t>(step);
            }
            EXPECT_EQ(offset, text.size());
        }
    }
}

TEST(CharacterRules, MaximumLengths) {
    const int expected[] = {1, 3, 2, 3, 4, 3, 4, 4, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
                            1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 4, 3, 2};
    ASSERT_EQ(sizeof(expected) / sizeof(expected[0]), static_cast<size_t>(_PG_LAST_ENCODING_));
    for (int id = 0; id < _PG_LAST_ENCODING_; ++id) {
        EXPECT_EQ(pg_encoding_max_length(id), expected[id]) << pg_encoding_to_char(id);
        EXPECT_EQ(pg_wchar_table[id].maxmblen, expected[id]);
        // Code values exist for the server encodings only.
        EXPECT_EQ(pg_wchar_table[id].mb2wchar_with_len != nullptr, id <= PG_ENCODING_BE_LAST);
        EXPECT_EQ(pg_wchar_table[id].wchar2mb_with_len != nullptr, id <= PG_ENCODING_BE_LAST);
    }
}

}  // namespace
