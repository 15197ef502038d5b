// SASLprep against Python over every code point (scripts/unicode_reference_digests.py)
// and over texts whose characters act on one another.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "auth/hex.h"
#include "auth/unicode_reference_digests.h"
#include "postgres/common/saslprep.h"
#include "postgres/common/sha256.h"
#include "postgres/mb/encoding.h"

namespace {

void PutBigEndian(pg_sha256_ctx* ctx, std::uint32_t value) {
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                                   static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
    pg_sha256_update(ctx, bytes, sizeof bytes);
}

TEST(Unicode, SaslprepOfEveryCodePointMatchesPython) {
    pg_sha256_ctx ctx;
    pg_sha256_init(&ctx);
    for (pg_wchar cp = 1; cp <= 0x10FFFF; cp++) {
        if (cp >= 0xD800 && cp <= 0xDFFF)
            continue;  // surrogates have no UTF-8 form
        unsigned char utf8[5] = {};
        char* out = nullptr;
        pg_saslprep_rc rc = pg_saslprep(reinterpret_cast<char*>(unicode_to_utf8(cp, utf8)), &out);
        ASSERT_NE(rc, SASLPREP_OOM);
        const std::string prepared = out == nullptr ? std::string() : std::string(out);
        std::free(out);
        PutBigEndian(&ctx, cp);
        const std::uint8_t code = static_cast<std::uint8_t>(static_cast<std::int8_t>(rc));
        pg_sha256_update(&ctx, &code, 1);
        PutBigEndian(&ctx, static_cast<std::uint32_t>(prepared.size()));
        pg_sha256_update(&ctx, reinterpret_cast<const std::uint8_t*>(prepared.data()), prepared.size());
    }
    std::uint8_t digest[PG_SHA256_DIGEST_LENGTH];
    pg_sha256_final(&ctx, digest);
    EXPECT_EQ(ToHex(digest, sizeof digest), kSaslprepEveryCodePointSha256);
}

TEST(Unicode, SaslprepOfTexts) {
    struct Case {
        const char* input;
        pg_saslprep_rc rc;
        const char* expected;
    };
    const Case kCases[] = {
        {"I\xC2\xAD\x58", SASLPREP_SUCCESS, "IX"},       // soft hyphen maps to nothing
        {"\xC3\xA9\x07", SASLPREP_PROHIBITED, nullptr},  // ASCII control beside non-ASCII
        // NFKC over marks and jamo that act on one another (unicodedata.normalize).
        {"a\xCC\xA8\xCC\x81", SASLPREP_SUCCESS, "\xC4\x85\xCC\x81"},                 // ogonek first by class
        {"a\xCC\x81\xCC\xA8", SASLPREP_SUCCESS, "\xC4\x85\xCC\x81"},                 // reordered, then composed
        {"e\xCC\x81\xCC\x81", SASLPREP_SUCCESS, "\xC3\xA9\xCC\x81"},                 // second mark blocked
        {"\xCC\x81\x61", SASLPREP_SUCCESS, "\xCC\x81\x61"},                          // no starter before the mark
        {"\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8", SASLPREP_SUCCESS, "\xEA\xB0\x81"},  // Hangul L V T
        {"\xEA\xB0\x80\xE1\x86\xA8", SASLPREP_SUCCESS, "\xEA\xB0\x81"},              // Hangul LV + T
        {"\xE1\x84\x80\xE1\x85\xA1\xCC\x81\xE1\x86\xA8", SASLPREP_SUCCESS,
         "\xEA\xB0\x80\xCC\x81\xE1\x86\xA8"},                                // T blocked by a mark
        {"\xE1\xBA\x9B\xCC\xA3", SASLPREP_SUCCESS, "\xE1\xB9\xA9"},          // long s dot: compat, reorder, compose
        {"\xE0\xAD\x87\xE0\xAC\xBE", SASLPREP_SUCCESS, "\xE0\xAD\x8B"},      // two starters compose
        {"\xD8\xA7\x31\xD8\xA8", SASLPREP_SUCCESS, "\xD8\xA7\x31\xD8\xA8"},  // right-to-left at both ends
        {"\xD8\xA7\x31", SASLPREP_PROHIBITED, nullptr},                      // ends with a digit
        {"\xD8\xA7\x61\xD8\xA8", SASLPREP_PROHIBITED, nullptr},              // mixed directions
        {"\xC3", SASLPREP_INVALID_UTF8, nullptr},                            // cut short by the end
        {"\xFF\xFE\x70\x77", SASLPREP_INVALID_UTF8, nullptr},                // 0xFF leads no character
        {"\xC3\xA9\xC0\xAF", SASLPREP_INVALID_UTF8, nullptr},                // overlong
        {"\xED\xA0\x80", SASLPREP_INVALID_UTF8, nullptr},                    // surrogate
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
    // Longer passwords are refused as if memory had run out.
    char* out = nullptr;
    EXPECT_EQ(pg_saslprep(std::string(1024, 'x').c_str(), &out), SASLPREP_SUCCESS);
    std::free(out);
    EXPECT_EQ(pg_saslprep(std::string(1025, 'x').c_str(), &out), SASLPREP_OOM);
    EXPECT_EQ(out, nullptr);
}

}  // namespace
