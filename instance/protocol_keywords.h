// The names by which connection settings reach the server: the wire-protocol
// client's own keywords and the settings the server knows under other names
// (the `options` value syntax is infra/options_value.h).
#pragma once

#include <string_view>

namespace kelvoapi {

// Whether the name passes to the wire-protocol client as a keyword.
bool isConnectionParameter(std::string_view name);

// The name under which the server expects a setting (date_style as
// DateStyle, ...), else the name itself.
std::string_view mapParameterForCompatibility(std::string_view name);

}  // namespace kelvoapi
