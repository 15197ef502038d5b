// bytea in PostgreSQL's text forms: hex ("\x" and pairs of hex digits, blanks
// between pairs) or escape (bytes as themselves, "\\" and "\ooo" octal). The
// engine's own text form for its binary type differs, so text that clients
// send for binary columns and parameters is read here.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "duckdb.h"

namespace kelvod {

// The bytes that `text` stands for, or nullopt when it is not valid bytea text.
std::optional<std::string> DecodeByteaText(std::string_view text);

// Makes the engine read text as bytea this way wherever it turns text into its
// binary type (literals, parameters, inserts); the cast holds for the whole engine.
void RegisterByteaCast(duckdb_connection connection);

}  // namespace kelvod
