// Tagged error texts: how the wire-protocol client hands error fields to the
// error model ("<sqlstate>42P01</sqlstate><primary>...</primary>...").
//
// Field values are escaped when written ('&' as "&amp;", '<' as "&lt;") and
// unescaped when read, so a value that itself looks like a tag (a relation
// named "a</primary><hint>x</hint>") can neither cut a field short nor forge
// another one. Text outside tags is left as it is.
#pragma once

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

}  // namespace kelvoapi
