// SQL identifier and string-literal quoting (see quoting.h).
#include "api/quoting.h"

namespace kelvoapi {

std::string QuoteIdentifier(std::string_view text) {
    const bool hasLineBreak = text.find_first_of("\n\r") != std::string_view::npos;
    std::string result;
    if (!hasLineBreak) {
        result.reserve(text.size() + 2);
        result.push_back('"');
        for (const char c : text) {
            if (c == '"') {
                result.push_back('"');
            }
            result.push_back(c);
        }
        result.push_back('"');
        return result;
    }
    // One pass gives what the replacements in turn would: a backslash that an
    // escape introduces is never doubled again.
    result.reserve(text.size() + 8);
    result.append("U&\"");
    for (const char c : text) {
        switch (c) {
            case '\\':
                result.append("\\\\");
                break;
            case '"':
                result.append("\"\"");
                break;
            case '\n':
                result.append("\\000A");
                break;
            case '\r':
                result.append("\\000D");
                break;
            default:
                result.push_back(c);
        }
    }
    result.push_back('"');
    return result;
}

std::string QuoteStringLiteral(std::string_view text) {
    std::string result;
    result.reserve(text.size() + 8);
    result.append("E'");
    bool escaped = false;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (byte) {
            case '\\':
                result.append("\\\\");
                escaped = true;
                break;
            case '\b':
                result.append("\\b");
                escaped = true;
                break;
            case '\t':
                result.append("\\t");
                escaped = true;
                break;
            case '\n':
                result.append("\\n");
                escaped = true;
                break;
            case '\f':
                result.append("\\f");
                escaped = true;
                break;
            case '\r':
                result.append("\\r");
                escaped = true;
                break;
            case '\'':
                result.append("''");
                break;
            default:
                if (byte < 32) {
                    // Always three octal digits, so that a digit that follows
                    // cannot be read as part of the escape.
                    const char octal[4] = {'\\', static_cast<char>('0' + (byte >> 6)),
                                           static_cast<char>('0' + ((byte >> 3) & 7)),
                                           static_cast<char>('0' + (byte & 7))};
                    result.append(octal, sizeof octal);
                    escaped = true;
                } else {
                    result.push_back(c);
                }
        }
    }
    if (!escaped) {
        result.erase(0, 1);
    }
    result.push_back('\'');
    return result;
}

}  // namespace kelvoapi
