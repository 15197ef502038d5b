// Options from a keyword/value connection string and from the keyword/value
// arrays of PQconnectStartParams. URIs are in conninfo_uri.cpp.
#include "postgres/libpq/conninfo.h"

#include <cctype>
#include <cstring>

#include "error/tagged_text.h"

namespace {

bool IsBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// Stores one keyword/value pair of a connection string. requiressl exists
// only in this syntax, as an old spelling of sslmode.
bool StoreStringSetting(PQconninfoOption* options, const std::string& keyword, const std::string& value,
                        std::string& errorMessage) {
    if (keyword == "requiressl") {
        const char* mode = value.size() > 0 && value[0] == '1' ? "require" : "prefer";
        return pqConninfoStore(options, "sslmode", mode, errorMessage);
    }
    return pqConninfoStore(options, keyword.c_str(), value.c_str(), errorMessage);
}

bool ParseKeywordValueString(const char* text, PQconninfoOption* options, std::string& errorMessage) {
    const char* p = text;
    for (;;) {
        while (*p != '\0' && IsBlank(*p))
            ++p;
        if (*p == '\0')
            return true;

        const char* keyword_start = p;
        while (*p != '\0' && *p != '=' && !IsBlank(*p))
            ++p;
        std::string keyword(keyword_start, p);
        while (*p != '\0' && IsBlank(*p))
            ++p;
        if (*p != '=') {
            errorMessage = kelvoapi::TaggedText()
                               .Sqlstate("22023")
                               .Primary("The connection info string is missing an \"=\" after \"%s\".", keyword.c_str())
                               .c_str();
            return false;
        }
        ++p;
        while (*p != '\0' && IsBlank(*p))
            ++p;

        // A backslash takes the next character literally in both forms.
        std::string value;
        if (*p != '\'') {
            while (*p != '\0' && !IsBlank(*p)) {
                if (*p == '\\' && p[1] != '\0')
                    ++p;
                value += *p++;
            }
        } else {
            ++p;
            for (;;) {
                if (*p == '\0') {
                    errorMessage = kelvoapi::TaggedText()
                                       .Sqlstate("22023")
                                       .Primary("The connection info string contains an unterminated quoted string.")
                                       .c_str();
                    return false;
                }
                if (*p == '\\' && p[1] != '\0') {
                    value += p[1];
                    p += 2;
                    continue;
                }
                if (*p == '\'') {
                    ++p;
                    break;
                }
                value += *p++;
            }
        }
        if (!StoreStringSetting(options, keyword, value, errorMessage))
            return false;
    }
}

}  // namespace

size_t pqUriPrefixLength(const char* text) {
    static const char* const prefixes[] = {"postgresql://", "postgres://"};
    for (const char* prefix : prefixes) {
        size_t length = std::strlen(prefix);
        if (std::strncmp(text, prefix, length) == 0)
            return length;
    }
    return 0;
}

bool pqIsConnectionString(const char* text) {
    return pqUriPrefixLength(text) != 0 || std::strchr(text, '=') != nullptr;
}

ConninfoOptions pqConninfoParseString(const char* conninfo, std::string& errorMessage) {
    ConninfoOptions options = pqConninfoInit();
    bool parsed = pqUriPrefixLength(conninfo) != 0 ? pqConninfoParseUri(conninfo, options.get(), errorMessage)
                                                   : ParseKeywordValueString(conninfo, options.get(), errorMessage);
    if (!parsed)
        return nullptr;
    return options;
}

// Entries apply in array order, so a later entry overrides an earlier one of
// the same keyword. With expand_dbname, the first dbname that has a value and
// reads as a connection string stands, at its own place, for every setting
// of that string. Entries without a value are skipped before the keyword is
// even looked at.
ConninfoOptions pqConninfoParseArrays(const char* const* keywords, const char* const* values, int expand_dbname,
                                      std::string& errorMessage) {
    static const char* const kNone[] = {nullptr};
    if (keywords == nullptr || values == nullptr)
        keywords = values = kNone;
    ConninfoOptions expanded;
    int expanded_index = -1;
    if (expand_dbname != 0) {
        for (int i = 0; keywords[i] != nullptr; ++i) {
            if (std::strcmp(keywords[i], "dbname") == 0 && values[i] != nullptr && values[i][0] != '\0') {
                if (pqIsConnectionString(values[i])) {
                    expanded = pqConninfoParseString(values[i], errorMessage);
                    if (!expanded)
                        return nullptr;
                    expanded_index = i;
                }
                break;
            }
        }
    }

    ConninfoOptions options = pqConninfoInit();
    for (int i = 0; keywords[i] != nullptr; ++i) {
        const char* value = values[i];
        if (value == nullptr || value[0] == '\0')
            continue;
        if (i == expanded_index) {
            for (const PQconninfoOption* setting = expanded.get(); setting->keyword != nullptr; ++setting) {
                if (setting->val != nullptr &&
                    !pqConninfoStore(options.get(), setting->keyword, setting->val, errorMessage))
                    return nullptr;
            }
            continue;
        }
        if (!pqConninfoStore(options.get(), keywords[i], value, errorMessage))
            return nullptr;
    }
    return options;
}
