// Catalog questions answered by queries on the caller's connection: schema
// and table names, whether a table exists, a table's definition, and the
// completion of partly qualified table names.
#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

#include "api/connection.h"
#include "api/little_endian.h"
#include "api/quoting.h"
#include "api/rowset.h"
#include "api/statement.h"
#include "error/context_ids.h"
#include "error/sqlstate.h"
#include "postgres/libpq/result_record.h"

namespace kelvoapi {

namespace {

std::string DatabasePrefix(std::string_view database) {
    return database.empty() ? std::string() : QuoteIdentifier(database) + ".";
}

std::string FieldText(const RowsetChunk& chunk, kelvo_row_index_t row, kelvo_field_index_t column) {
    const kelvo_value_t value = chunk.GetFieldValue(row, column);
    return value.value == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(value.value), value.size);
}

// A server that sends fewer columns than asked for gets empty values, never
// a read past the column descriptions.
bool IsTextColumn(const RowsetChunk& chunk, kelvo_field_index_t column) {
    return column < chunk.GetColumnCount() && chunk.GetResult()->attDescs[column].format == 0;
}

// Integers come as four little-endian bytes in the binary format; a
// connection that asked for text results sends their decimal text instead,
// and a field of any other size is never read past its end.
int32_t FieldInt32(const RowsetChunk& chunk, kelvo_row_index_t row, kelvo_field_index_t column) {
    const kelvo_value_t value = chunk.GetFieldValue(row, column);
    if (IsTextColumn(chunk, column)) {
        return static_cast<int32_t>(std::strtol(FieldText(chunk, row, column).c_str(), nullptr, 10));
    }
    if (value.size != sizeof(int32_t)) {
        return 0;
    }
    return little_endian_load<int32_t>(value.value);
}

bool FieldBool(const RowsetChunk& chunk, kelvo_row_index_t row, kelvo_field_index_t column) {
    const kelvo_value_t value = chunk.GetFieldValue(row, column);
    if (value.size == 0) {
        return false;
    }
    if (IsTextColumn(chunk, column)) {
        return value.value[0] == 't';
    }
    return value.value[0] != 0;
}

// The one-character relpersistence field; 0 when empty or NULL, which the
// caller refuses as an unexpected value.
char FieldFirstByte(const RowsetChunk& chunk, kelvo_row_index_t row, kelvo_field_index_t column) {
    const kelvo_value_t value = chunk.GetFieldValue(row, column);
    return value.size > 0 ? static_cast<char>(value.value[0]) : 0;
}

// Runs `query` and calls `onRow(chunk, row)` for every row in order; the
// rowset is closed (and the connection ready again) on every path.
template <typename OnRow>
void ForEachRow(Connection& connection, const std::string& query, OnRow&& onRow) {
    std::unique_ptr<Rowset> rowset = ExecuteQuery(connection, query, true);
    while (std::unique_ptr<RowsetChunk> chunk = rowset->GetNextChunk()) {
        for (size_t row = 0; row < chunk->GetRowCount(); ++row) {
            onRow(*chunk, static_cast<kelvo_row_index_t>(row));
        }
    }
}

// The first row's fields as texts, or nullopt for a NULL field; a query that
// returns no row counts as unresolved.
std::vector<std::optional<std::string>> FirstRow(Connection& connection, const std::string& query, size_t columns) {
    std::vector<std::optional<std::string>> fields(columns);
    bool seen = false;
    ForEachRow(connection, query, [&](const RowsetChunk& chunk, kelvo_row_index_t row) {
        if (seen) {
            return;
        }
        seen = true;
        for (size_t c = 0; c < columns; ++c) {
            const auto column = static_cast<kelvo_field_index_t>(c);
            if (!chunk.IsFieldValueNull(row, column)) {
                fields[c] = FieldText(chunk, row, column);
            }
        }
    });
    return fields;
}

Error UnknownDatabaseError(const std::string& database) {
    return Error(kelvo::make_error_code(kelvo::Sqlstate::InvalidCatalogName),
                 "The specified database \"" + database + "\" does not exist.", ContextIds::UnknownDatabase);
}

// Runs `query`, whose database prefix names `database`: the server reports
// a database that is not attached as an unknown schema (3F000), which the
// caller gets as the unknown-database error instead.
template <typename OnRow>
void ForEachRowInDatabase(Connection& connection, const std::string& database, const std::string& query,
                          OnRow&& onRow) {
    try {
        ForEachRow(connection, query, std::forward<OnRow>(onRow));
    } catch (const Error& error) {
        if (error.GetCode() == kelvo::make_error_code(kelvo::Sqlstate::InvalidSchemaName)) {
            throw UnknownDatabaseError(database);
        }
        throw;
    }
}

// The schema of `table` inside `database`, which the caller named: the
// server's own resolution looks only in the session's first database. A
// table in several schemas resolves as the server's default path would,
// "public" before "main", then in name order.
std::optional<std::string> SchemaOfTableIn(Connection& connection, const std::string& database,
                                           const std::string& table) {
    std::vector<std::string> schemas;
    ForEachRowInDatabase(
        connection, database,
        "SELECT schemaname FROM " + DatabasePrefix(database) +
            "pg_catalog.pg_tables WHERE tablename = " + QuoteStringLiteral(table) + " ORDER BY schemaname",
        [&](const RowsetChunk& chunk, kelvo_row_index_t row) { schemas.push_back(FieldText(chunk, row, 0)); });
    for (const char* preferred : {"public", "main"}) {
        if (std::find(schemas.begin(), schemas.end(), preferred) != schemas.end()) {
            return std::string(preferred);
        }
    }
    if (schemas.empty()) {
        return std::nullopt;
    }
    return schemas.front();
}

}  // namespace

