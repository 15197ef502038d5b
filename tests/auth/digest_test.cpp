// MD5, SHA-256, HMAC-SHA-256 and base64 against vectors from Python
// (scripts/digest_vectors.py), the strict base64 decoder's refusals, and
// SASLprep against Python over every code point
// (scripts/unicode_reference_digests.py) and over texts whose characters act
// on one another.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "auth/digest_vectors.h"
#include "auth/hex.h"
#include "auth/unicode_reference_digests.h"
#include "postgres/common/base64.h"
#include "postgres/common/md5.h"
#include "postgres/common/saslprep.h"
#include "postgres/common/scram_common.h"
#include "postgres/common/sha256.h"
#include "postgres/common/sha256_blocks.h"
#include "postgres/mb/encoding.h"

namespace {

std::string Sha256Hex(const char* data, std::size_t len) {
    pg_sha256_ctx ctx;
    pg_sha256_init(&ctx);
    pg_sha256_update(&ctx, reinterpret_cast<const std::uint8_t*>(data), len);
    std::uint8_t digest[PG_SHA256_DIGEST_LENGTH];
    pg_sha256_final(&ctx, digest);
    return ToHex(digest, sizeof digest);
}

TEST(Digest, Md5Sha256AndBase64MatchPython) {
    for (const DigestVector& v : kDigestVectors) {
        SCOPED_TRACE("input length " + std::to_string(v.input_len));
        char hexsum[33];
        ASSERT_TRUE(pg_md5_hash(v.input, v.input_len, hexsum));
        EXPECT_STREQ(hexsum, v.md5_hex);
        EXPECT_EQ(Sha256Hex(v.input, v.input_len), v.sha256_hex);

        const int len = static_cast<int>(v.input_len);
        std::string encoded(static_cast<std::size_t>(pg_b64_enc_len(len)), '\0');
        ASSERT_EQ(pg_b64_encode(v.input, len, encoded.data(), static_cast<int>(encoded.size())),
                  static_cast<int>(encoded.size()));
        EXPECT_EQ(encoded, v.base64);
        std::string decoded(static_cast<std::size_t>(pg_b64_dec_len(static_cast<int>(encoded.size()))), '\0');
        const int n = pg_b64_decode(encoded.data(), static_cast<int>(encoded.size()), decoded.data(),
                                    static_cast<int>(decoded.size()));
        ASSERT_EQ(n, len);
        EXPECT_EQ(decoded.substr(0, static_cast<std::size_t>(n)), std::string(v.input, v.input_len));
    }
}

TEST(Digest, AcceleratedAndPortableCompressionAgree) {
    // The vectors above run through whichever form this processor uses; here
    // the two forms meet on random states and runs of blocks.
    if (!kelvo_sha256::AcceleratedAvailable())
        GTEST_SKIP() << "no SHA extensions on this processor";
    std::mt19937 random(12345);
    for (int round = 0; round < 500; round++) {
        std::size_t nblocks = 1 + random() % 5;
        std::vector<std::uint8_t> data(nblocks * 64);
        for (std::uint8_t& byte : data)
            byte = static_cast<std::uint8_t>(random());
        std::uint32_t portable[8];
        for (std::uint32_t& word : portable)
            word = static_cast<std::uint32_t>(random());
        std::uint32_t accelerated[8];
        std::memcpy(accelerated, portable, sizeof portable);
        kelvo_sha256::CompressBlocksPortable(portable, data.data(), nblocks);
        kelvo_sha256::CompressBlocksAccelerated(accelerated, data.data(), nblocks);
        ASSERT_EQ(std::vector<std::uint32_t>(portable, portable + 8),
                  std::vector<std::uint32_t>(accelerated, accelerated + 8))
            << "round " << round;
    }
}

TEST(Digest, HmacSha256MatchesPython) {
    for (const HmacVector& v : kHmacVectors) {
        SCOPED_TRACE("key length " + std::to_string(v.key_len) + ", message length " + std::to_string(v.message_len));
        scram_HMAC_ctx ctx;
        scram_HMAC_init(&ctx, reinterpret_cast<const std::uint8_t*>(v.key), static_cast<int>(v.key_len));
        scram_HMAC_update(&ctx, v.message, static_cast<int>(v.message_len));
        std::uint8_t result[SCRAM_KEY_LEN];
        scram_HMAC_final(result, &ctx);
        EXPECT_EQ(ToHex(result, sizeof result), v.hmac_hex);
    }
}

TEST(Base64, RefusesMalformedInputAndShortDestinations) {
    const char* const kMalformed[] = {
        "Zm9v YmFy",  // white space
        "Zm_v",       // outside the alphabet
        "Z===",       // padding in the second place
        "Zm=v",       // padding followed by data
        "Zg==Zm9v",   // padding before the last group
    };
    for (const char* text : kMalformed) {
        char out[32];
        EXPECT_EQ(pg_b64_decode(text, static_cast<int>(std::string(text).size()), out, sizeof out), -1) << text;
    }
    char out[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(pg_b64_decode("Zm9vYmFy", 8, out, 3), -1);
    EXPECT_EQ(pg_b64_encode("foob", 4, out, 4), -1);
    EXPECT_EQ(pg_b64_encode("foo", 3, out, 4), 4);
    EXPECT_EQ(std::string(out, 4), "Zm9v");
}

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
    const std::tuple<const char*, pg_saslprep_rc, const char*> kCases[] = {
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
    for (const auto& [input, rc, expected] : kCases) {
        char* out = reinterpret_cast<char*>(1);
        EXPECT_EQ(pg_saslprep(input, &out), rc) << input;
        EXPECT_STREQ(out == reinterpret_cast<char*>(1) ? "(not written)" : out, expected) << input;
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
