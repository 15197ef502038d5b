// HMAC-SHA-256 (RFC 2104) and the key derivations of SCRAM-SHA-256
// (RFC 5802, RFC 7677), used by the SCRAM client exchange.
#pragma once

#include <cstdint>

#include "postgres/common/sha256.h"

constexpr int SCRAM_KEY_LEN = static_cast<int>(PG_SHA256_DIGEST_LENGTH);
// Random bytes of the client nonce before base64 encoding.
constexpr int SCRAM_RAW_NONCE_LEN = 18;
// Longest password given to SASLprep and SCRAM, in bytes.
constexpr int SCRAM_MAX_PASSWORD_LEN = 1024;
// Highest iteration count the client accepts from a server: enough for any
// sane setting, low enough that a hostile server cannot stall the client.
constexpr int SCRAM_MAX_ITERATIONS = 10000000;

// The key-dependent part of HMAC: SHA-256 states that have absorbed the inner
// and the outer pad. Computed once per key, it serves any number of messages,
// which halves the work of each iteration of the salted password.
struct scram_HMAC_key {
    pg_sha256_ctx inner;
    pg_sha256_ctx outer;
};

struct scram_HMAC_ctx {
    pg_sha256_ctx sha256ctx;
    pg_sha256_ctx outer;
};

void scram_HMAC_key_init(scram_HMAC_key* key, const std::uint8_t* secret, int secretlen);
void scram_HMAC_init_with_key(scram_HMAC_ctx* ctx, const scram_HMAC_key* key);

void scram_HMAC_init(scram_HMAC_ctx* ctx, const std::uint8_t* key, int keylen);
void scram_HMAC_update(scram_HMAC_ctx* ctx, const char* str, int slen);
void scram_HMAC_final(std::uint8_t* result, scram_HMAC_ctx* ctx);

// Hi(password, salt, iterations) with HMAC-SHA-256; result is SCRAM_KEY_LEN bytes.
void scram_SaltedPassword(const char* password, const char* salt, int saltlen, int iterations, std::uint8_t* result);
void scram_H(const std::uint8_t* input, int len, std::uint8_t* result);
void scram_ClientKey(const std::uint8_t* salted_password, std::uint8_t* result);
void scram_ServerKey(const std::uint8_t* salted_password, std::uint8_t* result);