void Connection::QualifyTableName(std::string& database, std::string& schema, const std::string& table) {
    ThrowIfBusy();
    if (schema.empty() && !database.empty()) {
        std::optional<std::string> found = SchemaOfTableIn(*this, database, table);
        if (!found) {
            throw Error(kelvo::make_error_code(kelvo::Sqlstate::UndefinedTable),
                        "Specified table does not exist: " + table + ".", ContextIds::TableNotFound);
        }
        schema = std::move(*found);
    } else if (schema.empty()) {
        const auto fields = FirstRow(*this,
                                     "SELECT kelvo_database_of_table(" + QuoteStringLiteral(table) +
                                         "), kelvo_schema_of_table(" + QuoteStringLiteral(table) + ")",
                                     2);
        if (!fields[0] || !fields[1]) {
            throw Error(kelvo::make_error_code(kelvo::Sqlstate::UndefinedTable),
                        "Specified table does not exist: " + table + ".", ContextIds::TableNotFound);
        }
        database = *fields[0];
        schema = *fields[1];
    } else if (database.empty()) {
        const auto fields = FirstRow(*this, "SELECT kelvo_database_of_schema(" + QuoteStringLiteral(schema) + ")", 1);
        if (!fields[0]) {
            throw Error(kelvo::make_error_code(kelvo::Sqlstate::InvalidSchemaName),
                        "Specified schema does not exist: " + schema + ".", ContextIds::SchemaNotFound);
        }
        database = *fields[0];
    }
}

std::vector<std::string> Connection::GetSchemaNames(std::string_view database) {
    ThrowIfBusy();
    std::vector<std::string> names;
    ForEachRow(*this,
               "SELECT nspname FROM " + DatabasePrefix(database) +
                   "pg_catalog.pg_namespace WHERE nspname NOT IN ('pellory', 'pg_catalog', 'pg_temp')",
               [&](const RowsetChunk& chunk, kelvo_row_index_t row) { names.push_back(FieldText(chunk, row, 0)); });
    return names;
}

std::vector<std::string> Connection::GetTableNames(std::string_view database, std::string_view schema) {
    ThrowIfBusy();
    std::vector<std::string> names;
    ForEachRow(*this,
               "SELECT tablename FROM " + DatabasePrefix(database) +
                   "pg_catalog.pg_tables WHERE schemaname = " + QuoteStringLiteral(schema),
               [&](const RowsetChunk& chunk, kelvo_row_index_t row) { names.push_back(FieldText(chunk, row, 0)); });
    return names;
}

bool Connection::HasTable(std::string_view databaseName, std::string_view schemaName, std::string_view table) {
    ThrowIfBusy();
    std::string database(databaseName);
    std::string schema(schemaName);
    const std::string tableLiteral = QuoteStringLiteral(table);
    if (schema.empty() && !database.empty()) {
        std::optional<std::string> found = SchemaOfTableIn(*this, database, std::string(table));
        if (!found) {
            return false;
        }
        schema = std::move(*found);
    } else if (schema.empty()) {
        const auto schemaField = FirstRow(*this, "SELECT kelvo_schema_of_table(" + tableLiteral + ")", 1);
        if (!schemaField[0]) {
            return false;
        }
        schema = *schemaField[0];
        const auto databaseField = FirstRow(*this, "SELECT kelvo_database_of_table(" + tableLiteral + ")", 1);
        if (!databaseField[0]) {
            return false;
        }
        database = *databaseField[0];
    } else if (database.empty()) {
        const auto databaseField =
            FirstRow(*this, "SELECT kelvo_database_of_schema(" + QuoteStringLiteral(schema) + ")", 1);
        if (!databaseField[0]) {
            return false;
        }
        database = *databaseField[0];
    }
    bool exists = false;
    bool seen = false;
    ForEachRowInDatabase(*this, database,
                         "SELECT EXISTS(SELECT * FROM " + DatabasePrefix(database) +
                             "pg_catalog.pg_tables WHERE tablename = " + tableLiteral +
                             " AND schemaname = " + QuoteStringLiteral(schema) + ")",
                         [&](const RowsetChunk& chunk, kelvo_row_index_t row) {
                             if (!seen) {
                                 seen = true;
                                 exists = FieldBool(chunk, row, 0);
                             }
                         });
    return exists;
}

