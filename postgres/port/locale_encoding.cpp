// The encoding of a locale, found from its code set: what client_encoding
// "auto" resolves to.
#include <langinfo.h>
#include <locale.h>

#include <cstdio>
#include <string>

#include "postgres/mb/encoding.h"
#include "postgres/port/portability.h"

// Searched in this order; several systems spell one code set differently.
const pg_codeset_encoding pg_codeset_encoding_tbl[] = {
    {"EUC-JP", PG_EUC_JP},
    {"eucJP", PG_EUC_JP},
    {"IBM-eucJP", PG_EUC_JP},
    {"sdeckanji", PG_EUC_JP},
    {"CP20932", PG_EUC_JP},

    {"EUC-CN", PG_EUC_CN},
    {"eucCN", PG_EUC_CN},
    {"IBM-eucCN", PG_EUC_CN},
    {"GB2312", PG_EUC_CN},
    {"dechanzi", PG_EUC_CN},
    {"CP20936", PG_EUC_CN},

    {"EUC-KR", PG_EUC_KR},
    {"eucKR", PG_EUC_KR},
    {"IBM-eucKR", PG_EUC_KR},
    {"deckorean", PG_EUC_KR},
    {"5601", PG_EUC_KR},
    {"CP51949", PG_EUC_KR},

    {"EUC-TW", PG_EUC_TW},
    {"eucTW", PG_EUC_TW},
    {"IBM-eucTW", PG_EUC_TW},
    {"cns11643", PG_EUC_TW},

    {"UTF-8", PG_UTF8},
    {"utf8", PG_UTF8},
    {"CP65001", PG_UTF8},

    {"ISO-8859-1", PG_LATIN1},
    {"ISO8859-1", PG_LATIN1},
    {"iso88591", PG_LATIN1},
    {"CP28591", PG_LATIN1},
    {"ISO-8859-2", PG_LATIN2},
    {"ISO8859-2", PG_LATIN2},
    {"iso88592", PG_LATIN2},
    {"CP28592", PG_LATIN2},
    {"ISO-8859-3", PG_LATIN3},
    {"ISO8859-3", PG_LATIN3},
    {"iso88593", PG_LATIN3},
    {"CP28593", PG_LATIN3},
    {"ISO-8859-4", PG_LATIN4},
    {"ISO8859-4", PG_LATIN4},
    {"iso88594", PG_LATIN4},
    {"CP28594", PG_LATIN4},
    {"ISO-8859-9", PG_LATIN5},
    {"ISO8859-9", PG_LATIN5},
    {"iso88599", PG_LATIN5},
    {"CP28599", PG_LATIN5},
    {"ISO-8859-10", PG_LATIN6},
    {"ISO8859-10", PG_LATIN6},
    {"iso885910", PG_LATIN6},
    {"ISO-8859-13", PG_LATIN7},
    {"ISO8859-13", PG_LATIN7},
    {"iso885913", PG_LATIN7},
    {"ISO-8859-14", PG_LATIN8},
    {"ISO8859-14", PG_LATIN8},
    {"iso885914", PG_LATIN8},
    {"ISO-8859-15", PG_LATIN9},
    {"ISO8859-15", PG_LATIN9},
    {"iso885915", PG_LATIN9},
    {"CP28605", PG_LATIN9},
    {"ISO-8859-16", PG_LATIN10},
    {"ISO8859-16", PG_LATIN10},
    {"iso885916", PG_LATIN10},

    {"KOI8-R", PG_KOI8R},
    {"CP20866", PG_KOI8R},
    {"KOI8-U", PG_KOI8U},
    {"CP21866", PG_KOI8U},

    {"CP866", PG_WIN866},
    {"CP874", PG_WIN874},
    {"CP1250", PG_WIN1250},
    {"CP1251", PG_WIN1251},
    {"ansi-1251", PG_WIN1251},
    {"CP1252", PG_WIN1252},
    {"CP1253", PG_WIN1253},
    {"CP1254", PG_WIN1254},
    {"CP1255", PG_WIN1255},
    {"CP1256", PG_WIN1256},
    {"CP1257", PG_WIN1257},
    {"CP1258", PG_WIN1258},

    {"ISO-8859-5", PG_ISO_8859_5},
    {"ISO8859-5", PG_ISO_8859_5},
    {"iso88595", PG_ISO_8859_5},
    {"CP28595", PG_ISO_8859_5},
    {"ISO-8859-6", PG_ISO_8859_6},
    {"ISO8859-6", PG_ISO_8859_6},
    {"iso88596", PG_ISO_8859_6},
    {"CP28596", PG_ISO_8859_6},
    {"ISO-8859-7", PG_ISO_8859_7},
    {"ISO8859-7", PG_ISO_8859_7},
    {"iso88597", PG_ISO_8859_7},
    {"CP28597", PG_ISO_8859_7},
    {"ISO-8859-8", PG_ISO_8859_8},
    {"ISO8859-8", PG_ISO_8859_8},
    {"iso88598", PG_ISO_8859_8},
    {"CP28598", PG_ISO_8859_8},

    {"SJIS", PG_SJIS},
    {"PCK", PG_SJIS},
    {"CP932", PG_SJIS},
    {"SHIFT_JIS", PG_SJIS},
    {"BIG5", PG_BIG5},
    {"BIG5HKSCS", PG_BIG5},
    {"Big5-HKSCS", PG_BIG5},
    {"CP950", PG_BIG5},
    {"GBK", PG_GBK},
    {"CP936", PG_GBK},
    {"UHC", PG_UHC},
    {"CP949", PG_UHC},
    {"JOHAB", PG_JOHAB},
    {"CP1361", PG_JOHAB},
    {"GB18030", PG_GB18030},
    {"CP54936", PG_GB18030},
    {"SJIS_2004", PG_SHIFT_JIS_2004},
    {"US-ASCII", PG_SQL_ASCII},
};

