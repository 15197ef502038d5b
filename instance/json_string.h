// JSON string literals for texts written outside a JSON writer.
#pragma once

#include <string>
#include <string_view>

namespace kelvoapi {

// The text between quotation marks, with quotation mark, backslash and every
// byte below 0x20 escaped; other bytes pass unchanged.
std::string QuoteJsonString(std::string_view text);

}  // namespace kelvoapi
