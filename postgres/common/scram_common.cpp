// HMAC-SHA-256 and the SCRAM-SHA-256 key derivations.
#include "postgres/common/scram_common.h"

#include <cstring>
#include <initializer_list>

#include "postgres/common/sha256_blocks.h"

namespace {

void StoreBigEndian(const std::uint32_t words[8], std::uint8_t* out) {
    for (int i = 0; i < 8; i++) {
        out[4 * i] = static_cast<std::uint8_t>(words[i] >> 24);
        out[4 * i + 1] = static_cast<std::uint8_t>(words[i] >> 16);
        out[4 * i + 2] = static_cast<std::uint8_t>(words[i] >> 8);
        out[4 * i + 3] = static_cast<std::uint8_t>(words[i]);
    }
}

}  // namespace

void scram_HMAC_key_init(scram_HMAC_key* key, const std::uint8_t* secret, int secretlen) {
    std::uint8_t digest[PG_SHA256_DIGEST_LENGTH];
    // Keys longer than a block are replaced by their digest (RFC 2104).
    if (secretlen > static_cast<int>(PG_SHA256_BLOCK_LENGTH)) {
        pg_sha256_ctx ctx;
        pg_sha256_init(&ctx);
        pg_sha256_update(&ctx, secret, static_cast<std::size_t>(secretlen));
        pg_sha256_final(&ctx, digest);
        secret = digest;
        secretlen = SCRAM_KEY_LEN;
    }
    std::uint8_t ipad[PG_SHA256_BLOCK_LENGTH];
    std::uint8_t opad[PG_SHA256_BLOCK_LENGTH];
    std::memset(ipad, 0x36, sizeof ipad);
    std::memset(opad, 0x5c, sizeof opad);
    for (int i = 0; i < secretlen; i++) {
        ipad[i] ^= secret[i];
        opad[i] ^= secret[i];
    }
    pg_sha256_init(&key->inner);
    pg_sha256_update(&key->inner, ipad, sizeof ipad);
    pg_sha256_init(&key->outer);
    pg_sha256_update(&key->outer, opad, sizeof opad);
    // The pads are the password in all but name.
    explicit_bzero(ipad, sizeof ipad);
    explicit_bzero(opad, sizeof opad);
    explicit_bzero(digest, sizeof digest);
}

void scram_HMAC_init_with_key(scram_HMAC_ctx* ctx, const scram_HMAC_key* key) {
    ctx->sha256ctx = key->inner;
    ctx->outer = key->outer;
}

void scram_HMAC_init(scram_HMAC_ctx* ctx, const std::uint8_t* key, int keylen) {
    scram_HMAC_key prepared;
    scram_HMAC_key_init(&prepared, key, keylen);
    scram_HMAC_init_with_key(ctx, &prepared);
    explicit_bzero(&prepared, sizeof prepared);
}

void scram_HMAC_update(scram_HMAC_ctx* ctx, const char* str, int slen) {
    pg_sha256_update(&ctx->sha256ctx, reinterpret_cast<const std::uint8_t*>(str), static_cast<std::size_t>(slen));
}

void scram_HMAC_final(std::uint8_t* result, scram_HMAC_ctx* ctx) {
    std::uint8_t inner_digest[PG_SHA256_DIGEST_LENGTH];
    pg_sha256_final(&ctx->sha256ctx, inner_digest);
    pg_sha256_update(&ctx->outer, inner_digest, sizeof inner_digest);
    pg_sha256_final(&ctx->outer, result);
}

void scram_SaltedPassword(const char* password, const char* salt, int saltlen, int iterations, std::uint8_t* result) {
    scram_HMAC_key key;
    scram_HMAC_key_init(&key, reinterpret_cast<const std::uint8_t*>(password), static_cast<int>(std::strlen(password)));

    // U1 = HMAC(password, salt || INT(1))
    static constexpr char kFirstBlockIndex[4] = {0, 0, 0, 1};
    std::uint8_t u[SCRAM_KEY_LEN];
    scram_HMAC_ctx ctx;
    scram_HMAC_init_with_key(&ctx, &key);
    scram_HMAC_update(&ctx, salt, saltlen);
    scram_HMAC_update(&ctx, kFirstBlockIndex, sizeof kFirstBlockIndex);
    scram_HMAC_final(u, &ctx);
    std::memcpy(result, u, SCRAM_KEY_LEN);

    // Ui = HMAC(password, Ui-1), result = U1 XOR ... XOR Un. Both hashes of
    // an iteration take exactly one block after the pad that the prepared
    // key has absorbed: 32 bytes, the padding and a bit count of 768, so the
    // blocks are laid out once and only the digests change.
    std::uint8_t inner_block[PG_SHA256_BLOCK_LENGTH] = {};
    std::uint8_t outer_block[PG_SHA256_BLOCK_LENGTH] = {};
    for (std::uint8_t* block : {inner_block, outer_block}) {
        block[SCRAM_KEY_LEN] = 0x80;
        block[PG_SHA256_BLOCK_LENGTH - 2] = 0x03;  // (64 + 32) * 8 = 0x300 bits
    }
    std::memcpy(inner_block, u, SCRAM_KEY_LEN);
    for (int i = 2; i <= iterations; i++) {
        std::uint32_t inner[8];
        std::memcpy(inner, key.inner.state, sizeof inner);
        kelvo_sha256::CompressBlocks(inner, inner_block, 1);
        StoreBigEndian(inner, outer_block);
        std::uint32_t outer[8];
        std::memcpy(outer, key.outer.state, sizeof outer);
        kelvo_sha256::CompressBlocks(outer, outer_block, 1);
        StoreBigEndian(outer, inner_block);  // Ui, the next message
        for (int j = 0; j < SCRAM_KEY_LEN; j++)
            result[j] ^= inner_block[j];
    }
    // explicit_bzero: plain stores into memory about to go out of scope may
    // be optimised away, and these are all password equivalents.
    explicit_bzero(inner_block, sizeof inner_block);
    explicit_bzero(outer_block, sizeof outer_block);
    explicit_bzero(u, sizeof u);
    explicit_bzero(&key, sizeof key);
    explicit_bzero(&ctx, sizeof ctx);
}

void scram_H(const std::uint8_t* input, int len, std::uint8_t* result) {
    pg_sha256_ctx ctx;
    pg_sha256_init(&ctx);
    pg_sha256_update(&ctx, input, static_cast<std::size_t>(len));
    pg_sha256_final(&ctx, result);
}

namespace {

void KeyFromSaltedPassword(const std::uint8_t* salted_password, const char* label, std::uint8_t* result) {
    scram_HMAC_ctx ctx;
    scram_HMAC_init(&ctx, salted_password, SCRAM_KEY_LEN);
    scram_HMAC_update(&ctx, label, static_cast<int>(std::strlen(label)));
    scram_HMAC_final(result, &ctx);
}

}  // namespace

void scram_ClientKey(const std::uint8_t* salted_password, std::uint8_t* result) {
    KeyFromSaltedPassword(salted_password, "Client Key", result);
}

void scram_ServerKey(const std::uint8_t* salted_password, std::uint8_t* result) {
    KeyFromSaltedPassword(salted_password, "Server Key", result);
}
