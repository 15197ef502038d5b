// Statement texts for creating, dropping, attaching and detaching database
// files and for creating schemas.
#include "api/database_statements.h"

#include "api/quoting.h"

namespace kelvoapi {

std::string DatabaseFileStem(std::string_view path) {
    const size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        return std::string(name);
    }
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) {
        return std::string(name);
    }
    return std::string(name.substr(0, dot));
}

std::string CreateDatabaseStatement(std::string_view path, bool failIfExists) {
    return std::string("CREATE DATABASE ") + (failIfExists ? "" : "IF NOT EXISTS ") + QuoteIdentifier(path) + ";";
}

std::string DropDatabaseStatement(std::string_view path, bool failIfNotExists) {
    return std::string("DROP DATABASE ") + (failIfNotExists ? "" : "IF EXISTS ") + QuoteIdentifier(path) + ";";
}

std::string AttachDatabaseStatement(std::string_view path, std::optional<std::string_view> alias) {
    const std::string aliasName = alias ? std::string(*alias) : DatabaseFileStem(path);
    return "ATTACH DATABASE " + QuoteIdentifier(path) + " AS " + QuoteIdentifier(aliasName) + ";";
}

std::string DetachDatabaseStatement(std::string_view alias) {
    return "DETACH DATABASE " + QuoteIdentifier(alias) + ";";
}

std::string CreateSchemaStatement(std::optional<std::string_view> database, std::string_view schema,
                                  bool failIfExists) {
    std::string statement = "CREATE SCHEMA ";
    if (!failIfExists) {
        statement += "IF NOT EXISTS ";
    }
    if (database) {
        statement += QuoteIdentifier(*database) + ".";
    }
    return statement + QuoteIdentifier(schema) + ";";
}

}  // namespace kelvoapi
