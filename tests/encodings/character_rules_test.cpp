// Character length, display width and validity per encoding, against what
// Python's codecs write and the lead-byte rules of what they cannot.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "auth/hex.h"
#include "postgres/mb/encoding.h"

namespace {

std::string Hex(const std::string& bytes) { return ToHex(bytes.data(), bytes.size()); }

// A copy of exactly these bytes on the heap, so that a rule that reads one
// byte too far trips the address sanitizer.
std::unique_ptr<char[]> ExactCopy(const std::string& bytes) {
    std::unique_ptr<char[]> copy(new char[bytes.size()]);
    memcpy(copy.get(), bytes.data(), bytes.size());
    return copy;
}

// Calls f(kind, first word, byte) for every byte of every "lo-hi" range of the
// data file's lines.
template <typename F>
void ForEachDataByte(F f) {
    const std::string path = std::string(KELVO_SOURCE_DIR) + "/tests/encodings/data/python_codec_sequences.txt";
    std::ifstream file(path);
    ASSERT_TRUE(file) << path;
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::string kind, first, range;
        words >> kind >> first;
        if (kind == "encoding") {
            std::string name;
            words >> name;
            ASSERT_STREQ(pg_encoding_to_char(std::stoi(first)), name.c_str());
            f(kind, first, 0);
        }
        while ((kind == "seq" || kind == "utf8pair") && words >> range)
            for (int b = std::stoi(range.substr(0, 2), nullptr, 16); b <= std::stoi(range.substr(3, 2), nullptr, 16);
                 ++b)
                f(kind, first, b);
    }
}

// Every character Python writes has the length its lead bytes announce, is
// accepted whole and refused when cut short; for UTF-8 Python is an exact
// oracle: every lead byte with every second byte.
TEST(CharacterRules, MatchWhatPythonCodecsWriteAndUtf8Exactly) {
    int encoding = -1;
    size_t checked = 0;
    std::vector<bool> legal(0x10000, false);
    ForEachDataByte([&](const std::string& kind, const std::string& first, int last) {
        if (kind == "encoding")
            encoding = std::stoi(first);
        if (kind == "utf8pair")
            legal[std::stoi(first, nullptr, 16) << 8 | last] = true;
        if (kind != "seq" || (first == "-" && last == 0))
            return;
        std::string character;
        for (size_t i = 0; first != "-" && i + 1 < first.size(); i += 2)
            character += static_cast<char>(std::stoi(first.substr(i, 2), nullptr, 16));
        character += static_cast<char>(last);
        const int length = static_cast<int>(character.size());
        auto bytes = ExactCopy(character);
        const std::string where = std::string(pg_encoding_to_char(encoding)) + " " + Hex(character);
        EXPECT_EQ(pg_encoding_mblen_bounded(encoding, bytes.get(), character.size()), length) << where;
        EXPECT_EQ(pg_encoding_verifymb(encoding, bytes.get(), length), length) << where;
        if (length > 1) {
            EXPECT_EQ(pg_encoding_verifymb(encoding, bytes.get(), length - 1), -1) << where;
        }
        EXPECT_LE(length, pg_encoding_max_length(encoding)) << where;
        ++checked;
    });
    EXPECT_GT(checked, 150000u);
    for (int lead = 0xC0; lead < 0xF8; ++lead) {
        for (int second = 0; second < 0x100; ++second) {
            unsigned char bytes[4] = {static_cast<unsigned char>(lead), static_cast<unsigned char>(second), 0x80, 0x80};
            const int length = pg_utf_mblen(bytes);
            const bool expected = legal[lead << 8 | second];
            EXPECT_EQ(pg_utf8_islegal(bytes, length), expected) << std::hex << lead << " " << second;
            EXPECT_EQ(pg_encoding_verifymb(PG_UTF8, reinterpret_cast<char*>(bytes), 4), expected ? length : -1);
        }
    }
    // Later bytes must be continuation bytes; the length must match the lead.
    for (int third = 0; third < 0x100; ++third) {
        unsigned char bytes[4] = {0xF0, 0x90, static_cast<unsigned char>(third), 0x80};
        EXPECT_EQ(pg_utf8_islegal(bytes, 4), third >= 0x80 && third <= 0xBF) << third;
    }
    const unsigned char euro[] = {0xE2, 0x82, 0xAC};
    EXPECT_TRUE(pg_utf8_islegal(euro, 3));
    EXPECT_FALSE(pg_utf8_islegal(euro, 2));
    EXPECT_FALSE(pg_utf8_islegal(euro, 5));
}

