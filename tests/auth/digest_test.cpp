// MD5, SHA-256, HMAC-SHA-256 and base64 against vectors from Python
// (scripts/digest_vectors.py), and the strict base64 decoder's refusals.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "auth/digest_vectors.h"
#include "auth/hex.h"
#include "postgres/common/base64.h"
#include "postgres/common/md5.h"
#include "postgres/common/scram_common.h"
#include "postgres/common/sha256.h"
#include "postgres/common/sha256_blocks.h"

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

}  // namespace
