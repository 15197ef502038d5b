// MD5, SHA-256, HMAC-SHA-256 and the SCRAM key derivations against vectors
// computed with Python (scripts/digest_vectors.py) and those of RFC 7677.
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

TEST(Digest, Md5AndSha256MatchPython) {
    for (const DigestVector& v : kDigestVectors) {
        SCOPED_TRACE("input length " + std::to_string(v.input_len));
        char hexsum[33];
        ASSERT_TRUE(pg_md5_hash(v.input, v.input_len, hexsum));
        EXPECT_STREQ(hexsum, v.md5_hex);
        EXPECT_EQ(Sha256Hex(v.input, v.input_len), v.sha256_hex);
    }
}

TEST(Digest, Sha256FedInPiecesEqualsWhole) {
    // Split every vector at every point: the block buffering must not lose or
    // repeat a byte.
    for (const DigestVector& v : kDigestVectors) {
        for (std::size_t split = 0; split <= v.input_len && split < 140; split++) {
            pg_sha256_ctx ctx;
            pg_sha256_init(&ctx);
            pg_sha256_update(&ctx, reinterpret_cast<const std::uint8_t*>(v.input), split);
            pg_sha256_update(&ctx, reinterpret_cast<const std::uint8_t*>(v.input) + split, v.input_len - split);
            std::uint8_t digest[PG_SHA256_DIGEST_LENGTH];
            pg_sha256_final(&ctx, digest);
            ASSERT_EQ(ToHex(digest, sizeof digest), v.sha256_hex) << "length " << v.input_len << " split " << split;
        }
    }
}

TEST(Digest, AcceleratedAndPortableCompressionAgree) {
    // The vectors above run through whichever form this processor uses; here
    // the two forms meet on random states and runs of blocks.
    if (!kelvo_sha256::AcceleratedAvailable()) GTEST_SKIP() << "no SHA extensions on this processor";
    std::mt19937 random(12345);
    for (int round = 0; round < 500; round++) {
        std::size_t nblocks = 1 + random() % 5;
        std::vector<std::uint8_t> data(nblocks * 64);
        for (std::uint8_t& byte : data) byte = static_cast<std::uint8_t>(random());
        std::uint32_t portable[8];
        for (std::uint32_t& word : portable) word = static_cast<std::uint32_t>(random());
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

std::string Base64(const std::uint8_t* data, int len) {
    char out[64];
    int n = pg_b64_encode(reinterpret_cast<const char*>(data), len, out, sizeof out);
    return n < 0 ? std::string("<error>") : std::string(out, static_cast<std::size_t>(n));
}

TEST(Digest, ScramKeysOfRfc7677Example) {
    // RFC 7677, section 3: user "user", password "pencil".
    const char salt[] = "\x5b\x6d\x99\x68\x9d\x12\x35\x8e\xec\xa0\x4b\x14\x12\x36\xfa\x81";
    std::uint8_t salted[SCRAM_KEY_LEN];
    scram_SaltedPassword("pencil", salt, 16, 4096, salted);
    std::uint8_t client_key[SCRAM_KEY_LEN], stored_key[SCRAM_KEY_LEN], server_key[SCRAM_KEY_LEN];
    scram_ClientKey(salted, client_key);
    scram_H(client_key, SCRAM_KEY_LEN, stored_key);
    scram_ServerKey(salted, server_key);

    const std::string auth_message =
        "n=user,r=rOprNGfwEbeRWgbNEkqO,"
        "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096,"
        "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0";
    std::uint8_t signature[SCRAM_KEY_LEN], proof[SCRAM_KEY_LEN], server_signature[SCRAM_KEY_LEN];
    scram_HMAC_ctx ctx;
    scram_HMAC_init(&ctx, stored_key, SCRAM_KEY_LEN);
    scram_HMAC_update(&ctx, auth_message.data(), static_cast<int>(auth_message.size()));
    scram_HMAC_final(signature, &ctx);
    for (int i = 0; i < SCRAM_KEY_LEN; i++) proof[i] = client_key[i] ^ signature[i];
    scram_HMAC_init(&ctx, server_key, SCRAM_KEY_LEN);
    scram_HMAC_update(&ctx, auth_message.data(), static_cast<int>(auth_message.size()));
    scram_HMAC_final(server_signature, &ctx);

    EXPECT_EQ(Base64(proof, SCRAM_KEY_LEN), "dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=");
    EXPECT_EQ(Base64(server_signature, SCRAM_KEY_LEN), "6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=");
}

TEST(Digest, SaltedPasswordMatchesPythonPbkdf2) {
    for (const ScramVector& v : kScramVectors) {
        // The salt travels base64-encoded after ",s=" in the server's message.
        std::string first = v.server_first_message;
        std::size_t s = first.find(",s=") + 3;
        std::size_t i = first.find(",i=");
        char salt[64];
        int saltlen = pg_b64_decode(first.data() + s, static_cast<int>(i - s), salt, sizeof salt);
        ASSERT_GT(saltlen, 0);
        int iterations = std::stoi(first.substr(i + 3));
        std::uint8_t salted[SCRAM_KEY_LEN];
        scram_SaltedPassword(v.prepared_password, salt, saltlen, iterations, salted);
        EXPECT_EQ(ToHex(salted, sizeof salted), v.salted_password_hex) << v.server_first_message;
    }
}

}  // namespace
