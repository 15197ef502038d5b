// Table definitions and their CREATE statements (see table_definition.h).
#include "api/table_definition.h"

#include <utility>

#include "api/quoting.h"

namespace kelvoapi {

TableDefinition::TableDefinition(std::string tableName, kelvo_table_persistence_t persistence, bool stream)
    : m_tableName(std::move(tableName)), m_persistence(persistence), m_stream(stream) {}

TableDefinition::TableDefinition(std::string databaseName, std::string schemaName, std::string tableName,
                                 kelvo_table_persistence_t persistence, bool stream)
    : m_databaseName(std::move(databaseName)),
      m_schemaName(std::move(schemaName)),
      m_tableName(std::move(tableName)),
      m_persistence(persistence),
      m_stream(stream) {}

// std::exchange leaves the source empty, as a moved-from definition must be,
// rather than in the unspecified state of a moved-from string or vector.
TableDefinition::TableDefinition(TableDefinition&& other) noexcept
    : m_databaseName(std::exchange(other.m_databaseName, {})),
      m_schemaName(std::exchange(other.m_schemaName, {})),
      m_tableName(std::exchange(other.m_tableName, {})),
      m_persistence(std::exchange(other.m_persistence, KELVO_PERMANENT)),
      m_stream(std::exchange(other.m_stream, false)),
      m_columns(std::exchange(other.m_columns, {})) {}

TableDefinition& TableDefinition::operator=(TableDefinition&& other) noexcept {
    if (this != &other) {
        m_databaseName = std::exchange(other.m_databaseName, {});
        m_schemaName = std::exchange(other.m_schemaName, {});
        m_tableName = std::exchange(other.m_tableName, {});
        m_persistence = std::exchange(other.m_persistence, KELVO_PERMANENT);
        m_stream = std::exchange(other.m_stream, false);
        m_columns = std::exchange(other.m_columns, {});
    }
    return *this;
}

size_t TableDefinition::GetFieldIndex(std::string_view name) const {
    for (size_t index = 0; index < m_columns.size(); ++index) {
        if (m_columns[index].m_name == name) {
            return index;
        }
    }
    return m_columns.size();
}

bool TableDefinition::AddColumn(std::string name, Type type) {
    m_columns.push_back(Column{std::move(name), std::move(type)});
    return true;
}

bool TableDefinition::AddColumn(std::string name, kelvo_type_tag_t tag, kelvo_type_modifier_t modifier,
                                std::string collation, bool nullable) {
    Type type;
    type.m_tag = tag;
    type.m_oid = GetTypeOid(tag, modifier);
    type.m_modifier = modifier;
    type.m_collation = std::move(collation);
    type.m_nullable = nullable;
    return AddColumn(std::move(name), std::move(type));
}

namespace {

// The text that `write` appends for each column, joined by ", ".
template <typename Write>
std::string JoinColumns(const std::vector<TableDefinition::Column>& columns, Write write) {
    std::string sql;
    for (size_t index = 0; index < columns.size(); ++index) {
        if (index != 0) {
            sql += ", ";
        }
        write(sql, columns[index]);
    }
    return sql;
}

}  // namespace

std::string TableDefinition::GenerateColumnNamesSQL() const {
    return JoinColumns(m_columns,
                       [](std::string& sql, const Column& column) { sql += QuoteIdentifier(column.m_name); });
}

std::string TableDefinition::GenerateColumnDefinitionsSQL() const {
    return JoinColumns(m_columns, [](std::string& sql, const Column& column) {
        sql += QuoteIdentifier(column.m_name);
        sql += ' ';
        sql += GenerateSQLString(column.m_type);
    });
}

std::string TableDefinition::GenerateCreateSQL(bool ifNotExists) const {
    if (m_stream) {
        return GenerateCreateStreamSQL(m_databaseName, m_schemaName, m_tableName, ifNotExists);
    }
    std::string sql = "CREATE";
    sql += m_persistence == KELVO_TEMPORARY ? " TEMPORARY " : " ";
    sql += "TABLE ";
    if (ifNotExists) {
        sql += "IF NOT EXISTS ";
    }
    if (!m_databaseName.empty()) {
        sql += QuoteIdentifier(m_databaseName);
        sql += '.';
    }
    if (!m_schemaName.empty()) {
        sql += QuoteIdentifier(m_schemaName);
        sql += '.';
    }
    sql += QuoteIdentifier(m_tableName);
    sql += " (";
    sql += GenerateColumnDefinitionsSQL();
    sql += ");";
    return sql;
}

std::string TableDefinition::GenerateCreateStreamSQL(std::string_view databaseName, std::string_view schemaName,
                                                     std::string_view streamName, bool ifNotExists) const {
    std::string sql = "CREATE BOUNDED EXTERNAL STREAM ";
    if (ifNotExists) {
        sql += "IF NOT EXISTS ";
    }
    // A database qualifies a stream only through a schema.
    if (!schemaName.empty()) {
        if (!databaseName.empty()) {
            sql += QuoteIdentifier(databaseName);
            sql += '.';
        }
        sql += QuoteIdentifier(schemaName);
        sql += '.';
    }
    sql += QuoteIdentifier(streamName.empty() ? std::string_view(m_tableName) : streamName);
    sql += " (";
    sql += GenerateColumnDefinitionsSQL();
    sql += ")  (WITH (FORMAT KELVOBINARY, SANITIZE));";
    return sql;
}

}  // namespace kelvoapi
