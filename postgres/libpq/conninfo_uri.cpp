// Options from a URI:
//   postgresql://[user[:password]@][host[:port][,host[:port]...]][/dbname][?keyword=value[&...]]
// Every part is percent-decoded before it is stored; an IPv6 host is written
// in square brackets.
#include "postgres/libpq/conninfo.h"

#include <cstring>

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A NUL byte would cut the value short wherever it is used next, so "%00" is
// refused rather than decoded.
bool PercentDecode(const std::string& text, std::string& decoded, std::string& errorMessage) {
    decoded.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        int high = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
        int low = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
        if (high < 0 || low < 0) {
            errorMessage = "invalid percent-encoded token: \"" + text + "\"";
            return false;
        }
        char c = static_cast<char>(high * 16 + low);
        if (c == '\0') {
            errorMessage = "forbidden value %00 in percent-encoded value: \"" + text + "\"";
            return false;
        }
        decoded += c;
        i += 2;
    }
    return true;
}

bool StoreDecoded(PQconninfoOption* options, const char* keyword, const std::string& raw, std::string& errorMessage) {
    std::string value;
    return PercentDecode(raw, value, errorMessage) && pqConninfoStore(options, keyword, value.c_str(), errorMessage);
}

// The '&'-separated keyword=value list after '?'.
bool ParseQuery(const std::string& query, PQconninfoOption* options, std::string& errorMessage) {
    size_t start = 0;
    while (start < query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string::npos)
            end = query.size();
        std::string parameter = query.substr(start, end - start);
        start = end + 1;

        size_t eq = parameter.find('=');
        if (eq == std::string::npos) {
            errorMessage = "missing key/value separator \"=\" in URI query parameter: \"" + parameter + "\"";
            return false;
        }
        if (parameter.find('=', eq + 1) != std::string::npos) {
            errorMessage = "extra key/value separator \"=\" in URI query parameter: \"" + parameter + "\"";
            return false;
        }
        std::string keyword, value;
        if (!PercentDecode(parameter.substr(0, eq), keyword, errorMessage) ||
            !PercentDecode(parameter.substr(eq + 1), value, errorMessage))
            return false;
        if (keyword == "ssl" && value == "true") {
            keyword = "sslmode";
            value = "require";
        }
        if (pqConninfoFind(options, keyword.c_str()) == nullptr) {
            errorMessage = "invalid URI query parameter: \"" + keyword + "\"";
            return false;
        }
        if (!pqConninfoStore(options, keyword.c_str(), value.c_str(), errorMessage))
            return false;
    }
    return true;
}

}  // namespace

bool pqConninfoParseUri(const char* uri, PQconninfoOption* options, std::string& errorMessage) {
    const size_t prefix = pqUriPrefixLength(uri);
    if (prefix == 0) {
        errorMessage = std::string("An invalid URI \"") + uri + "\" was propagated to the internal parser routine.";
        return false;
    }
    const std::string text(uri);
    size_t p = prefix;

    // User information ends at '@'; it cannot lie past the authority.
    size_t at = text.find_first_of("@/?", p);
    if (at != std::string::npos && text[at] == '@') {
        std::string userinfo = text.substr(p, at - p);
        size_t colon = userinfo.find(':');
        std::string user = userinfo.substr(0, colon);
        if (!user.empty() && !StoreDecoded(options, "user", user, errorMessage))
            return false;
        if (colon != std::string::npos) {
            std::string password = userinfo.substr(colon + 1);
            if (!password.empty() && !StoreDecoded(options, "password", password, errorMessage))
                return false;
        }
        p = at + 1;
    }

    // Comma-separated host[:port] items; the lists keep one entry per item
    // even when a host or port is empty, so that they stay aligned.
    std::string hosts, ports;
    char terminator = '\0';
    for (;;) {
        if (p < text.size() && text[p] == '[') {
            size_t close = text.find(']', p + 1);
            if (close == std::string::npos) {
                errorMessage = "end of string reached when looking for matching \"]\" in IPv6 host address in URI: \"" +
                               text + "\"";
                return false;
            }
            if (close == p + 1) {
                errorMessage = "The URI \"" + text + "\" contains an empty IPv6 host address.";
                return false;
            }
            hosts += text.substr(p + 1, close - p - 1);
            p = close + 1;
            if (p < text.size() && std::strchr(":/?,", text[p]) == nullptr) {
                errorMessage = std::string("unexpected character \"") + text[p] + "\" at position " +
                               std::to_string(p + 1) + " in URI (expected \":\" or \"/\"): \"" + text + "\"";
                return false;
            }
        } else {
            size_t end = text.find_first_of(":/?,", p);
            if (end == std::string::npos)
                end = text.size();
            hosts += text.substr(p, end - p);
            p = end;
        }
        terminator = p < text.size() ? text[p] : '\0';
        if (terminator == ':') {
            size_t end = text.find_first_of("/?,", p + 1);
            if (end == std::string::npos)
                end = text.size();
            ports += text.substr(p + 1, end - p - 1);
            p = end;
            terminator = p < text.size() ? text[p] : '\0';
        }
        if (terminator != ',')
            break;
        ++p;
        hosts += ',';
        ports += ',';
    }
    if (!hosts.empty() && !StoreDecoded(options, "host", hosts, errorMessage))
        return false;
    if (!ports.empty() && !StoreDecoded(options, "port", ports, errorMessage))
        return false;

    if (terminator == '/') {
        size_t end = text.find('?', p + 1);
        if (end == std::string::npos)
            end = text.size();
        // An empty name is left unset, so that PGDATABASE and the user-name
        // default still apply.
        std::string dbname = text.substr(p + 1, end - p - 1);
        if (!dbname.empty() && !StoreDecoded(options, "dbname", dbname, errorMessage))
            return false;
        p = end;
        terminator = p < text.size() ? text[p] : '\0';
    }
    if (terminator == '?')
        return ParseQuery(text.substr(p + 1), options, errorMessage);
    return true;
}
