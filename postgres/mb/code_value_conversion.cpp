// Conversions between encoded bytes and 32-bit code values; see the header for
// the conventions they share.
#include "postgres/mb/code_value_conversion.h"

int pg_single2wchar_with_len(const unsigned char* from, pg_wchar* to, int len) {
    int count = 0;
    while (len > 0 && *from != '\0') {
        *to++ = *from++;
        --len;
        ++count;
    }
    *to = 0;
    return count;
}

int pg_wchar2single_with_len(const pg_wchar* from, unsigned char* to, int len) {
    int count = 0;
    while (len > 0 && *from != 0) {
        *to++ = static_cast<unsigned char>(*from++);
        --len;
        ++count;
    }
    *to = '\0';
    return count;
}

int pg_utf2wchar_with_len(const unsigned char* from, pg_wchar* to, int len) {
    int count = 0;
    while (len > 0 && *from != '\0') {
        int length = pg_utf_mblen(from);
        pg_wchar code = length <= len ? utf8_to_unicode(from) : 0xFFFFFFFF;
        if (length == 1 || code == 0xFFFFFFFF) {
            if (length > len && length > 1) {
                // A sequence cut short by len ends the conversion.
                break;
            }
            code = *from;
            length = 1;
        }
        *to++ = code;
        from += length;
        len -= length;
        ++count;
    }
    *to = 0;
    return count;
}

int pg_wchar2utf_with_len(const pg_wchar* from, unsigned char* to, int len) {
    int count = 0;
    while (len > 0 && *from != 0) {
        unicode_to_utf8(*from++, to);
        int length = pg_utf_mblen(to);
        to += length;
        count += length;
        --len;
    }
    *to = '\0';
    return count;
}

int pg_wchar2packed_with_len(const pg_wchar* from, unsigned char* to, int len) {
    int count = 0;
    while (len > 0 && *from != 0) {
        pg_wchar code = *from++;
        int shift = code > 0xFFFFFF ? 24 : code > 0xFFFF ? 16 : code > 0xFF ? 8 : 0;
        for (; shift >= 0; shift -= 8) {
            *to++ = static_cast<unsigned char>(code >> shift);
            ++count;
        }
        --len;
    }
    *to = '\0';
    return count;
}
