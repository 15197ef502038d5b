// The text form of a numeric IPv4 or IPv6 address with an optional prefix
// length, as the connect-failure hint shows it.
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "postgres/port/portability.h"

namespace {

// Long enough for "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255/128".
constexpr size_t kLongestText = 64;

size_t FormatIpv4(const unsigned char* a, char* out) {
    return static_cast<size_t>(snprintf(out, kLongestText, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]));
}

size_t FormatIpv6(const unsigned char* a, char* out) {
    unsigned int groups[8];
    for (int i = 0; i < 8; ++i) {
        groups[i] = (static_cast<unsigned int>(a[2 * i]) << 8) | a[2 * i + 1];
    }
    // The first longest run of two or more zero groups becomes "::".
    int best_start = -1;
    int best_length = 0;
    for (int i = 0; i < 8;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        int start = i;
        while (i < 8 && groups[i] == 0) {
            ++i;
        }
        if (i - start > best_length) {
            best_start = start;
            best_length = i - start;
        }
    }
    if (best_length < 2) {
        best_start = -1;
        best_length = 0;
    }
    // IPv4-compatible (::a.b.c.d) and IPv4-mapped (::ffff:a.b.c.d) addresses
    // keep their last 32 bits in dotted form.
    bool dotted_tail = best_start == 0 && (best_length == 6 || (best_length == 5 && groups[5] == 0xFFFF));

    char* p = out;
    for (int i = 0; i < 8; ++i) {
        if (i == best_start) {
            *p++ = ':';
            if (i + best_length == 8) {
                *p++ = ':';
            }
            i += best_length - 1;
            continue;
        }
        if (i != 0) {
            *p++ = ':';
        }
        if (i == 6 && dotted_tail) {
            p += FormatIpv4(a + 12, p);
            break;
        }
        p += snprintf(p, 5, "%x", groups[i]);
    }
    *p = '\0';
    return static_cast<size_t>(p - out);
}

}  // namespace

extern "C" char* inet_net_ntop(int af, const void* src, int bits, char* dst, size_t size) noexcept {
    char text[kLongestText];
    size_t length;
    int width;
    if (af == AF_INET) {
        width = 32;
        length = FormatIpv4(static_cast<const unsigned char*>(src), text);
    } else if (af == AF_INET6) {
        width = 128;
        length = FormatIpv6(static_cast<const unsigned char*>(src), text);
    } else {
        errno = EAFNOSUPPORT;
        return nullptr;
    }
    if (bits < 0 || bits > width) {
        errno = EINVAL;
        return nullptr;
    }
    if (bits < width) {
        length +=
            static_cast<size_t>(snprintf(text + length, sizeof(text) - length, "/%u", static_cast<unsigned>(bits)));
    }
    if (length + 1 > size) {
        errno = EMSGSIZE;
        return nullptr;
    }
    memcpy(dst, text, length + 1);
    return dst;
}
