// Text read as dates and numbers the way PostgreSQL reads it: a date may end
// in BC, and nothing but a time of day may follow it; a number too large or
// too small for its type is an error, not infinity or zero, and an integer
// has no fraction to round away. The
// engine's own casts differ, so these take their place for the whole engine
// (literals, parameters, inserts).
#pragma once

#include <optional>
#include <string_view>

#include "duckdb.h"

namespace kelvod {

// The engine's day number for date text, or nullopt when it is no date;
// `outOfRange` tells a well-formed date that does not exist (2024-02-30).
std::optional<int32_t> ParseDateText(std::string_view text, bool& outOfRange);

// Makes `function` the engine's implicit cast from text to `target`.
void RegisterTextCast(duckdb_connection connection, duckdb_type target, duckdb_cast_function_t function);

void RegisterTextCasts(duckdb_connection connection);

}  // namespace kelvod
