// MD5, SHA-256 and HMAC-SHA-256 against vectors computed with Python
// (scripts/digest_vectors.py); the salted password and the keys derived from
// it, and SHA-256 fed in pieces, are checked through whole exchanges in
// sendauth_test.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "auth/digest_vectors.h"
#include "auth/hex.h"
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

TEST(Digest, Md5AndSha256MatchPython) {
    for (const DigestVector& v : kDigestVectors) {
        SCOPED_TRACE("input length " + std::to_string(v.input_len));
        char hexsum[33];
        ASSERT_TRUE(pg_md5_hash(v.input, v.input_len, hexsum));
        EXPECT_STREQ(hexsum, v.md5_hex);
        EXPECT_EQ(Sha256Hex(v.input, v.input_len), v.sha256_hex);
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

        // A prepared key serves several messages.
        scram_HMAC_key key;
        scram_HMAC_key_init(&key, reinterpret_cast<const std::uint8_t*>(v.key), static_cast<int>(v.key_len));
        for (int round = 0; round < 2; round++) {
            scram_HMAC_init_with_key(&ctx, &key);
            scram_HMAC_update(&ctx, v.message, static_cast<int>(v.message_len));
            scram_HMAC_final(result, &ctx);
            EXPECT_EQ(ToHex(result, sizeof result), v.hmac_hex);
        }
    }
}

}  // namespace
