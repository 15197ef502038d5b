// Tagged error texts: how the wire-protocol client hands error fields to the
// error model ("<sqlstate>42P01</sqlstate><primary>...</primary>...").
//
// Field values are escaped when written ('&' as "&amp;", '<' as "&lt;") and
// unescaped when read, so a value that itself looks like a tag (a relation
// named "a</primary><hint>x</hint>") can neither cut a field short nor forge
// another one. Text outside tags is left as it is.
//
// Depends on the standard library only, so that the wire-protocol client can
// build its texts here without the library's error types.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

namespace kelvoapi {

// The escaped form of a field value.
std::string EscapeTagValue(std::string_view value);

// The inverse of EscapeTagValue; other '&' sequences are kept as they stand.
std::string UnescapeTagValue(std::string_view escaped);

// Appends "<tag>", the escaped value and "</tag>".
void AppendTaggedValue(std::string& out, std::string_view tag, std::string_view value);

// The unescaped value of the first "<tag>...</tag>" block of text; empty when
// the opening tag is missing or no closing tag follows it.
std::string ReadTagValue(std::string_view text, std::string_view tag);

// Builds one tagged error text, its fields in the order they are added, each
// formatted as printf does and escaped whole. Never throws: a text that could
// not be built for want of memory reads "out of memory".
//
//   TaggedText().Sqlstate("08001").Primary("Could not create a socket.").Detail("%s", reason).c_str()
class TaggedText {
public:
    TaggedText& Sqlstate(const char* code) noexcept { return Add("sqlstate", "%s", code); }
    TaggedText& Primary(const char* format, ...) noexcept __attribute__((format(printf, 2, 3)));
    TaggedText& Detail(const char* format, ...) noexcept __attribute__((format(printf, 2, 3)));
    TaggedText& Hint(const char* format, ...) noexcept __attribute__((format(printf, 2, 3)));

    // Valid until the builder changes or goes.
    const char* c_str() const noexcept { return m_outOfMemory ? "out of memory" : m_text.c_str(); }

private:
    TaggedText& Add(const char* tag, const char* format, ...) noexcept __attribute__((format(printf, 3, 4)));
    TaggedText& AddV(const char* tag, const char* format, va_list args) noexcept;

    std::string m_text;
    bool m_outOfMemory = false;
};

}  // namespace kelvoapi
