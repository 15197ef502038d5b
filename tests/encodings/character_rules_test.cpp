// Character rules per encoding against what Python's codecs write, encoding names, code values, the locale's encoding
// and numeric address texts.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <locale.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "auth/hex.h"
#include "postgres/mb/code_value_conversion.h"
#include "postgres/mb/encoding.h"
#include "postgres/port/portability.h"

namespace {

std::string Hex(const std::string& bytes) { return ToHex(bytes.data(), bytes.size()); }

// A copy of exactly these bytes on the heap, so that a rule that reads one byte too far trips the address sanitizer.
std::unique_ptr<char[]> ExactCopy(const std::string& bytes) {
    std::unique_ptr<char[]> copy(new char[bytes.size()]);
    memcpy(copy.get(), bytes.data(), bytes.size());
    return copy;
}

// Calls f(kind, first word, byte) for every byte of every "lo-hi" range of the data file's lines.
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

// Every character Python writes has the length its lead bytes announce, is accepted whole and refused when cut short;
// for UTF-8 Python is an exact oracle: every lead byte with every second byte.
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
        EXPECT_TRUE(length == 1 || pg_encoding_verifymb(encoding, bytes.get(), length - 1) == -1) << where;
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

// Length and width by lead byte, mostly where Python has no codec; an invalid identifier (42) counts bytes and uses the
// ASCII width rule.
TEST(CharacterRules, LengthAndWidthByLeadByte) {
    // Four bytes each, so that every rule may look ahead.
    const std::tuple<int, const char*, int, int> cases[] = {
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
        {42, "\x01\0\0\0", 1, -1},
    };
    for (const auto& [encoding, bytes, mblen, dsplen] : cases) {
        const std::string where = std::to_string(encoding) + " " + Hex(std::string(bytes, 4));
        EXPECT_EQ(pg_encoding_mblen(encoding, bytes), mblen) << where;
        EXPECT_EQ(pg_encoding_dsplen(encoding, bytes), dsplen) << where;
    }
}

// Bytes outside an encoding's ranges are refused; the user-defined areas, MULE and EUC_TW, which Python cannot write,
// are accepted.
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

// Over text that ends inside a character, the bounded steps read nothing past the end, never step past it and visit
// every byte once.
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

// Text to code values up to a length, and back where the text was whole: a length that ends inside a character ends the
// conversion before it, a NUL ends the text, and undecodable bytes stand for themselves.
TEST(CodeValues, ServerEncodingsRoundTripUpToTheLength) {
    const std::tuple<int, std::string, int, std::vector<pg_wchar>, bool> cases[] = {
        {PG_SQL_ASCII, "Az\x80\xff", 4, {0x41, 0x7A, 0x80, 0xFF}, true},
        {PG_UTF8, "a\xc3\xa9\xe4\xb8\x80\xf0\x9f\x98\x80", 10, {0x61, 0xE9, 0x4E00, 0x1F600}, true},
        {PG_EUC_JP, "a\x8e\xb1\x8f\xb0\xa1\xa4\xa2", 8, {0x61, 0x8EB1, 0x8FB0A1, 0xA4A2}, true},
        {PG_EUC_TW, "\x8e\xa2\xa1\xa1\xc4\xa1", 6, {0x8EA2A1A1, 0xC4A1}, true},
        {PG_MULE_INTERNAL, "\x81\xe9\x9c\xf0\xa1\xa1", 6, {0x81E9, 0x9CF0A1A1}, true},
        {PG_UTF8, "a\xe4\xb8\x80", 3, {0x61}, false},
        {PG_EUC_JP, "a\x8f\xb0\xa1", 3, {0x61}, false},
        {PG_UTF8, std::string("a\0b", 3), 3, {0x61}, false},
        {PG_UTF8, "\xff\x80", 2, {0xFF, 0x80}, false},
    };
    for (const auto& [encoding, text, len, expected, whole] : cases) {
        SCOPED_TRACE(std::string(pg_encoding_to_char(encoding)) + " " + std::to_string(len));
        const pg_wchar_tbl& rules = pg_wchar_table[encoding];
        std::vector<pg_wchar> codes(text.size() + 1, 0xDEAD);
        const int count =
            rules.mb2wchar_with_len(reinterpret_cast<const unsigned char*>(text.data()), codes.data(), len);
        ASSERT_EQ(count, static_cast<int>(expected.size()));
        EXPECT_EQ(std::vector<pg_wchar>(codes.begin(), codes.begin() + count), expected);
        EXPECT_EQ(codes[count], 0u);
        if (!whole)
            continue;
        std::vector<unsigned char> bytes(count * MAX_MULTIBYTE_CHAR_LEN + 1, 0xEE);
        const int made = rules.wchar2mb_with_len(expected.data(), bytes.data(), count);
        ASSERT_EQ(made, static_cast<int>(text.size()));
        EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + made), text);
        EXPECT_EQ(bytes[made], 0);
    }
}