const unsigned int pg_codeset_encoding_tbl_sz = sizeof(pg_codeset_encoding_tbl) / sizeof(pg_codeset_encoding_tbl[0]);

namespace {

bool IsPlainLocale(const char* ctype) { return pg_strcasecmp(ctype, "C") == 0 || pg_strcasecmp(ctype, "POSIX") == 0; }

// The code set of a named locale. Asked through a locale object of its own
// rather than by switching the process's locale back and forth, which would
// change it under every other thread for a moment.
bool CodesetOfLocale(const char* ctype, std::string& codeset) {
    locale_t locale = newlocale(LC_CTYPE_MASK, ctype, static_cast<locale_t>(0));
    if (locale == static_cast<locale_t>(0)) {
        return false;
    }
    const char* name = nl_langinfo_l(CODESET, locale);
    bool found = name != nullptr;
    if (found) {
        codeset = name;
    }
    freelocale(locale);
    return found;
}

}  // namespace

int pg_encoding_from_codeset(const char* ctype, const char* codeset, bool write_message) {
    for (unsigned int i = 0; i < pg_codeset_encoding_tbl_sz; ++i) {
        if (pg_strcasecmp(codeset, pg_codeset_encoding_tbl[i].codeset) == 0) {
            return pg_codeset_encoding_tbl[i].encoding;
        }
    }
    if (write_message) {
        fprintf(stderr, "could not determine encoding for locale \"%s\": codeset is \"%s\"\n", ctype, codeset);
    }
    return -1;
}

int pg_get_encoding_from_locale(const char* ctype, bool write_message) {
    std::string codeset;
    std::string locale_name;
    if (ctype != nullptr) {
        if (IsPlainLocale(ctype)) {
            return PG_SQL_ASCII;
        }
        if (!CodesetOfLocale(ctype, codeset)) {
            return -1;
        }
        locale_name = ctype;
    } else {
        const char* current = setlocale(LC_CTYPE, nullptr);
        if (current == nullptr) {
            return -1;
        }
        // Copied at once: the text belongs to the C library and changes with
        // the next setlocale.
        locale_name = current;
        if (IsPlainLocale(locale_name.c_str())) {
            return PG_SQL_ASCII;
        }
        const char* name = nl_langinfo(CODESET);
        if (name == nullptr) {
            return -1;
        }
        codeset = name;
    }
    return pg_encoding_from_codeset(locale_name.c_str(), codeset.c_str(), write_message);
}
