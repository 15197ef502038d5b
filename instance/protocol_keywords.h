// The names and the value syntax by which connection settings reach the
// server: the wire-protocol client's own keywords, the settings the server
// knows under other names, and the quoting inside the `options` value.
#pragma once

#include <string>
#include <string_view>

namespace kelvoapi {

// Whether the name passes to the wire-protocol client as a keyword.
bool isConnectionParameter(std::string_view name);

// The name under which the server expects a setting (date_style as
// DateStyle, ...), else the name itself.
std::string_view mapParameterForCompatibility(std::string_view name);

// The value as it is written after "name=" in the `options` value: enclosed
// in apostrophes, with every backslash and apostrophe preceded by a backslash,
// when it is empty or holds white space, an apostrophe or a backslash, so that
// it can neither split into further items nor lose characters; unchanged
// otherwise.
std::string EscapeAndQuoteOptionsValue(std::string_view value);

// Whether a setting name can stand as an item's name in the `options` value:
// not empty, and without white space or '='.
bool IsValidOptionsName(std::string_view name);

}  // namespace kelvoapi
