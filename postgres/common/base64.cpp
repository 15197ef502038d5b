// Base64 encoding and strict decoding.
#include "postgres/common/base64.h"

#include <climits>
#include <cstdint>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The 6-bit value of an alphabet character, or -1.
int SextetOf(unsigned char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

}  // namespace

int pg_b64_enc_len(int srclen) {
    if (srclen <= 0)
        return 0;
    long long len = (static_cast<long long>(srclen) + 2) / 3 * 4;
    return len > INT_MAX ? -1 : static_cast<int>(len);
}

int pg_b64_dec_len(int srclen) {
    if (srclen <= 0)
        return 0;
    return static_cast<int>(static_cast<long long>(srclen) * 3 / 4);
}

int pg_b64_encode(const char* src, int len, char* dst, int dstlen) {
    int needed = pg_b64_enc_len(len);
    if (len < 0 || needed < 0 || needed > dstlen)
        return -1;
    const auto* in = reinterpret_cast<const unsigned char*>(src);
    int out = 0;
    int i = 0;
    for (; i + 3 <= len; i += 3) {
        std::uint32_t group = (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8) | in[i + 2];
        dst[out++] = kAlphabet[(group >> 18) & 0x3f];
        dst[out++] = kAlphabet[(group >> 12) & 0x3f];
        dst[out++] = kAlphabet[(group >> 6) & 0x3f];
        dst[out++] = kAlphabet[group & 0x3f];
    }
    if (i < len) {
        std::uint32_t group = std::uint32_t{in[i]} << 16;
        if (i + 1 < len)
            group |= std::uint32_t{in[i + 1]} << 8;
        dst[out++] = kAlphabet[(group >> 18) & 0x3f];
        dst[out++] = kAlphabet[(group >> 12) & 0x3f];
        dst[out++] = i + 1 < len ? kAlphabet[(group >> 6) & 0x3f] : '=';
        dst[out++] = '=';
    }
    return out;
}

int pg_b64_decode(const char* src, int len, char* dst, int dstlen) {
    if (len < 0 || len % 4 != 0)
        return -1;
    const auto* in = reinterpret_cast<const unsigned char*>(src);
    int out = 0;
    for (int i = 0; i < len; i += 4) {
        bool last_group = i + 4 == len;
        int sextets[4];
        int padding = 0;
        for (int j = 0; j < 4; j++) {
            unsigned char c = in[i + j];
            if (c == '=') {
                // Padding only in the third and fourth places of the last group,
                // and once begun it runs to the end.
                if (!last_group || j < 2)
                    return -1;
                padding++;
                sextets[j] = 0;
                continue;
            }
            if (padding > 0)
                return -1;
            sextets[j] = SextetOf(c);
            if (sextets[j] < 0)
                return -1;
        }
        std::uint32_t group = (static_cast<std::uint32_t>(sextets[0]) << 18) |
                              (static_cast<std::uint32_t>(sextets[1]) << 12) |
                              (static_cast<std::uint32_t>(sextets[2]) << 6) | static_cast<std::uint32_t>(sextets[3]);
        int bytes = 3 - padding;
        if (out + bytes > dstlen)
            return -1;
        dst[out++] = static_cast<char>(group >> 16);
        if (bytes > 1)
            dst[out++] = static_cast<char>(group >> 8);
        if (bytes > 2)
            dst[out++] = static_cast<char>(group);
    }
    return out;
}
