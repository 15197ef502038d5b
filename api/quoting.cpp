// SQL identifier and string-literal quoting (see quoting.h).
//
// Both functions copy runs of ordinary bytes in one append and stop only at
// the bytes that need a replacement, so plain text costs a scan and a copy.
#include "api/quoting.h"

#include <array>
#include <cstring>

namespace kelvoapi {

namespace {

bool HasLineBreak(std::string_view text) {
    // An empty view may carry a null pointer, which memchr must not see.
    return !text.empty() && (std::memchr(text.data(), '\n', text.size()) != nullptr ||
                             std::memchr(text.data(), '\r', text.size()) != nullptr);
}

// Bytes of a literal that are not copied as they stand.
constexpr std::array<bool, 256> MakeLiteralSpecials() {
    std::array<bool, 256> specials{};
    for (int byte = 0; byte < 32; ++byte) {
        specials[static_cast<size_t>(byte)] = true;
    }
    specials['\\'] = true;
    specials['\''] = true;
    return specials;
}
constexpr std::array<bool, 256> literal_specials = MakeLiteralSpecials();

}  // namespace

std::string QuoteIdentifier(std::string_view text) {
    std::string result;
    if (!HasLineBreak(text)) {
        result.reserve(text.size() + 2);
        result.push_back('"');
        size_t begin = 0;
        for (;;) {
            const size_t quote = text.find('"', begin);
            if (quote == std::string_view::npos) {
                result.append(text.data() + begin, text.size() - begin);
                break;
            }
            // The run up to and including the quote, then the quote again.
            result.append(text.data() + begin, quote + 1 - begin);
            result.push_back('"');
            begin = quote + 1;
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
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    size_t runBegin = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char byte = bytes[i];
        if (!literal_specials[byte]) {
            continue;
        }
        result.append(text.data() + runBegin, i - runBegin);
        runBegin = i + 1;
        switch (byte) {
            case '\'':
                // Doubling a quote is not an escape: the literal stays plain.
                result.append("''");
                continue;
            case '\\':
                result.append("\\\\");
                break;
            case '\b':
                result.append("\\b");
                break;
            case '\t':
                result.append("\\t");
                break;
            case '\n':
                result.append("\\n");
                break;
            case '\f':
                result.append("\\f");
                break;
            case '\r':
                result.append("\\r");
                break;
            default: {
                // Always three octal digits, so that a digit that follows
                // cannot be read as part of the escape.
                const char octal[4] = {'\\', static_cast<char>('0' + (byte >> 6)),
                                       static_cast<char>('0' + ((byte >> 3) & 7)), static_cast<char>('0' + (byte & 7))};
                result.append(octal, sizeof octal);
            }
        }
        escaped = true;
    }
    result.append(text.data() + runBegin, text.size() - runBegin);
    if (!escaped) {
        result.erase(0, 1);
    }
    result.push_back('\'');
    return result;
}

std::string MakeQualifiedQuotedIdentifier(const std::string& database, const std::string& schema,
                                          const std::string& name) {
    std::string text;
    if (!database.empty()) {
        text += QuoteIdentifier(database) + ".";
    }
    if (!schema.empty()) {
        text += QuoteIdentifier(schema) + ".";
    }
    return text + QuoteIdentifier(name);
}

}  // namespace kelvoapi