// Length and width by lead byte, mostly where Python has no codec.
TEST(CharacterRules, LengthAndWidthByLeadByte) {
    struct Case {
        int encoding;
        const char* bytes;  // four bytes, so that every rule may look ahead
        int mblen;
        int dsplen;
    };
    const Case cases[] = {
        {PG_SQL_ASCII, "\xe9\0\0\0", 1, 1},
        {PG_SQL_ASCII, "\0\0\0\0", 1, 0},
        {PG_SQL_ASCII, "\t\0\0\0", 1, -1},
        {PG_UTF8, "\0\0\0\0", 1, 0},
        {PG_UTF8, "\xcc\x81\0\0", 2, 0},
        {PG_UTF8, "\xe4\xb8\x80\0", 3, 2},
        {PG_UTF8, "\xc2\x85\0\0", 2, -1},
        {PG_UTF8, "\x80\0\0\0", 1, -1},
        {PG_UTF8, "\xe4\xb8\0\0", 3, -1},
        {PG_EUC_JP, "\x8e\xb1\0\0", 2, 1},
        {PG_EUC_JP, "\x8f\xb0\xa1\0", 3, 2},
        {PG_EUC_KR, "\x8f\xa1\xa1\0", 3, 2},
        {PG_EUC_TW, "\x8e\xa2\xa1\xa1", 4, 2},
        {PG_EUC_TW, "\x8f\xa1\xa1\0", 3, 2},
        {PG_JOHAB, "\x8f\x61\0\0", 2, 2},
        {PG_MULE_INTERNAL, "\x81\xe9\0\0", 2, 1},
        {PG_MULE_INTERNAL, "\x90\xa1\xa1\0", 3, 2},
        {PG_MULE_INTERNAL, "\x9a\xa0\xa1\0", 3, 1},
        {PG_MULE_INTERNAL, "\x9d\xf5\xa1\xa1", 4, 2},
        {PG_MULE_INTERNAL, "\x8e\0\0\0", 1, 1},
        {PG_SJIS, "\xdf\0\0\0", 1, 1},
        {PG_SJIS, "\xe0\x40\0\0", 2, 2},
        {PG_GB18030, "\x81\0\0\0", 2, 2},
        // An invalid identifier counts bytes and uses the ASCII width rule.
        {42, "\x01\0\0\0", 1, -1},
    };
    for (const Case& c : cases) {
        const std::string where = std::to_string(c.encoding) + " " + Hex(std::string(c.bytes, 4));
        EXPECT_EQ(pg_encoding_mblen(c.encoding, c.bytes), c.mblen) << where;
        EXPECT_EQ(pg_encoding_dsplen(c.encoding, c.bytes), c.dsplen) << where;
    }
}

// Bytes outside an encoding's ranges are refused; the user-defined areas,
// MULE and EUC_TW, which Python cannot write, are accepted.
TEST(CharacterRules, VerifyRefusesBytesOutsideTheRanges) {
    const std::vector<std::tuple<int, std::string, int>> cases = {
        {PG_EUC_JP, "\x8e\xe0", -1},
        {PG_EUC_JP, "\x8f\xa1\xa0", -1},
        {PG_EUC_TW, "\x8e\xa1\xa1\xa1", 4},
        {PG_EUC_TW, "\x8e\xb1\xa1\xa1", -1},
        {PG_EUC_TW, "\x8e\xa1\xa1", -1},
        {PG_MULE_INTERNAL, "\x81\x41", -1},
        {PG_MULE_INTERNAL, "\x9c\xf0\xa1\xa1", 4},
        {PG_MULE_INTERNAL, "\x9c\xf0\xa1\x21", -1},
        {PG_MULE_INTERNAL, "\xa0", -1},
        {PG_SJIS, "\xf0\x40", 2},
        {PG_SJIS, "\x81\x7f", -1},
        {PG_GBK, "\x80\x40", -1},
        {PG_GB18030, "\x81\x30\x81\x29", -1},
        {PG_GB18030, "\xfe\x39\xfe\x39", 4},
        {PG_JOHAB, "\xd8\x31", 2},
        {PG_JOHAB, "\xd4\x41", -1},
        {PG_SQL_ASCII, "", -1},
        {PG_GB18030, "", -1},
        {77, "x", 1},
    };
    for (const auto& [encoding, text, expected] : cases) {
        auto bytes = ExactCopy(text);
        EXPECT_EQ(pg_encoding_verifymb(encoding, bytes.get(), static_cast<int>(text.size())), expected)
            << encoding << " " << Hex(text);
    }
}

// Over text that ends inside a character, the bounded steps read nothing past
// the end, never step past it and visit every byte once.
TEST(CharacterRules, BoundedStepsStayInsideTheText) {
    const std::string texts[] = {"\xe4\xb8",     "\xf0\x9f\x98", "\x81\x35\xf4",
                                 "\x8e\xa2\xa1", "\x9c\xf0",     "\xe4\xb8\x80"};
    for (int encoding = -1; encoding <= _PG_LAST_ENCODING_; ++encoding) {
        for (const std::string& text : texts) {
            auto bytes = ExactCopy(text);
            size_t offset = 0;
            while (offset < text.size()) {
                const size_t left = text.size() - offset;
                const int step = pg_encoding_mblen_bounded(encoding, bytes.get() + offset, left);
                ASSERT_GE(step, 1);
                ASSERT_LE(step, static_cast<int>(left));
                const int width = pg_encoding_dsplen_bounded(encoding, bytes.get() + offset, left);
                EXPECT_TRUE(width >= -1 && width <= 2);
                offset += static_cast<size_t>(step);
            }
        }
    }
    // Cut characters have no width; whole ones keep theirs.
    auto cut = ExactCopy("\xe4\xb8");
    EXPECT_EQ(pg_encoding_dsplen_bounded(PG_UTF8, cut.get(), 2), -1);
    auto whole = ExactCopy("\xe4\xb8\x80");
    EXPECT_EQ(pg_encoding_dsplen_bounded(PG_UTF8, whole.get(), 3), 2);
}

}  // namespace
