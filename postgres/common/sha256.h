// SHA-256 (FIPS 180-4), used by SCRAM authentication for its keys, its
// HMAC and the salted password.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t PG_SHA256_DIGEST_LENGTH = 32;
constexpr std::size_t PG_SHA256_BLOCK_LENGTH = 64;

struct pg_sha256_ctx {
    std::uint32_t state[8];
    std::uint64_t bitcount;
    std::uint8_t buffer[PG_SHA256_BLOCK_LENGTH];
};

void pg_sha256_init(pg_sha256_ctx* ctx);
void pg_sha256_update(pg_sha256_ctx* ctx, const std::uint8_t* data, std::size_t len);
// Writes the 32-byte digest; the context must be initialised again before reuse.
void pg_sha256_final(pg_sha256_ctx* ctx, std::uint8_t* digest);
