// The per-encoding rules for one character: its length from the first bytes,
// its display width and its validity, gathered in pg_wchar_table, and the
// pg_encoding_* functions that pick a row by identifier. The byte ranges are
// those of each encoding's published standard.
#include <algorithm>
#include <cstring>

#include "postgres/mb/code_value_conversion.h"
#include "postgres/mb/encoding.h"

namespace {

bool HighBit(unsigned char c) { return (c & 0x80) != 0; }

bool InRange(unsigned char c, unsigned char first, unsigned char last) { return c >= first && c <= last; }

// Bytes 0xA1 to 0xFE: the code range of every EUC code set.
bool EucByte(unsigned char c) { return InRange(c, 0xA1, 0xFE); }

constexpr unsigned char kSS2 = 0x8E;
constexpr unsigned char kSS3 = 0x8F;

// ---- Length of a character from its first bytes ----

int ascii_mblen(const unsigned char*) { return 1; }

int utf8_mblen(const unsigned char* s) { return pg_utf_mblen(s); }

// EUC_JP, EUC_JIS_2004 and EUC_KR.
int eucjp_mblen(const unsigned char* s) {
    if (*s == kSS2) {
        return 2;
    }
    if (*s == kSS3) {
        return 3;
    }
    return HighBit(*s) ? 2 : 1;
}

// EUC_CN, BIG5, GBK and UHC: a high bit starts a two-byte character.
int double_byte_mblen(const unsigned char* s) { return HighBit(*s) ? 2 : 1; }

// JOHAB has no single shifts: 0x8E and 0x8F lead two-byte Hangul like every
// byte from 0x84 to 0xD3, so counting them as three-byte EUC shifts would
// swallow the byte after each such character.
int johab_mblen(const unsigned char* s) { return HighBit(*s) ? 2 : 1; }

int euctw_mblen(const unsigned char* s) {
    if (*s == kSS2) {
        return 4;
    }
    if (*s == kSS3) {
        return 3;
    }
    return HighBit(*s) ? 2 : 1;
}

// MULE_INTERNAL leading bytes: official one-byte sets 0x81-0x8D, official
// two-byte sets 0x90-0x99, private one-byte sets behind 0x9A/0x9B and private
// two-byte sets behind 0x9C/0x9D.
int mule_mblen(const unsigned char* s) {
    unsigned char c = *s;
    if (InRange(c, 0x81, 0x8D)) {
        return 2;
    }
    if (c == 0x9A || c == 0x9B || InRange(c, 0x90, 0x99)) {
        return 3;
    }
    if (c == 0x9C || c == 0x9D) {
        return 4;
    }
    return 1;
}

// SJIS and SHIFT_JIS_2004: 0xA1-0xDF are single-byte half-width katakana.
int sjis_mblen(const unsigned char* s) {
    if (*s < 0x80 || InRange(*s, 0xA1, 0xDF)) {
        return 1;
    }
    return 2;
}

// GB18030 tells two-byte from four-byte characters by the second byte.
int gb18030_mblen(const unsigned char* s) {
    if (!HighBit(*s)) {
        return 1;
    }
    return InRange(s[1], 0x30, 0x39) ? 4 : 2;
}

// ---- Display width ----

int ascii_dsplen(const unsigned char* s) {
    if (*s == 0) {
        return 0;
    }
    if (*s < 0x20 || *s == 0x7F) {
        return -1;
    }
    return 1;
}

int utf8_dsplen(const unsigned char* s) { return ucs_wcwidth(utf8_to_unicode(s)); }

// EUC_JP and EUC_JIS_2004: SS2 introduces half-width katakana.
int eucjp_dsplen(const unsigned char* s) {
    if (*s == kSS2) {
        return 1;
    }
    return HighBit(*s) ? 2 : ascii_dsplen(s);
}

// EUC_KR, EUC_TW, JOHAB, EUC_CN, BIG5, GBK, UHC and GB18030.
int double_width_dsplen(const unsigned char* s) { return HighBit(*s) ? 2 : ascii_dsplen(s); }

int sjis_dsplen(const unsigned char* s) {
    if (InRange(*s, 0xA1, 0xDF)) {
        return 1;
    }
    return HighBit(*s) ? 2 : ascii_dsplen(s);
}

int mule_dsplen(const unsigned char* s) {
    unsigned char c = *s;
    if (InRange(c, 0x90, 0x99) || c == 0x9C || c == 0x9D) {
        return 2;
    }
    return 1;
}

// ---- Validity of one character ----

int single_byte_verify(const unsigned char*, int len) { return len >= 1 ? 1 : -1; }

int utf8_verify(const unsigned char* s, int len) {
    if (len < 1) {
        return -1;
    }
    int length = pg_utf_mblen(s);
    if (len < length || !pg_utf8_islegal(s, length)) {
        return -1;
    }
    return length;
}

int eucjp_verify(const unsigned char* s, int len) {
    if (len < 1) {
        return -1;
    }
    unsigned char c = s[0];
    if (c == kSS2) {
        // JIS X 0201 half-width katakana.
        return len >= 2 && InRange(s[1], 0xA1, 0xDF) ? 2 : -1;
    }
    if (c == kSS3) {
        // JIS X 0212 (JIS X 0213 plane 2 in EUC_JIS_2004).
        return len >= 3 && EucByte(s[1]) && EucByte(s[2]) ? 3 : -1;
    }
    if (HighBit(c)) {
        return len >= 2 && EucByte(c) && EucByte(s[1]) ? 2 : -1;
    }
    return 1;
}

// EUC_KR and EUC_CN have one two-byte code set and no single shifts.
int euc_double_byte_verify(const unsigned char* s, int len) {
    if (len < 1) {
        return -1;
    }
    if (HighBit(s[0])) {
        return len >= 2 && EucByte(s[0]) && EucByte(s[1]) ? 2 : -1;
    }
    return 1;
}

int euctw_verify(const unsigned char* s, int len) {
    if (len < 1) {
        return -1;
    }
    unsigned char c = s[0];
    if (c == kSS2) {
        // CNS 11643 plane 1 to 16, then a two-byte character of that plane.
        return len >= 4 && InRange(s[1], 0xA1, 0xB0) && EucByte(s[2]) && EucByte(s[3]) ? 4 : -1;
    }
    if (c == kSS3) {
        return len >= 3 && EucByte(s[1]) && EucByte(s[2]) ? 3 : -1;
    }
    if (HighBit(c)) {
        return len >= 2 && EucByte(c) && EucByte(s[1]) ? 2 : -1;
    }
    return 1;
}

// JOHAB (KS X 1001 annex 3): Hangul leads 0x84-0xD3 with trails 0x41-0x7E and
// 0x81-0xFE; symbol and Hanja leads 0xD8-0xDE and 0xE0-0xF9 with trails
// 0x31-0x7E and 0x91-0xFE.
int johab_verify(const unsigned char* s, int len) {
    if (len < 1) {
        return -1;
    }
    unsigned char c = s[0];
    if (!HighBit(c)) {
        return 1;
    }
    if (len < 2) {
        return -1;
    }
    unsigned char trail = s[1];
    if (InRange(c, 0x84, 0xD3)) {
        return InRange(trail, 0x41, 0x7E) || InRange(trail, 0x81, 0xFE) ? 2 : -1;
    }
    if (InRange(c, 0xD8, 0xDE) || InRange(c, 0xE0, 0xF9)) {
        return InRange(trail, 0x31, 0x7E) || InRange(trail, 0x91, 0xFE) ? 2 : -1;
    }
    return -1;
}

int mule_verify(const unsigned char* s, int len) {
    if (len < 1) {
        return -1;
    }
    int length = mule_mblen(s);
    if (length == 1) {
        // Bytes above 0x7F only ever follow a leading byte.
        return HighBit(s[0]) ? -1 : 1;
    }
    if (len < length) {
        return -1;
    }
    for (int i = 1; i < length; ++i) {
        if (!HighBit(s[i])) {
            return -1;
        }
    }
    return length;
}

int sjis_verify(const unsigned char* s, int len) {
    if (len < 1) {
        return -1;
    }
    unsigned char c = s[0];
    if (c < 0x80 || InRange(c, 0xA1, 0xDF)) {
        return 1;
    }
    if (!(InRange(c, 0x81, 0x9F) || InRange(c, 0xE0, 0xFC)) || len < 2) {
        return -1;
    }
    return InRange(s[1], 0x40, 0x7E) || InRange(s[1], 0x80, 0xFC) ? 2 : -1;
}

// BIG5, GBK, UHC and the two-byte part of GB18030: a byte above 0x7F leads a
// two-byte character when it lies in 0x81-0xFE; the trail ranges differ.
template <bool (*Trail)(unsigned char)>
int lead_81_fe_verify(const unsigned char* s, int len) {
    if (len < 1) {
        return -1;
    }
    if (!HighBit(s[0])) {
        return 1;
    }
    if (len < 2 || !InRange(s[0], 0x81, 0xFE)) {
        return -1;
    }
    return Trail(s[1]) ? 2 : -1;
}

bool big5_trail(unsigned char c) { return InRange(c, 0x40, 0x7E) || InRange(c, 0xA1, 0xFE); }

bool gbk_trail(unsigned char c) { return InRange(c, 0x40, 0x7E) || InRange(c, 0x80, 0xFE); }

bool uhc_trail(unsigned char c) { return InRange(c, 0x41, 0x5A) || InRange(c, 0x61, 0x7A) || InRange(c, 0x81, 0xFE); }

// A digit second byte makes a four-byte character; otherwise GBK's rule.
int gb18030_verify(const unsigned char* s, int len) {
    if (len >= 2 && HighBit(s[0]) && InRange(s[1], 0x30, 0x39)) {
        return InRange(s[0], 0x81, 0xFE) && len >= 4 && InRange(s[2], 0x81, 0xFE) && InRange(s[3], 0x30, 0x39) ? 4 : -1;
    }
    return lead_81_fe_verify<gbk_trail>(s, len);
}

}  // namespace

