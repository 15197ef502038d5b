// SHA-256 (FIPS 180-4). The bit count is kept in the context so that a
// message may be fed in pieces of any size.
#include "postgres/common/sha256.h"

#include <cstring>

#include "postgres/common/sha256_blocks.h"

using kelvo_sha256::CompressBlocks;

void pg_sha256_init(pg_sha256_ctx* ctx) {
    static constexpr std::uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::memcpy(ctx->state, kInitialState, sizeof kInitialState);
    ctx->bitcount = 0;
    std::memset(ctx->buffer, 0, sizeof ctx->buffer);
}

void pg_sha256_update(pg_sha256_ctx* ctx, const std::uint8_t* data, std::size_t len) {
    std::size_t used = (ctx->bitcount >> 3) % PG_SHA256_BLOCK_LENGTH;
    ctx->bitcount += static_cast<std::uint64_t>(len) << 3;
    if (used > 0) {
        std::size_t take = PG_SHA256_BLOCK_LENGTH - used;
        if (len < take) {
            std::memcpy(ctx->buffer + used, data, len);
            return;
        }
        std::memcpy(ctx->buffer + used, data, take);
        CompressBlocks(ctx->state, ctx->buffer, 1);
        data += take;
        len -= take;
    }
    if (len >= PG_SHA256_BLOCK_LENGTH) {
        std::size_t nblocks = len / PG_SHA256_BLOCK_LENGTH;
        CompressBlocks(ctx->state, data, nblocks);
        data += nblocks * PG_SHA256_BLOCK_LENGTH;
        len -= nblocks * PG_SHA256_BLOCK_LENGTH;
    }
    if (len > 0)
        std::memcpy(ctx->buffer, data, len);
}

void pg_sha256_final(pg_sha256_ctx* ctx, std::uint8_t* digest) {
    std::uint64_t bitcount = ctx->bitcount;
    std::size_t used = (bitcount >> 3) % PG_SHA256_BLOCK_LENGTH;
    ctx->buffer[used++] = 0x80;
    if (used > PG_SHA256_BLOCK_LENGTH - 8) {
        std::memset(ctx->buffer + used, 0, PG_SHA256_BLOCK_LENGTH - used);
        CompressBlocks(ctx->state, ctx->buffer, 1);
        used = 0;
    }
    std::memset(ctx->buffer + used, 0, PG_SHA256_BLOCK_LENGTH - 8 - used);
    for (int i = 0; i < 8; i++)
        ctx->buffer[PG_SHA256_BLOCK_LENGTH - 1 - i] = static_cast<std::uint8_t>(bitcount >> (8 * i));
    CompressBlocks(ctx->state, ctx->buffer, 1);
    for (int i = 0; i < 8; i++) {
        digest[4 * i] = static_cast<std::uint8_t>(ctx->state[i] >> 24);
        digest[4 * i + 1] = static_cast<std::uint8_t>(ctx->state[i] >> 16);
        digest[4 * i + 2] = static_cast<std::uint8_t>(ctx->state[i] >> 8);
        digest[4 * i + 3] = static_cast<std::uint8_t>(ctx->state[i]);
    }
}