TEST(LocaleEncoding, CodeSetsAndLocales) {
    const std::pair<const char*, int> codesets[] = {{"utf8", 6}, {"Utf-8", 6},   {"CP28605", 16},
                                                    {"5601", 3}, {"cp1361", 40}, {"us-ascii", 0}};
    for (const auto& [codeset, encoding] : codesets) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(pg_encoding_from_codeset("xx_XX", codeset, true), encoding) << codeset;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << codeset;
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(pg_encoding_from_codeset("tt_RU", "TATAR-CYR", true), -1);
    EXPECT_EQ(pg_encoding_from_codeset("C.ascii", "ANSI_X3.4-1968", false), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "could not determine encoding for locale \"tt_RU\": codeset is \"TATAR-CYR\"\n");

    const std::string before = setlocale(LC_CTYPE, nullptr);
    const std::pair<const char*, int> locales[] = {
        {"c", 0}, {"POSIX", 0}, {"C.UTF-8", 6}, {"C.utf8", 6}, {"no_SUCH.locale", -1}};
    for (const auto& [ctype, encoding] : locales)
        EXPECT_EQ(pg_get_encoding_from_locale(ctype, true), encoding) << ctype;
    // Asking about another locale leaves the process's own alone.
    EXPECT_EQ(setlocale(LC_CTYPE, nullptr), before);
    ASSERT_NE(setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    EXPECT_EQ(pg_get_encoding_from_locale(nullptr, true), 6);
    setlocale(LC_CTYPE, before.c_str());
}

std::string NetText(int af, const unsigned char* address, int bits, size_t size = 1025) {
    char buffer[1025];
    const char* text = inet_net_ntop(af, address, bits, buffer, size);
    return text == nullptr ? "(null)" : text;
}

TEST(AddressText, PrefixesRefusalsAndTheInetNtopOracle) {
    const unsigned char v4[4] = {192, 168, 100, 200};
    const unsigned char v6[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    EXPECT_EQ(NetText(AF_INET, v4, 24, 19), "192.168.100.200/24");
    EXPECT_EQ(NetText(AF_INET6, v6, 64), "fe80::ffff/64");
    EXPECT_EQ(NetText(AF_INET, v4, 32, 15), "(null)");
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(NetText(AF_INET, v4, 24, 18), "(null)");
    EXPECT_EQ(NetText(AF_INET6, v6, 128, 10), "(null)");
    EXPECT_EQ(NetText(AF_INET, v4, 33), "(null)");
    EXPECT_EQ(NetText(AF_INET, v4, -1), "(null)");
    EXPECT_EQ(NetText(AF_INET6, v6, 129), "(null)");
    EXPECT_EQ(NetText(AF_UNIX, v4, 32), "(null)");
    EXPECT_EQ(errno, EAFNOSUPPORT);

    // The C library's inet_ntop is the oracle for full-width addresses; zero groups are made common so that every
    // compression case comes up.
    std::mt19937 random(20261206);
    for (int round = 0; round < 20000; ++round) {
        unsigned char v4[4];
        for (unsigned char& byte : v4)
            byte = static_cast<unsigned char>(random());
        char expected[INET6_ADDRSTRLEN];
        ASSERT_NE(inet_ntop(AF_INET, v4, expected, sizeof(expected)), nullptr);
        ASSERT_EQ(NetText(AF_INET, v4, 32), expected);

        unsigned char v6[16];
        for (int group = 0; group < 8; ++group) {
            unsigned int value = random() % 2 == 0 ? 0 : random() % 4 == 0 ? random() % 16 : random() & 0xFFFF;
            v6[2 * group] = static_cast<unsigned char>(value >> 8);
            v6[2 * group + 1] = static_cast<unsigned char>(value);
        }
        if (round % 5 == 0) {  // the IPv4-mapped and -compatible forms
            memset(v6, 0, 10);
            v6[10] = v6[11] = round % 10 == 0 ? 0xFF : 0;
        }
        ASSERT_NE(inet_ntop(AF_INET6, v6, expected, sizeof(expected)), nullptr);
        ASSERT_EQ(NetText(AF_INET6, v6, 128), expected);
        ASSERT_EQ(NetText(AF_INET6, v6, round % 128), std::string(expected) + "/" + std::to_string(round % 128));
    }
}

}  // namespace