namespace {

// Conversions of the server encodings: see code_value_conversion.h.
constexpr mb2wchar_with_len_converter kSingleToCodes = pg_single2wchar_with_len;
constexpr wchar2mb_with_len_converter kCodesToSingle = pg_wchar2single_with_len;
constexpr mb2wchar_with_len_converter kUtf8ToCodes = pg_utf2wchar_with_len;
constexpr wchar2mb_with_len_converter kCodesToUtf8 = pg_wchar2utf_with_len;
constexpr mb2wchar_with_len_converter kEucJpToCodes = pg_packed2wchar_with_len<eucjp_mblen>;
constexpr mb2wchar_with_len_converter kEucCnToCodes = pg_packed2wchar_with_len<double_byte_mblen>;
constexpr mb2wchar_with_len_converter kEucTwToCodes = pg_packed2wchar_with_len<euctw_mblen>;
constexpr mb2wchar_with_len_converter kMuleToCodes = pg_packed2wchar_with_len<mule_mblen>;
constexpr wchar2mb_with_len_converter kCodesToPacked = pg_wchar2packed_with_len;

constexpr pg_wchar_tbl kSingleByte = {kSingleToCodes, kCodesToSingle, ascii_mblen, ascii_dsplen, single_byte_verify, 1};

}  // namespace

