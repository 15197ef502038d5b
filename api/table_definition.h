// Table definitions: the name, persistence and ordered typed columns of a
// table or external stream, and the CREATE statements for them. Built by
// applications, the catalog and result sets; read by inserters.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/type.h"
#include "kelvo/types.h"

struct kelvo_table_definition_t {};

namespace kelvoapi {

class TableDefinition : public kelvo_table_definition_t {
public:
    struct Column {
        std::string m_name;
        Type m_type;
    };

    TableDefinition(std::string tableName, kelvo_table_persistence_t persistence, bool stream);
    TableDefinition(std::string databaseName, std::string schemaName, std::string tableName,
                    kelvo_table_persistence_t persistence, bool stream);

    // A definition is a value; a moved-from definition is left empty.
    TableDefinition(const TableDefinition&) = default;
    TableDefinition& operator=(const TableDefinition&) = default;
    TableDefinition(TableDefinition&& other) noexcept;
    TableDefinition& operator=(TableDefinition&& other) noexcept;
    ~TableDefinition() = default;

    const std::string& GetDatabaseName() const { return m_databaseName; }
    const std::string& GetSchemaName() const { return m_schemaName; }
    const std::string& GetTableName() const { return m_tableName; }
    kelvo_table_persistence_t GetPersistence() const { return m_persistence; }
    bool IsStream() const { return m_stream; }

    size_t GetColumnCount() const { return m_columns.size(); }
    const std::vector<Column>& GetColumns() const { return m_columns; }
    // Index below GetColumnCount().
    const Column& GetColumn(size_t index) const { return m_columns[index]; }

    // The first column named `name` byte for byte; the column count when none.
    size_t GetFieldIndex(std::string_view name) const;

    // Appends the column, also under a name already present; returns true.
    bool AddColumn(std::string name, Type type);
    // The OID follows from the tag (and for CHAR from the length).
    bool AddColumn(std::string name, kelvo_type_tag_t tag, kelvo_type_modifier_t modifier, std::string collation,
                   bool nullable);

    // "a", "b" -- each quoted, joined by ", ".
    std::string GenerateColumnNamesSQL() const;
    // "a" INT NOT NULL, "b" TEXT -- joined by ", ".
    std::string GenerateColumnDefinitionsSQL() const;
    // CREATE [TEMPORARY ]TABLE [IF NOT EXISTS ]name (columns); a stream
    // definition gives its CREATE BOUNDED EXTERNAL STREAM instead.
    std::string GenerateCreateSQL(bool ifNotExists) const;
    // The external stream of this definition's columns; an empty stream name
    // means the table name. The database is written only with a schema.
    std::string GenerateCreateStreamSQL(std::string_view databaseName, std::string_view schemaName,
                                        std::string_view streamName, bool ifNotExists) const;

private:
    std::string m_databaseName;
    std::string m_schemaName;
    std::string m_tableName;
    kelvo_table_persistence_t m_persistence;
    bool m_stream;
    std::vector<Column> m_columns;
};

}  // namespace kelvoapi