std::unique_ptr<TableDefinition> Connection::GetTableDefinition(std::string_view databaseName,
                                                                std::string_view schemaName,
                                                                std::string_view tableName) {
    std::string database(databaseName);
    std::string schema(schemaName);
    const std::string table(tableName);
    QualifyTableName(database, schema, table);
    // The persistence comes with the rows, so the definition is made last.
    std::vector<std::pair<std::string, Type>> columns;
    const std::string prefix = DatabasePrefix(database);
    const std::string tableLiteral = QuoteStringLiteral(table);
    const std::string schemaLiteral = QuoteStringLiteral(schema);
    bool havePersistence = false;
    char persistence = 0;
    ForEachRowInDatabase(
        *this, database,
        "SELECT a.attname, a.atttypid, a.atttypmod, a.attnotnull, coll.collname, a.attnum, cl.relpersistence FROM " +
            prefix + "pg_catalog.pg_attribute a JOIN " + prefix +
            "pg_catalog.pg_class cl ON a.attrelid = cl.oid JOIN " + prefix +
            "pg_catalog.pg_namespace n ON n.oid = cl.relnamespace LEFT JOIN " + prefix +
            " pg_catalog.pg_collation coll ON a.attcollation = coll.oid WHERE a.attnum > 0 AND NOT a.attisdropped AND "
            "cl.relname = " +
            tableLiteral + " AND n.nspname = " + schemaLiteral + " ORDER BY a.attnum",
        [&](const RowsetChunk& chunk, kelvo_row_index_t row) {
            Type type = ConvertLibpqType(static_cast<uint32_t>(FieldInt32(chunk, row, 1)),
                                         static_cast<uint32_t>(FieldInt32(chunk, row, 2)));
            type.m_nullable = !FieldBool(chunk, row, 3);
            std::string collation = FieldText(chunk, row, 4);
            type.m_collation = collation == "default" ? std::string() : std::move(collation);
            if (!havePersistence) {
                persistence = FieldFirstByte(chunk, row, 6);
                havePersistence = true;
            }
            columns.emplace_back(FieldText(chunk, row, 0), std::move(type));
        });
    if (columns.empty()) {
        bool seen = false;
        ForEachRow(*this,
                   "SELECT cl.relpersistence FROM " + prefix + "pg_catalog.pg_class cl JOIN " + prefix +
                       "pg_catalog.pg_namespace n ON n.oid = cl.relnamespace WHERE cl.relname = " + tableLiteral +
                       " AND n.nspname = " + schemaLiteral,
                   [&](const RowsetChunk& chunk, kelvo_row_index_t row) {
                       if (!seen) {
                           seen = true;
                           persistence = FieldFirstByte(chunk, row, 0);
                       }
                   });
        if (!seen) {
            throw Error(kelvo::make_error_code(kelvo::Sqlstate::UndefinedTable),
                        "Specified table does not exist: " + table + ".", ContextIds::TableNotFoundInCatalog);
        }
    }
    kelvo_table_persistence_t tablePersistence;
    if (persistence == 'p') {
        tablePersistence = KELVO_PERMANENT;
    } else if (persistence == 't') {
        tablePersistence = KELVO_TEMPORARY;
    } else {
        throw Error(kelvo::make_error_code(kelvo::Sqlstate::InvalidParameterValue),
                    "Unexpected `relpersistence` value " +
                        std::to_string(static_cast<int>(static_cast<unsigned char>(persistence))) + " for table " +
                        table,
                    ContextIds::BadPersistence);
    }
    auto definition = std::make_unique<TableDefinition>(database, schema, table, tablePersistence, false);
    for (auto& [name, type] : columns) {
        definition->AddColumn(std::move(name), std::move(type));
    }
    return definition;
}

}  // namespace kelvoapi
