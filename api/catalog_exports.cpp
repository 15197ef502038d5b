// The C entry points of the catalog questions and of the database, schema and
// table statements.
#include <optional>
#include <string_view>

#include "api/connection.h"
#include "api/database_statements.h"
#include "api/statement.h"
#include "api/string_list.h"
#include "api/table_definition.h"
#include "error/context_ids.h"
#include "error/frame.h"
#include "error/invalid_argument.h"
#include "kelvo/connection.h"

namespace {

std::string_view OrEmpty(const char* text) { return text == nullptr ? std::string_view() : std::string_view(text); }

std::optional<std::string_view> OrNone(const char* text) {
    return text == nullptr ? std::nullopt : std::optional<std::string_view>(text);
}

kelvo_string_list_t* NewStringList(std::vector<std::string>&& strings) {
    auto* list = new kelvo_string_list_t;
    list->strings = std::move(strings);
    return list;
}

// Sends one statement for an export and ignores its row count.
void RunStatement(kelvo_connection_t* connection, const std::string& statement) {
    kelvoapi::ExecuteCommand(connection->Get(), statement, true);
}

}  // namespace

kelvo_error_t* kelvo_get_schema_names(kelvo_connection_t* connection, const char* database,
                                      kelvo_string_list_t** schema_names) {
    const kelvoapi::ContextId id = kelvoapi::ContextIds::GetSchemaNames;
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(connection, "connection", id);
            kelvoapi::ThrowIfNull(schema_names, "schema_names", id);
            *schema_names = NewStringList(connection->Get().GetSchemaNames(OrEmpty(database)));
        },
        id);
}

kelvo_error_t* kelvo_get_table_names(kelvo_connection_t* connection, const char* database, const char* schema,
                                     kelvo_string_list_t** table_names) {
    const kelvoapi::ContextId id = kelvoapi::ContextIds::GetTableNames;
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(connection, "connection", id);
            kelvoapi::ThrowIfNull(schema, "schema", id);
            kelvoapi::ThrowIfNull(table_names, "table_names", id);
            *table_names = NewStringList(connection->Get().GetTableNames(OrEmpty(database), schema));
        },
        id);
}

kelvo_error_t* kelvo_has_table(kelvo_connection_t* connection, const char* database, const char* schema,
                               const char* table, bool* exists) {
    const kelvoapi::ContextId id = kelvoapi::ContextIds::HasTable;
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(connection, "connection", id);
            kelvoapi::ThrowIfNull(table, "table", id);
            kelvoapi::ThrowIfNull(exists, "exists", id);
            *exists = connection->Get().HasTable(OrEmpty(database), OrEmpty(schema), table);
        },
        id);
}

kelvo_error_t* kelvo_get_table_definition(kelvo_connection_t* connection, const char* database_name,
                                          const char* schema_name, const char* table_name,
                                          kelvo_table_definition_t** table_definition) {
    const kelvoapi::ContextId id = kelvoapi::ContextIds::GetTableDefinition;
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(connection, "connection", id);
            kelvoapi::ThrowIfNull(table_name, "table_name", id);
            kelvoapi::ThrowIfNull(table_definition, "table_definition", id);
            *table_definition = connection->Get()
                                    .GetTableDefinition(OrEmpty(database_name), OrEmpty(schema_name), table_name)
                                    .release();
        },
        id);
}

kelvo_error_t* kelvo_create_database(kelvo_connection_t* connection, const char* path, bool failIfExists) {
    const kelvoapi::ContextId id = kelvoapi::ContextIds::CreateDatabase;
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(connection, "connection", id);
            kelvoapi::ThrowIfNull(path, "path", id);
            RunStatement(connection, kelvoapi::CreateDatabaseStatement(path, failIfExists));
        },
        id);
}

kelvo_error_t* kelvo_drop_database(kelvo_connection_t* connection, const char* path, bool failIfNotExists) {
    const kelvoapi::ContextId id = kelvoapi::ContextIds::DropDatabase;
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(connection, "connection", id);
            kelvoapi::ThrowIfNull(path, "path", id);
            RunStatement(connection, kelvoapi::DropDatabaseStatement(path, failIfNotExists));
        },
        id);
}

kelvo_error_t* kelvo_attach_database(kelvo_connection_t* connection, const char* path, const char* alias) {
    const kelvoapi::ContextId id = kelvoapi::ContextIds::AttachDatabase;
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(connection, "connection", id);
            kelvoapi::ThrowIfNull(path, "path", id);
            RunStatement(connection, kelvoapi::AttachDatabaseStatement(path, OrNone(alias)));
            connection->Get().RememberAttached(path, alias ? std::string(alias) : kelvoapi::DatabaseFileStem(path));
        },
        id);
}

kelvo_error_t* kelvo_detach_database(kelvo_connection_t* connection, const char* alias) {
    const kelvoapi::ContextId id = kelvoapi::ContextIds::DetachDatabase;
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(connection, "connection", id);
            kelvoapi::ThrowIfNull(alias, "alias", id);
            RunStatement(connection, kelvoapi::DetachDatabaseStatement(alias));
            connection->Get().ForgetAttached(alias);
        },
        id);
}

kelvo_error_t* kelvo_detach_all_databases(kelvo_connection_t* connection) {
    const kelvoapi::ContextId id = kelvoapi::ContextIds::DetachAllDatabases;
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(connection, "connection", id);
            RunStatement(connection, "DETACH DATABASE *;");
            connection->Get().ForgetAllAttached();
        },
        id);
}

kelvo_error_t* kelvo_create_schema(kelvo_connection_t* connection, const char* databaseName, const char* schemaName,
                                   bool failIfExists) {
    const kelvoapi::ContextId id = kelvoapi::ContextIds::CreateSchema;
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(connection, "connection", id);
            kelvoapi::ThrowIfNull(schemaName, "schemaName", id);
            RunStatement(connection, kelvoapi::CreateSchemaStatement(OrNone(databaseName), schemaName, failIfExists));
        },
        id);
}

kelvo_error_t* kelvo_create_table(kelvo_connection_t* connection, const kelvo_table_definition_t* definition_,
                                  bool failIfExists) {
    const kelvoapi::ContextId id = kelvoapi::ContextIds::CreateTable;
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(connection, "connection", id);
            kelvoapi::ThrowIfNull(definition_, "definition_", id);
            const auto& definition = *static_cast<const kelvoapi::TableDefinition*>(definition_);
            RunStatement(connection, definition.GenerateCreateSQL(!failIfExists));
        },
        id);
}
