// SASLprep compared with Python over every code point (the digest from
// scripts/unicode_reference_digests.py; NFKC is reached only through it), and
// NFKC and SASLprep over texts whose characters act on one another.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "auth/hex.h"
#include "auth/unicode_reference_digests.h"
#include "postgres/common/saslprep.h"
#include "postgres/common/sha256.h"
#include "postgres/common/unicode_norm.h"
#include "postgres/mb/encoding.h"

namespace {

void PutBigEndian(pg_sha256_ctx* ctx, std::uint32_t value) {
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                                   static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
    pg_sha256_update(ctx, bytes, sizeof bytes);
}

bool IsSurrogate(pg_wchar cp) { return cp >= 0xD800 && cp <= 0xDFFF; }

std::string Utf8(pg_wchar cp) {
    unsigned char bytes[4];
    unicode_to_utf8(cp, bytes);
    return std::string(reinterpret_cast<char*>(bytes), static_cast<std::size_t>(pg_utf_mblen(bytes)));
}

std::string Finish(pg_sha256_ctx* ctx) {
    std::uint8_t digest[PG_SHA256_DIGEST_LENGTH];
    pg_sha256_final(ctx, digest);
    return ToHex(digest, sizeof digest);
}

TEST(Unicode, SaslprepOfEveryCodePointMatchesPython) {
    pg_sha256_ctx ctx;
    pg_sha256_init(&ctx);
    for (pg_wchar cp = 1; cp <= 0x10FFFF; cp++) {
        if (IsSurrogate(cp)) continue;
        char* out = nullptr;
        pg_saslprep_rc rc = pg_saslprep(Utf8(cp).c_str(), &out);
        ASSERT_NE(rc, SASLPREP_OOM);
        std::string prepared = out == nullptr ? std::string() : std::string(out);
        std::free(out);
        PutBigEndian(&ctx, cp);
        const std::uint8_t code = static_cast<std::uint8_t>(static_cast<std::int8_t>(rc));
        pg_sha256_update(&ctx, &code, 1);
        PutBigEndian(&ctx, static_cast<std::uint32_t>(prepared.size()));
        pg_sha256_update(&ctx, reinterpret_cast<const std::uint8_t*>(prepared.data()), prepared.size());
    }
    EXPECT_EQ(Finish(&ctx), kSaslprepEveryCodePointSha256);
}

TEST(Unicode, NfkcReordersAndComposesSequences) {
    struct Case {
        std::vector<pg_wchar> input;
        std::vector<pg_wchar> expected;  // unicodedata.normalize("NFKC", ...)
    };
    const Case kCases[] = {
        {{'a', 0x0328, 0x0301}, {0x0105, 0x0301}},                  // ogonek first by class
        {{'a', 0x0301, 0x0328}, {0x0105, 0x0301}},                  // reordered, then composed
        {{'e', 0x0301, 0x0301}, {0x00E9, 0x0301}},                  // second mark blocked
        {{0x0301, 'a'}, {0x0301, 'a'}},                             // no starter before the mark
        {{0x1100, 0x1161, 0x11A8}, {0xAC01}},                       // Hangul L V T
        {{0xAC00, 0x11A8}, {0xAC01}},                               // Hangul LV + T
        {{0x1100, 0x1161, 0x0301, 0x11A8}, {0xAC00, 0x0301, 0x11A8}},  // T blocked by a mark
        {{0x1E9B, 0x0323}, {0x1E69}},                               // long s dot: compat, reorder, compose
        {{0x0B47, 0x0B3E}, {0x0B4B}},                               // two starters compose
    };
    for (const Case& c : kCases) {
        std::vector<pg_wchar> input = c.input;
        input.push_back(0);
        pg_wchar* out = unicode_normalize_kc(input.data());
        ASSERT_NE(out, nullptr);
        std::vector<pg_wchar> got;
        for (const pg_wchar* p = out; *p != 0; p++) got.push_back(*p);
        std::free(out);
        EXPECT_EQ(got, c.expected) << "input starting with U+" << std::hex << c.input[0];
    }
}

TEST(Unicode, SaslprepOfTexts) {
    struct Case {
        const char* input;
        pg_saslprep_rc rc;
        const char* expected;
    };
    const Case kCases[] = {
        {"a\x07\x7f" "b", SASLPREP_SUCCESS, "a\x07\x7f" "b"},       // pure ASCII is left alone
        {"I\xC2\xAD" "X", SASLPREP_SUCCESS, "IX"},                  // soft hyphen maps to nothing
        {"user\xC2\xA0name", SASLPREP_SUCCESS, "user name"},       // non-ASCII space
        {"\xC2\xAD", SASLPREP_SUCCESS, ""},                         // maps to the empty text
        {"\xC3\xA9\x07", SASLPREP_PROHIBITED, nullptr},             // ASCII control beside non-ASCII
        {"\xD8\xA7" "1\xD8\xA8", SASLPREP_SUCCESS, "\xD8\xA7" "1\xD8\xA8"},  // right-to-left at both ends
        {"\xD8\xA7" "1", SASLPREP_PROHIBITED, nullptr},             // ends with a digit
        {"\xD8\xA7" "a\xD8\xA8", SASLPREP_PROHIBITED, nullptr},     // mixed directions
        {"\xC3", SASLPREP_INVALID_UTF8, nullptr},                   // cut short by the end
        {"\xC3\xA9\xF0\x9F\x98", SASLPREP_INVALID_UTF8, nullptr},
        {"\xC3\xA9\xC0\xAF", SASLPREP_INVALID_UTF8, nullptr},       // overlong
        {"\xED\xA0\x80", SASLPREP_INVALID_UTF8, nullptr},           // surrogate
        {"\xF4\x90\x80\x80", SASLPREP_INVALID_UTF8, nullptr},       // above U+10FFFF
        {"\xC3\xA9\x80", SASLPREP_INVALID_UTF8, nullptr},           // stray continuation byte
    };
    for (const Case& c : kCases) {
        char* out = reinterpret_cast<char*>(1);
        EXPECT_EQ(pg_saslprep(c.input, &out), c.rc) << c.input;
        if (c.expected == nullptr) {
            EXPECT_EQ(out, nullptr);
        } else {
            ASSERT_NE(out, nullptr);
            EXPECT_STREQ(out, c.expected);
        }
        std::free(out);
    }
}

TEST(Unicode, SaslprepRefusesOverlongPasswords) {
    char* out = nullptr;
    EXPECT_EQ(pg_saslprep(std::string(1024, 'x').c_str(), &out), SASLPREP_SUCCESS);
    std::free(out);
    EXPECT_EQ(pg_saslprep(std::string(1025, 'x').c_str(), &out), SASLPREP_OOM);
    EXPECT_EQ(out, nullptr);
}

}  // namespace