const pg_wchar_tbl pg_wchar_table[] = {
    kSingleByte,                                                                                         // SQL_ASCII
    {kEucJpToCodes, kCodesToPacked, eucjp_mblen, eucjp_dsplen, eucjp_verify, 3},                         // EUC_JP
    {kEucCnToCodes, kCodesToPacked, double_byte_mblen, double_width_dsplen, euc_double_byte_verify, 2},  // EUC_CN
    {kEucJpToCodes, kCodesToPacked, eucjp_mblen, double_width_dsplen, euc_double_byte_verify, 3},        // EUC_KR
    {kEucTwToCodes, kCodesToPacked, euctw_mblen, double_width_dsplen, euctw_verify, 4},                  // EUC_TW
    {kEucJpToCodes, kCodesToPacked, eucjp_mblen, eucjp_dsplen, eucjp_verify, 3},                         // EUC_JIS_2004
    {kUtf8ToCodes, kCodesToUtf8, utf8_mblen, utf8_dsplen, utf8_verify, 4},                               // UTF8
    {kMuleToCodes, kCodesToPacked, mule_mblen, mule_dsplen, mule_verify, 4},  // MULE_INTERNAL
    kSingleByte,
    kSingleByte,
    kSingleByte,
    kSingleByte,
    kSingleByte,  // LATIN1-LATIN5
    kSingleByte,
    kSingleByte,
    kSingleByte,
    kSingleByte,
    kSingleByte,  // LATIN6-LATIN10
    kSingleByte,
    kSingleByte,
    kSingleByte,
    kSingleByte,  // WIN1256-WIN874
    kSingleByte,
    kSingleByte,
    kSingleByte,  // KOI8R-WIN1252
    kSingleByte,
    kSingleByte,
    kSingleByte,
    kSingleByte,  // ISO_8859_5-8
    kSingleByte,
    kSingleByte,
    kSingleByte,
    kSingleByte,
    kSingleByte,                                                                                   // WIN1250-WIN1257
    kSingleByte,                                                                                   // KOI8U
    {nullptr, nullptr, sjis_mblen, sjis_dsplen, sjis_verify, 2},                                   // SJIS
    {nullptr, nullptr, double_byte_mblen, double_width_dsplen, lead_81_fe_verify<big5_trail>, 2},  // BIG5
    {nullptr, nullptr, double_byte_mblen, double_width_dsplen, lead_81_fe_verify<gbk_trail>, 2},   // GBK
    {nullptr, nullptr, double_byte_mblen, double_width_dsplen, lead_81_fe_verify<uhc_trail>, 2},   // UHC
    {nullptr, nullptr, gb18030_mblen, double_width_dsplen, gb18030_verify, 4},                     // GB18030
    {nullptr, nullptr, johab_mblen, double_width_dsplen, johab_verify, 3},                         // JOHAB
    {nullptr, nullptr, sjis_mblen, sjis_dsplen, sjis_verify, 2},                                   // SHIFT_JIS_2004
};

