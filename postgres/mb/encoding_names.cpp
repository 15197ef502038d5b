// Encoding names: the alias table that pg_char_to_encoding searches, the
// canonical name of every identifier, and the validity checks built on them.
#include "postgres/mb/encoding.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// Kept in strcmp order: pg_char_to_encoding searches it by bisection.
const pg_encname pg_encname_tbl[] = {
    {"abc", PG_WIN1258},
    {"alt", PG_WIN866},
    {"big5", PG_BIG5},
    {"euccn", PG_EUC_CN},
    {"eucjis2004", PG_EUC_JIS_2004},
    {"eucjp", PG_EUC_JP},
    {"euckr", PG_EUC_KR},
    {"euctw", PG_EUC_TW},
    {"gb18030", PG_GB18030},
    {"gbk", PG_GBK},
    {"iso88591", PG_LATIN1},
    {"iso885910", PG_LATIN6},
    {"iso885913", PG_LATIN7},
    {"iso885914", PG_LATIN8},
    {"iso885915", PG_LATIN9},
    {"iso885916", PG_LATIN10},
    {"iso88592", PG_LATIN2},
    {"iso88593", PG_LATIN3},
    {"iso88594", PG_LATIN4},
    {"iso88595", PG_ISO_8859_5},
    {"iso88596", PG_ISO_8859_6},
    {"iso88597", PG_ISO_8859_7},
    {"iso88598", PG_ISO_8859_8},
    {"iso88599", PG_LATIN5},
    {"johab", PG_JOHAB},
    {"koi8", PG_KOI8R},
    {"koi8r", PG_KOI8R},
    {"koi8u", PG_KOI8U},
    {"latin1", PG_LATIN1},
    {"latin10", PG_LATIN10},
    {"latin2", PG_LATIN2},
    {"latin3", PG_LATIN3},
    {"latin4", PG_LATIN4},
    {"latin5", PG_LATIN5},
    {"latin6", PG_LATIN6},
    {"latin7", PG_LATIN7},
    {"latin8", PG_LATIN8},
    {"latin9", PG_LATIN9},
    {"mskanji", PG_SJIS},
    {"muleinternal", PG_MULE_INTERNAL},
    {"shiftjis", PG_SJIS},
    {"shiftjis2004", PG_SHIFT_JIS_2004},
    {"sjis", PG_SJIS},
    {"sqlascii", PG_SQL_ASCII},
    {"tcvn", PG_WIN1258},
    {"tcvn5712", PG_WIN1258},
    {"uhc", PG_UHC},
    {"unicode", PG_UTF8},
    {"utf8", PG_UTF8},
    {"vscii", PG_WIN1258},
    {"win", PG_WIN1251},
    {"win1250", PG_WIN1250},
    {"win1251", PG_WIN1251},
    {"win1252", PG_WIN1252},
    {"win1253", PG_WIN1253},
    {"win1254", PG_WIN1254},
    {"win1255", PG_WIN1255},
    {"win1256", PG_WIN1256},
    {"win1257", PG_WIN1257},
    {"win1258", PG_WIN1258},
    {"win866", PG_WIN866},
    {"win874", PG_WIN874},
    {"win932", PG_SJIS},
    {"win936", PG_GBK},
    {"win949", PG_UHC},
    {"win950", PG_BIG5},
    {"windows1250", PG_WIN1250},
    {"windows1251", PG_WIN1251},
    {"windows1252", PG_WIN1252},
    {"windows1253", PG_WIN1253},
    {"windows1254", PG_WIN1254},
    {"windows1255", PG_WIN1255},
    {"windows1256", PG_WIN1256},
    {"windows1257", PG_WIN1257},
    {"windows1258", PG_WIN1258},
    {"windows866", PG_WIN866},
    {"windows874", PG_WIN874},
    {"windows932", PG_SJIS},
    {"windows936", PG_GBK},
    {"windows949", PG_UHC},
    {"windows950", PG_BIG5},
};

const unsigned int pg_encname_tbl_sz = sizeof(pg_encname_tbl) / sizeof(pg_encname_tbl[0]);

