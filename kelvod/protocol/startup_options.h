// The `options` start-up value: blank-separated name=value items, a value with
// blanks enclosed in apostrophes with \' and \\ escapes, and the `dbname` JSON
// list of databases to attach.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelvod {

// Throws SqlError (22023) for an item without '=' or an unterminated quote.
std::vector<std::pair<std::string, std::string>> ParseOptionItems(std::string_view options);

struct DatabaseToAttach {
    std::string alias;
    std::string path;
};
// Reads "[{"alias": ..., "path": ...}, ...]"; throws SqlError (22023) when malformed.
std::vector<DatabaseToAttach> ParseDatabaseList(std::string_view json);

// The stem of a path: its last component without its last extension.
std::string PathStem(const std::string& path);

}  // namespace kelvod
