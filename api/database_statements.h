// The texts of the database, schema and table statements, with every name
// quoted as an identifier. Kept apart from sending so the exact texts can be
// checked without a server.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kelvoapi {

std::string CreateDatabaseStatement(std::string_view path, bool failIfExists);
std::string DropDatabaseStatement(std::string_view path, bool failIfNotExists);
// No alias: the file name of the path without its last extension.
std::string AttachDatabaseStatement(std::string_view path, std::optional<std::string_view> alias);
std::string DetachDatabaseStatement(std::string_view alias);
// No database: the schema stays unqualified (an empty one still qualifies).
std::string CreateSchemaStatement(std::optional<std::string_view> database, std::string_view schema, bool failIfExists);

// The alias an attached file gets when none is given: "sales.db" gives
// "sales", "archive.2020.db" "archive.2020", ".hidden" stays whole.
std::string DatabaseFileStem(std::string_view path);

}  // namespace kelvoapi
