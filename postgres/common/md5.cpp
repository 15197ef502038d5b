// MD5 (RFC 1321). Only MD5 password authentication uses it.
#include "postgres/common/md5.h"

#include <cstdlib>
#include <cstring>

namespace {

struct Md5Context {
    std::uint32_t state[4];
    std::uint64_t bytecount;
    std::uint8_t buffer[64];
};

constexpr std::uint32_t kSines[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

constexpr int kShifts[64] = {7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 5,  9,  14, 20, 5,  9,
                             14, 20, 5,  9,  14, 20, 5,  9,  14, 20, 4,  11, 16, 23, 4,  11, 16, 23, 4,  11, 16, 23,
                             4,  11, 16, 23, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21};

inline std::uint32_t RotateLeft(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void Compress(std::uint32_t state[4], const std::uint8_t block[64]) {
    std::uint32_t m[16];
    for (int i = 0; i < 16; i++) {
        m[i] = std::uint32_t{block[4 * i]} | (std::uint32_t{block[4 * i + 1]} << 8) |
               (std::uint32_t{block[4 * i + 2]} << 16) | (std::uint32_t{block[4 * i + 3]} << 24);
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; i++) {
        std::uint32_t f;
        int g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        std::uint32_t rotated = RotateLeft(a + f + kSines[i] + m[g], kShifts[i]);
        a = d;
        d = c;
        c = b;
        b += rotated;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

void Md5Init(Md5Context* ctx) {
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xefcdab89;
    ctx->state[2] = 0x98badcfe;
    ctx->state[3] = 0x10325476;
    ctx->bytecount = 0;
}

void Md5Update(Md5Context* ctx, const std::uint8_t* data, std::size_t len) {
    std::size_t used = ctx->bytecount % 64;
    ctx->bytecount += len;
    if (used > 0) {
        std::size_t take = 64 - used;
        if (len < take) {
            std::memcpy(ctx->buffer + used, data, len);
            return;
        }
        std::memcpy(ctx->buffer + used, data, take);
        Compress(ctx->state, ctx->buffer);
        data += take;
        len -= take;
    }
    for (; len >= 64; data += 64, len -= 64)
        Compress(ctx->state, data);
    if (len > 0)
        std::memcpy(ctx->buffer, data, len);
}

void Md5Final(Md5Context* ctx, std::uint8_t digest[16]) {
    std::uint64_t bitcount = ctx->bytecount << 3;
    std::size_t used = ctx->bytecount % 64;
    ctx->buffer[used++] = 0x80;
    if (used > 56) {
        std::memset(ctx->buffer + used, 0, 64 - used);
        Compress(ctx->state, ctx->buffer);
        used = 0;
    }
    std::memset(ctx->buffer + used, 0, 56 - used);
    for (int i = 0; i < 8; i++)
        ctx->buffer[56 + i] = static_cast<std::uint8_t>(bitcount >> (8 * i));
    Compress(ctx->state, ctx->buffer);
    for (int i = 0; i < 4; i++) {
        for (int j = 0; j < 4; j++)
            digest[4 * i + j] = static_cast<std::uint8_t>(ctx->state[i] >> (8 * j));
    }
}

}  // namespace

void pg_md5_binary(const void* buff, std::size_t len, std::uint8_t* digest) {
    Md5Context ctx;
    Md5Init(&ctx);
    Md5Update(&ctx, static_cast<const std::uint8_t*>(buff), len);
    Md5Final(&ctx, digest);
}

bool pg_md5_hash(const void* buff, std::size_t len, char* hexsum) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::uint8_t digest[16];
    pg_md5_binary(buff, len, digest);
    for (int i = 0; i < 16; i++) {
        hexsum[2 * i] = kHex[digest[i] >> 4];
        hexsum[2 * i + 1] = kHex[digest[i] & 0x0f];
    }
    hexsum[32] = '\0';
    return true;
}

bool pg_md5_encrypt(const char* passwd, const char* salt, std::size_t salt_len, char* buf) {
    std::size_t passwd_len = std::strlen(passwd);
    // One allocation holds both parts; the salt may contain zero bytes.
    char* crypt_buf = static_cast<char*>(std::malloc(passwd_len + salt_len + 1));
    if (crypt_buf == nullptr)
        return false;
    std::memcpy(crypt_buf, passwd, passwd_len);
    std::memcpy(crypt_buf + passwd_len, salt, salt_len);
    std::memcpy(buf, "md5", 3);
    bool ok = pg_md5_hash(crypt_buf, passwd_len + salt_len, buf + 3);
    std::free(crypt_buf);
    return ok;
}
