// The `options` value syntax; see options_value.h.
#include "infra/options_value.h"

namespace kelvoapi {
namespace {

// The C locale's white space; any of it would end an item for the server.
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

bool NeedsQuotes(std::string_view value) {
    if (value.empty())
        return true;
    for (char c : value) {
        if (IsSpace(c) || c == '\'' || c == '\\')
            return true;
    }
    return false;
}

}  // namespace

std::string EscapeAndQuoteOptionsValue(std::string_view value) {
    if (!NeedsQuotes(value))
        return std::string(value);
    std::string out;
    out.reserve(value.size() + 8);
    out.push_back('\'');
    for (char c : value) {
        if (c == '\\' || c == '\'')
            out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('\'');
    return out;
}

bool IsValidOptionsName(std::string_view name) {
    if (name.empty())
        return false;
    for (char c : name) {
        if (IsSpace(c) || c == '=')
            return false;
    }
    return true;
}

}  // namespace kelvoapi
