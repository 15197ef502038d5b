// The syntax of the `options` start-up value, shared by the parameter layer,
// which packs settings into it, and the wire-protocol client, which appends
// its own items at start-up: items "name=value" separated by one blank.
#pragma once

#include <string>
#include <string_view>

namespace kelvoapi {

// The value as it is written after "name=": enclosed in apostrophes, with
// every backslash and apostrophe preceded by a backslash, when it is empty or
// holds white space, an apostrophe or a backslash, so that it can neither
// split into further items nor lose characters; unchanged otherwise.
std::string EscapeAndQuoteOptionsValue(std::string_view value);

// Whether a setting name can stand as an item's name: not empty, and without
// white space or '='.
bool IsValidOptionsName(std::string_view name);

}  // namespace kelvoapi
