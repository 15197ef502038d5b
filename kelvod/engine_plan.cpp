// Preparing statements for the engine and describing their results.
#include "kelvod/engine_plan.h"

#include <charconv>
#include <optional>

#include "kelvod/engine_errors.h"
#include "kelvod/file_access.h"
#include "kelvod/value_encoding.h"

namespace kelvod {

namespace {

bool ChangesRows(duckdb_statement_type type) {
    return type == DUCKDB_STATEMENT_TYPE_INSERT || type == DUCKDB_STATEMENT_TYPE_UPDATE ||
           type == DUCKDB_STATEMENT_TYPE_DELETE;
}

// Whether running the statement yields rows, so that Describe answers RowDescription
// rather than NoData: the engine gives every statement a result column, even those
// that end with a tag alone.
bool ReturnsRows(duckdb_prepared_statement ps, const Statement& statement) {
    duckdb_statement_type type = duckdb_prepared_statement_type(ps);
    if (ChangesRows(type)) {
        for (const Token* t : statement.Significant())
            if (t->kind == Token::Kind::Word && t->value == "returning")
                return true;
        return false;
    }
    switch (type) {
        case DUCKDB_STATEMENT_TYPE_SELECT:
        case DUCKDB_STATEMENT_TYPE_EXPLAIN:
        case DUCKDB_STATEMENT_TYPE_PRAGMA:
        case DUCKDB_STATEMENT_TYPE_CALL:
        case DUCKDB_STATEMENT_TYPE_EXECUTE:
        case DUCKDB_STATEMENT_TYPE_RELATION:
            return duckdb_prepared_statement_column_count(ps) > 0;
        default:
            return false;
    }
}

PreparedStatementHandle PrepareText(duckdb_connection connection, const std::string& text) {
    PreparedStatementHandle ps;
    if (duckdb_prepare(connection, text.c_str(), ps.Out()) == DuckDBError) {
        const char* error = duckdb_prepare_error(ps.Get());
        ErrorFields e = EngineErrorFields(error ? error : "Prepare failed");
        throw SqlError(e.sqlstate, e.message, e.hint);
    }
    RefuseFileStatementType(duckdb_prepared_statement_type(ps.Get()));
    return ps;
}

// The select list that casts the columns without an encoding to text; empty when all have one.
std::string TextCastsFor(duckdb_prepared_statement ps) {
    idx_t n = duckdb_prepared_statement_column_count(ps);
    bool wrap = false;
    std::string select;
    for (idx_t i = 0; i < n; ++i) {
        LogicalTypeHandle type(duckdb_prepared_statement_column_logical_type(ps, i));
        bool ok = IsEncodableType(type.Get());
        std::string ref = "#" + std::to_string(i + 1);
        select += (i ? ", " : "") + (ok ? ref : "CAST(" + ref + " AS VARCHAR)") + " AS " +
                  QuoteIdentifier(PreparedColumnName(ps, i));
        wrap |= !ok;
    }
    return wrap ? select : std::string();
}

// Whether the whole text is an integer within the type's range (no sign but '-',
// no spaces): the engine would read it as the same value.
template <typename T>
bool ParseInteger(const std::string& text, T& value) {
    const char* end = text.data() + text.size();
    auto r = std::from_chars(text.data(), end, value);
    return r.ec == std::errc() && r.ptr == end;
}

duckdb_state BindText(duckdb_prepared_statement ps, idx_t index, duckdb_type type, const std::string& text) {
    switch (type) {
        case DUCKDB_TYPE_TINYINT: {
            int8_t v;
            if (ParseInteger(text, v))
                return duckdb_bind_int8(ps, index, v);
            break;
        }
        case DUCKDB_TYPE_SMALLINT: {
            int16_t v;
            if (ParseInteger(text, v))
                return duckdb_bind_int16(ps, index, v);
            break;
        }
        case DUCKDB_TYPE_INTEGER: {
            int32_t v;
            if (ParseInteger(text, v))
                return duckdb_bind_int32(ps, index, v);
            break;
        }
        case DUCKDB_TYPE_BIGINT: {
            int64_t v;
            if (ParseInteger(text, v))
                return duckdb_bind_int64(ps, index, v);
            break;
        }
        case DUCKDB_TYPE_BOOLEAN:
            if (text == "t" || text == "true")
                return duckdb_bind_boolean(ps, index, true);
            if (text == "f" || text == "false")
                return duckdb_bind_boolean(ps, index, false);
            break;
        default:
            break;
    }
    // Anything else the engine casts, and judges, itself.
    return duckdb_bind_varchar_length(ps, index, text.data(), text.size());
}

}  // namespace

std::string PreparedColumnName(duckdb_prepared_statement ps, idx_t i) {
    // The engine hands out a copy of the name that the caller frees.
    const char* name = duckdb_prepared_statement_column_name(ps, i);
    std::string out = name ? name : "?column?";
    duckdb_free(const_cast<char*>(name));
    return out;
}

EnginePlan PrepareEnginePlan(duckdb_connection connection, const Statement& statement, std::string rewritten,
                             uint64_t namesGeneration) {
    EnginePlan plan;
    plan.prepared = PrepareText(connection, rewritten);
    if (duckdb_prepared_statement_type(plan.prepared.Get()) == DUCKDB_STATEMENT_TYPE_SELECT) {
        std::string casts = TextCastsFor(plan.prepared.Get());
        if (!casts.empty())
            plan.prepared = PrepareText(connection, "SELECT " + casts + " FROM (" + rewritten + ") AS kelvod_result");
    }
    duckdb_prepared_statement ps = plan.prepared.Get();
    plan.rewritten = std::move(rewritten);
    plan.namesGeneration = namesGeneration;
    plan.type = duckdb_prepared_statement_type(ps);
    plan.parameterCount = duckdb_nparams(ps);
    for (idx_t i = 0; i < plan.parameterCount; ++i)
        plan.parameterTypes.push_back(duckdb_param_type(ps, i + 1));
    plan.returnsRows = ReturnsRows(ps, statement);
    if (plan.returnsRows) {
        for (idx_t i = 0; i < duckdb_prepared_statement_column_count(ps); ++i) {
            LogicalTypeHandle type(duckdb_prepared_statement_column_logical_type(ps, i));
            plan.columns.push_back(ColumnEncoder(type.Get()).Describe(PreparedColumnName(ps, i), kTextFormat));
        }
    }
    return plan;
}

void BindTextParameters(EnginePlan& plan, const std::vector<std::optional<std::string>>& params) {
    duckdb_prepared_statement ps = plan.prepared.Get();
    if (plan.parameterCount != params.size())
        throw SqlError("08P01", "The statement needs " + std::to_string(plan.parameterCount) + " parameters, but " +
                                    std::to_string(params.size()) + " were given.");
    for (size_t i = 0; i < params.size(); ++i) {
        duckdb_state st =
            params[i] ? BindText(ps, i + 1, plan.parameterTypes[i], *params[i]) : duckdb_bind_null(ps, i + 1);
        if (st == DuckDBError)
            throw SqlError("22P02", "Parameter $" + std::to_string(i + 1) + " cannot be bound.");
    }
}

}  // namespace kelvod
