// Escaping and reading of tagged error texts; see tagged_text.h.
#include "error/tagged_text.h"

#include <cstdio>
#include <exception>

namespace kelvoapi {

std::string EscapeTagValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '&') {
            out += "&amp;";
        } else if (c == '<') {
            out += "&lt;";
        } else {
            out += c;
        }
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
    if (start == std::string_view::npos)
        return {};
    const size_t value_begin = start + open.size();
    const size_t end = text.find(close, value_begin);
    if (end == std::string_view::npos)
        return {};
    return UnescapeTagValue(text.substr(value_begin, end - value_begin));
}

TaggedText& TaggedText::Primary(const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    AddV("primary", format, args);
    va_end(args);
    return *this;
}

TaggedText& TaggedText::Detail(const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    AddV("detail", format, args);
    va_end(args);
    return *this;
}

TaggedText& TaggedText::Hint(const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    AddV("hint", format, args);
    va_end(args);
    return *this;
}

TaggedText& TaggedText::Add(const char* tag, const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    AddV(tag, format, args);
    va_end(args);
    return *this;
}

TaggedText& TaggedText::AddV(const char* tag, const char* format, va_list args) noexcept {
    if (m_outOfMemory)
        return *this;
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    try {
        std::string value(length > 0 ? static_cast<size_t>(length) : 0, '\0');
        if (length > 0)
            std::vsnprintf(value.data(), value.size() + 1, format, args);
        AppendTaggedValue(m_text, tag, value);
    } catch (const std::exception&) {  // out of memory
        m_outOfMemory = true;
    }
    return *this;
}

}  // namespace kelvoapi
