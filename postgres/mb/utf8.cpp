// UTF-8: encoding and decoding of code points, the legality of one sequence,
// and the display width of a code point. SASLprep and the UTF8 row of the
// encoding rules build on these.
#include "postgres/mb/encoding.h"
#include "postgres/mb/unicode_width_table.h"

namespace {

constexpr pg_wchar kNotDecodable = 0xFFFFFFFF;

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

bool InRanges(pg_wchar ucs, const mbinterval* table, unsigned int size) {
    if (size == 0 || ucs < table[0].first || ucs > table[size - 1].last) {
        return false;
    }
    unsigned int low = 0;
    unsigned int high = size;
    while (low < high) {
        unsigned int middle = low + (high - low) / 2;
        if (ucs > table[middle].last) {
            low = middle + 1;
        } else if (ucs < table[middle].first) {
            high = middle;
        } else {
            return true;
        }
    }
    return false;
}

}  // namespace

unsigned char* unicode_to_utf8(pg_wchar c, unsigned char* utf8string) {
    if (c <= 0x7F) {
        utf8string[0] = static_cast<unsigned char>(c);
    } else if (c <= 0x7FF) {
        utf8string[0] = static_cast<unsigned char>(0xC0 | ((c >> 6) & 0x1F));
        utf8string[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else if (c <= 0xFFFF) {
        utf8string[0] = static_cast<unsigned char>(0xE0 | ((c >> 12) & 0x0F));
        utf8string[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
        utf8string[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else {
        utf8string[0] = static_cast<unsigned char>(0xF0 | ((c >> 18) & 0x07));
        utf8string[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
        utf8string[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
        utf8string[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    }
    return utf8string;
}

pg_wchar utf8_to_unicode(const unsigned char* c) {
    int length = pg_utf_mblen(c);
    if (length == 1) {
        return c[0] < 0x80 ? c[0] : kNotDecodable;
    }
    // Checking each continuation byte before reading the next keeps the read
    // inside a NUL-terminated text whose last character is cut short.
    pg_wchar code = c[0] & (0xFF >> (length + 1));
    for (int i = 1; i < length; ++i) {
        if (!IsContinuation(c[i])) {
            return kNotDecodable;
        }
        code = (code << 6) | (c[i] & 0x3F);
    }
    return code;
}

int pg_utf_mblen(const unsigned char* s) {
    if ((*s & 0x80) == 0) {
        return 1;
    }
    if ((*s & 0xE0) == 0xC0) {
        return 2;
    }
    if ((*s & 0xF0) == 0xE0) {
        return 3;
    }
    if ((*s & 0xF8) == 0xF0) {
        return 4;
    }
    return 1;
}

bool pg_utf8_islegal(const unsigned char* source, int length) {
    if (length < 1 || length > 4) {
        return false;
    }
    const unsigned char lead = source[0];
    if (length == 1) {
        return lead < 0x80;
    }
    for (int i = 1; i < length; ++i) {
        if (!IsContinuation(source[i])) {
            return false;
        }
    }
    // The second byte's range depends on the lead byte: this is where overlong
    // forms, surrogates and code points above U+10FFFF are excluded.
    const unsigned char second = source[1];
    switch (length) {
        case 2:
            return lead >= 0xC2 && lead <= 0xDF;
        case 3:
            if (lead == 0xE0) {
                return second >= 0xA0;
            }
            if (lead == 0xED) {
                return second <= 0x9F;
            }
            return lead >= 0xE1 && lead <= 0xEF;
        default:
            if (lead == 0xF0) {
                return second >= 0x90;
            }
            if (lead == 0xF4) {
                return second <= 0x8F;
            }
            return lead >= 0xF1 && lead <= 0xF3;
    }
}

int ucs_wcwidth(pg_wchar ucs) {
    if (ucs == 0) {
        return 0;
    }
    if (ucs < 0x20 || (ucs >= 0x7F && ucs < 0xA0) || ucs > 0x0010FFFF) {
        return -1;
    }
    if (InRanges(ucs, unicode_zero_width_ranges, unicode_zero_width_ranges_size)) {
        return 0;
    }
    if (InRanges(ucs, unicode_wide_ranges, unicode_wide_ranges_size)) {
        return 2;
    }
    return 1;
}