static_assert(sizeof(pg_wchar_table) / sizeof(pg_wchar_table[0]) == _PG_LAST_ENCODING_,
              "one row of rules per identifier");

namespace {

// Invalid identifiers take the SQL_ASCII row: one byte, one column.
const pg_wchar_tbl& RulesOf(int encoding) {
    return pg_wchar_table[PG_VALID_ENCODING(encoding) ? encoding : PG_SQL_ASCII];
}

const unsigned char* Bytes(const char* s) { return reinterpret_cast<const unsigned char*>(s); }

// The first bytes of a text with fewer than MAX_MULTIBYTE_CHAR_LEN bytes left,
// NUL-padded, so that the rules may look at every byte they want to.
struct PaddedCharacter {
    unsigned char bytes[MAX_MULTIBYTE_CHAR_LEN + 1] = {};
    PaddedCharacter(const char* s, size_t bytes_left) { memcpy(bytes, s, bytes_left); }
};

}  // namespace

int pg_encoding_mblen(int encoding, const char* mbstr) { return RulesOf(encoding).mblen(Bytes(mbstr)); }

int pg_encoding_dsplen(int encoding, const char* mbstr) { return RulesOf(encoding).dsplen(Bytes(mbstr)); }

int pg_encoding_verifymb(int encoding, const char* mbstr, int len) {
    return RulesOf(encoding).mbverify(Bytes(mbstr), len);
}

int pg_encoding_max_length(int encoding) { return RulesOf(encoding).maxmblen; }

int pg_encoding_mblen_bounded(int encoding, const char* mbstr, size_t bytes_left) {
    if (bytes_left == 0) {
        return 0;
    }
    if (bytes_left >= MAX_MULTIBYTE_CHAR_LEN) {
        return pg_encoding_mblen(encoding, mbstr);
    }
    PaddedCharacter padded(mbstr, bytes_left);
    int length = RulesOf(encoding).mblen(padded.bytes);
    return std::min(length, static_cast<int>(bytes_left));
}

int pg_encoding_dsplen_bounded(int encoding, const char* mbstr, size_t bytes_left) {
    if (bytes_left == 0) {
        return 0;
    }
    if (bytes_left >= MAX_MULTIBYTE_CHAR_LEN) {
        return pg_encoding_dsplen(encoding, mbstr);
    }
    PaddedCharacter padded(mbstr, bytes_left);
    const pg_wchar_tbl& rules = RulesOf(encoding);
    if (rules.mblen(padded.bytes) > static_cast<int>(bytes_left)) {
        return -1;
    }
    return rules.dsplen(padded.bytes);
}
