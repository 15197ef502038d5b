// SHA-256 (FIPS 180-4). The bit count is kept in the context so that a
// message may be fed in pieces of any size.
#include "postgres/common/sha256.h"

#include <cstring>

namespace {

constexpr std::uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline std::uint32_t RotateRight(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void Compress(std::uint32_t state[8], const std::uint8_t block[64]) {
    std::uint32_t w[64];
    for (int i = 0; i < 16; i++) {
        w[i] = (std::uint32_t{block[4 * i]} << 24) | (std::uint32_t{block[4 * i + 1]} << 16) |
               (std::uint32_t{block[4 * i + 2]} << 8) | std::uint32_t{block[4 * i + 3]};
    }
    for (int i = 16; i < 64; i++) {
        std::uint32_t s0 = RotateRight(w[i - 15], 7) ^ RotateRight(w[i - 15], 18) ^ (w[i - 15] >> 3);
        std::uint32_t s1 = RotateRight(w[i - 2], 17) ^ RotateRight(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; i++) {
        std::uint32_t s1 = RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25);
        std::uint32_t ch = (e & f) ^ (~e & g);
        std::uint32_t t1 = h + s1 + ch + kRoundConstants[i] + w[i];
        std::uint32_t s0 = RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22);
        std::uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
        std::uint32_t t2 = s0 + maj;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

}  // namespace

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
        Compress(ctx->state, ctx->buffer);
        data += take;
        len -= take;
    }
    while (len >= PG_SHA256_BLOCK_LENGTH) {
        Compress(ctx->state, data);
        data += PG_SHA256_BLOCK_LENGTH;
        len -= PG_SHA256_BLOCK_LENGTH;
    }
    if (len > 0) std::memcpy(ctx->buffer, data, len);
}

void pg_sha256_final(pg_sha256_ctx* ctx, std::uint8_t* digest) {
    std::uint64_t bitcount = ctx->bitcount;
    std::size_t used = (bitcount >> 3) % PG_SHA256_BLOCK_LENGTH;
    ctx->buffer[used++] = 0x80;
    if (used > PG_SHA256_BLOCK_LENGTH - 8) {
        std::memset(ctx->buffer + used, 0, PG_SHA256_BLOCK_LENGTH - used);
        Compress(ctx->state, ctx->buffer);
        used = 0;
    }
    std::memset(ctx->buffer + used, 0, PG_SHA256_BLOCK_LENGTH - 8 - used);
    for (int i = 0; i < 8; i++) ctx->buffer[PG_SHA256_BLOCK_LENGTH - 1 - i] = static_cast<std::uint8_t>(bitcount >> (8 * i));
    Compress(ctx->state, ctx->buffer);
    for (int i = 0; i < 8; i++) {
        digest[4 * i] = static_cast<std::uint8_t>(ctx->state[i] >> 24);
        digest[4 * i + 1] = static_cast<std::uint8_t>(ctx->state[i] >> 16);
        digest[4 * i + 2] = static_cast<std::uint8_t>(ctx->state[i] >> 8);
        digest[4 * i + 3] = static_cast<std::uint8_t>(ctx->state[i]);
    }
}
