// Conversions between the bytes of a server encoding and 32-bit code values,
// the first two columns of pg_wchar_table.
//
// mb2wchar: converts at most len bytes, stopping at a NUL or at a character
// cut short by len; writes a terminating 0 and returns the code values made
// (to needs room for len + 1). wchar2mb: converts at most len code values,
// stopping at a 0; writes a terminating NUL and returns the bytes made (to
// needs room for len * MAX_MULTIBYTE_CHAR_LEN + 1).
#pragma once

#include "postgres/mb/encoding.h"

// SQL_ASCII and the single-byte encodings: the byte is the code value.
int pg_single2wchar_with_len(const unsigned char* from, pg_wchar* to, int len);
int pg_wchar2single_with_len(const pg_wchar* from, unsigned char* to, int len);

// UTF8: code points. A byte that starts no complete sequence stands for itself.
int pg_utf2wchar_with_len(const unsigned char* from, pg_wchar* to, int len);
int pg_wchar2utf_with_len(const pg_wchar* from, unsigned char* to, int len);

// The EUC encodings and MULE_INTERNAL: the bytes of a character packed
// big-endian (EUC_JP "\x8f\xa1\xa1" is 0x8FA1A1). Every multi-byte character
// starts with a byte above 0x7F, so the packing can be undone.
template <int (*mblen)(const unsigned char*)>
int pg_packed2wchar_with_len(const unsigned char* from, pg_wchar* to, int len) {
    int count = 0;
    while (len > 0 && *from != '\0') {
        int length = mblen(from);
        if (length > len) {
            break;
        }
        pg_wchar code = 0;
        for (int i = 0; i < length; ++i) {
            code = (code << 8) | from[i];
        }
        *to++ = code;
        from += length;
        len -= length;
        ++count;
    }
    *to = 0;
    return count;
}

int pg_wchar2packed_with_len(const pg_wchar* from, unsigned char* to, int len);
