// Character encodings known to the wire-protocol client: their identifiers and
// names, and the per-encoding rules for the length, display width and validity
// of one character. The connection code records the encoding the server
// reports, the error-cursor display steps through query texts with these
// rules, and SASLprep uses the UTF-8 routines.
#pragma once

#include <cstddef>

// A 32-bit code value of one character (a Unicode code point for UTF8; the
// packed bytes of the character for the other multi-byte encodings).
typedef unsigned int pg_wchar;

// Encoding identifiers: 0 to PG_ENCODING_BE_LAST are server encodings, the
// rest up to _PG_LAST_ENCODING_ - 1 are understood by clients only.
typedef enum pg_enc {
    PG_SQL_ASCII = 0,
    PG_EUC_JP,
    PG_EUC_CN,
    PG_EUC_KR,
    PG_EUC_TW,
    PG_EUC_JIS_2004,
    PG_UTF8,
    PG_MULE_INTERNAL,
    PG_LATIN1,
    PG_LATIN2,
    PG_LATIN3,
    PG_LATIN4,
    PG_LATIN5,
    PG_LATIN6,
    PG_LATIN7,
    PG_LATIN8,
    PG_LATIN9,
    PG_LATIN10,
    PG_WIN1256,
    PG_WIN1258,
    PG_WIN866,
    PG_WIN874,
    PG_KOI8R,
    PG_WIN1251,
    PG_WIN1252,
    PG_ISO_8859_5,
    PG_ISO_8859_6,
    PG_ISO_8859_7,
    PG_ISO_8859_8,
    PG_WIN1250,
    PG_WIN1253,
    PG_WIN1254,
    PG_WIN1255,
    PG_WIN1257,
    PG_KOI8U,
    // Client-only encodings from here on.
    PG_SJIS,
    PG_BIG5,
    PG_GBK,
    PG_UHC,
    PG_GB18030,
    PG_JOHAB,
    PG_SHIFT_JIS_2004,
    _PG_LAST_ENCODING_
} pg_enc;

#define PG_ENCODING_BE_LAST PG_KOI8U
#define PG_VALID_BE_ENCODING(_enc) ((_enc) >= 0 && (_enc) <= PG_ENCODING_BE_LAST)
#define PG_VALID_FE_ENCODING(_enc) ((_enc) >= 0 && (_enc) < _PG_LAST_ENCODING_)
#define PG_VALID_ENCODING(_enc) PG_VALID_FE_ENCODING(_enc)

// The longest character of any encoding, in bytes.
#define MAX_MULTIBYTE_CHAR_LEN 4

// Names of 64 bytes or more are refused outright by pg_char_to_encoding.
#define PG_ENCODING_NAME_MAX 64

// One alias of the name look-up table: a lower-case name of letters and digits.
typedef struct pg_encname {
    const char* name;
    pg_enc encoding;
} pg_encname;

// The 81 aliases in strcmp order, searched by binary search.
extern const pg_encname pg_encname_tbl[];
extern const unsigned int pg_encname_tbl_sz;

// The canonical name of every identifier, indexed by identifier.
typedef struct pg_enc2name {
    const char* name;
    pg_enc encoding;
} pg_enc2name;

extern const pg_enc2name pg_enc2name_tbl[];

// The rules of one encoding. The conversions to and from code values exist only
// for the server encodings and are null for the client-only ones.
typedef int (*mb2wchar_with_len_converter)(const unsigned char* from, pg_wchar* to, int len);
typedef int (*wchar2mb_with_len_converter)(const pg_wchar* from, unsigned char* to, int len);
typedef int (*mblen_converter)(const unsigned char* mbstr);
typedef int (*mbdisplaylen_converter)(const unsigned char* mbstr);
typedef int (*mbverifier)(const unsigned char* mbstr, int len);

typedef struct pg_wchar_tbl {
    mb2wchar_with_len_converter mb2wchar_with_len;
    wchar2mb_with_len_converter wchar2mb_with_len;
    mblen_converter mblen;
    mbdisplaylen_converter dsplen;
    mbverifier mbverify;
    int maxmblen;
} pg_wchar_tbl;

// One row per identifier, indexed by identifier.
extern const pg_wchar_tbl pg_wchar_table[];

// Name look-up: letters and digits of the name, lower-cased, searched among the
// aliases. -1 for a null, empty, unknown or too long name.
int pg_char_to_encoding(const char* name);
// The canonical name; "" for an invalid identifier.
const char* pg_encoding_to_char(int encoding);
// The identifier of a client (0 to 41) or server (0 to 34) encoding, else -1.
int pg_valid_client_encoding(const char* name);
int pg_valid_server_encoding(const char* name);
bool pg_valid_server_encoding_id(int encoding);

// Length in bytes of the character that begins at mbstr, judged by its first
// bytes (GB18030 looks at the second). An invalid identifier counts one byte.
// The result can exceed the bytes that follow: over untrusted text step with
// pg_encoding_mblen_bounded instead.
int pg_encoding_mblen(int encoding, const char* mbstr);
// Display columns of the character at mbstr: 0, 1, 2, or -1 for a control
// character. An invalid identifier uses the ASCII rule.
int pg_encoding_dsplen(int encoding, const char* mbstr);
// Length of the valid character that begins at mbstr within len bytes, or -1.
int pg_encoding_verifymb(int encoding, const char* mbstr, int len);
// Bytes of the longest character of the encoding (1 for an invalid identifier).
int pg_encoding_max_length(int encoding);

// The same steps over a text of which only bytes_left bytes may be read: never
// reads past them and never reports a character longer than them. The length is
// 0 only when bytes_left is 0; a character cut short by the end of the text has
// display width -1.
int pg_encoding_mblen_bounded(int encoding, const char* mbstr, size_t bytes_left);
int pg_encoding_dsplen_bounded(int encoding, const char* mbstr, size_t bytes_left);

// UTF-8. unicode_to_utf8 writes 1 to 4 bytes and returns utf8string.
unsigned char* unicode_to_utf8(pg_wchar c, unsigned char* utf8string);
// The code point of the sequence at c, or 0xFFFFFFFF when its lead byte is not
// a lead byte or a continuation byte is missing; reads no further than the
// first byte that is not a continuation byte, so a NUL ends the read.
pg_wchar utf8_to_unicode(const unsigned char* c);
// Length announced by a lead byte: 1 to 4, and 1 for any other byte.
int pg_utf_mblen(const unsigned char* s);
// Whether the length bytes at source are exactly one well-formed character (no
// overlong form, no surrogate, nothing above U+10FFFF).
bool pg_utf8_islegal(const unsigned char* source, int length);
// Display columns of a code point (the UTF8 width rule).
int ucs_wcwidth(pg_wchar ucs);