const pg_enc2name pg_enc2name_tbl[] = {
    {"SQL_ASCII", PG_SQL_ASCII},
    {"EUC_JP", PG_EUC_JP},
    {"EUC_CN", PG_EUC_CN},
    {"EUC_KR", PG_EUC_KR},
    {"EUC_TW", PG_EUC_TW},
    {"EUC_JIS_2004", PG_EUC_JIS_2004},
    {"UTF8", PG_UTF8},
    {"MULE_INTERNAL", PG_MULE_INTERNAL},
    {"LATIN1", PG_LATIN1},
    {"LATIN2", PG_LATIN2},
    {"LATIN3", PG_LATIN3},
    {"LATIN4", PG_LATIN4},
    {"LATIN5", PG_LATIN5},
    {"LATIN6", PG_LATIN6},
    {"LATIN7", PG_LATIN7},
    {"LATIN8", PG_LATIN8},
    {"LATIN9", PG_LATIN9},
    {"LATIN10", PG_LATIN10},
    {"WIN1256", PG_WIN1256},
    {"WIN1258", PG_WIN1258},
    {"WIN866", PG_WIN866},
    {"WIN874", PG_WIN874},
    {"KOI8R", PG_KOI8R},
    {"WIN1251", PG_WIN1251},
    {"WIN1252", PG_WIN1252},
    {"ISO_8859_5", PG_ISO_8859_5},
    {"ISO_8859_6", PG_ISO_8859_6},
    {"ISO_8859_7", PG_ISO_8859_7},
    {"ISO_8859_8", PG_ISO_8859_8},
    {"WIN1250", PG_WIN1250},
    {"WIN1253", PG_WIN1253},
    {"WIN1254", PG_WIN1254},
    {"WIN1255", PG_WIN1255},
    {"WIN1257", PG_WIN1257},
    {"KOI8U", PG_KOI8U},
    {"SJIS", PG_SJIS},
    {"BIG5", PG_BIG5},
    {"GBK", PG_GBK},
    {"UHC", PG_UHC},
    {"GB18030", PG_GB18030},
    {"JOHAB", PG_JOHAB},
    {"SHIFT_JIS_2004", PG_SHIFT_JIS_2004},
};

static_assert(sizeof(pg_enc2name_tbl) / sizeof(pg_enc2name_tbl[0]) == _PG_LAST_ENCODING_,
              "one canonical name per identifier");

namespace {

// "UTF-8", "utf_8" and "Utf8" all name the same encoding: only letters and
// digits count, without regard to case. out has room for PG_ENCODING_NAME_MAX.
void CleanEncodingName(const char* name, char* out) {
    char* p = out;
    for (; *name != '\0'; ++name) {
        unsigned char c = static_cast<unsigned char>(*name);
        if (c >= 'A' && c <= 'Z') {
            *p++ = static_cast<char>(c + ('a' - 'A'));
        } else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
            *p++ = static_cast<char>(c);
        }
    }
    *p = '\0';
}

}  // namespace

int pg_char_to_encoding(const char* name) {
    if (name == nullptr || *name == '\0') {
        return -1;
    }
    if (strlen(name) >= PG_ENCODING_NAME_MAX) {
        fprintf(stderr, "encoding name too long\n");
        return -1;
    }
    char key[PG_ENCODING_NAME_MAX];
    CleanEncodingName(name, key);

    unsigned int low = 0;
    unsigned int high = pg_encname_tbl_sz;
    while (low < high) {
        unsigned int middle = low + (high - low) / 2;
        int order = strcmp(key, pg_encname_tbl[middle].name);
        if (order == 0) {
            return pg_encname_tbl[middle].encoding;
        }
        if (order < 0) {
            high = middle;
        } else {
            low = middle + 1;
        }
    }
    return -1;
}

const char* pg_encoding_to_char(int encoding) {
    if (!PG_VALID_ENCODING(encoding)) {
        return "";
    }
    return pg_enc2name_tbl[encoding].name;
}

int pg_valid_client_encoding(const char* name) {
    int encoding = pg_char_to_encoding(name);
    return PG_VALID_FE_ENCODING(encoding) ? encoding : -1;
}

int pg_valid_server_encoding(const char* name) {
    int encoding = pg_char_to_encoding(name);
    return PG_VALID_BE_ENCODING(encoding) ? encoding : -1;
}

bool pg_valid_server_encoding_id(int encoding) { return PG_VALID_BE_ENCODING(encoding); }
