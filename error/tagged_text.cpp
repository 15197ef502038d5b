// Escaping and reading of tagged error texts; see tagged_text.h.
#include "error/tagged_text.h"

namespace kelvoapi {

std::string EscapeTagValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else
            out += c;
    }
    return out;
}

std::string UnescapeTagValue(std::string_view escaped) {
    std::string out;
    out.reserve(escaped.size());
    for (size_t i = 0; i < escaped.size();) {
        if (escaped.compare(i, 5, "&amp;") == 0) {
            out += '&';
            i += 5;
        } else if (escaped.compare(i, 4, "&lt;") == 0) {
            out += '<';
            i += 4;
        } else {
            out += escaped[i++];
        }
    }
    return out;
}

void AppendTaggedValue(std::string& out, std::string_view tag, std::string_view value) {
    out += '<';
    out += tag;
    out += '>';
    out += EscapeTagValue(value);
    out += "</";
    out += tag;
    out += '>';
}

std::string ReadTagValue(std::string_view text, std::string_view tag) {
    const std::string open = "<" + std::string(tag) + ">";
    const std::string close = "</" + std::string(tag) + ">";
    const size_t start = text.find(open);
    if (start == std::string_view::npos) return {};
    const size_t value_begin = start + open.size();
    const size_t end = text.find(close, value_begin);
    if (end == std::string_view::npos) return {};
    return UnescapeTagValue(text.substr(value_begin, end - value_begin));
}

}  // namespace kelvoapi
