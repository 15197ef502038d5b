// Preparing statements for the engine and describing their results.
#include "kelvod/engine_plan.h"

#include <charconv>
#include <optional>
#include <set>

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
    RefuseFileStatement(connection, text, duckdb_prepared_statement_type(ps.Get()));
    return ps;
}

// Whether the engine left the result undescribed: while a parameter's type
// cannot be told from where it stands (SELECT $1 AS a), it stops binding and
// gives the statement one column "unknown" of no type in place of its own.
bool IsUndescribed(duckdb_prepared_statement ps) {
    return duckdb_nparams(ps) > 0 && duckdb_prepared_statement_column_count(ps) == 1 &&
           duckdb_prepared_statement_column_type(ps, 0) == DUCKDB_TYPE_INVALID;
}

// `text` with each $n of `params` cast to text.
std::string WithTextParameters(const std::string& text, const std::set<idx_t>& params) {
    std::string out;
    for (const Statement& s : SplitStatements(text)) {
        for (const Token& t : s.tokens) {
            idx_t n = 0;
            bool numbered = t.kind == Token::Kind::Other && t.text.size() > 1 && t.text[0] == '$' &&
                            std::from_chars(t.text.data() + 1, t.text.data() + t.text.size(), n).ptr ==
                                t.text.data() + t.text.size();
            out += numbered && params.count(n) ? "CAST(" + t.text + " AS VARCHAR)" : t.text;
        }
    }
    return out;
}

// Prepares `text` so that its result columns are known before Bind: a
// parameter the engine cannot type where it stands takes text, as an untyped
// parameter does for a PostgreSQL client. `text` becomes what was prepared.
PreparedStatementHandle PrepareDescribed(duckdb_connection connection, std::string& text, const Statement& statement) {
    PreparedStatementHandle ps = PrepareText(connection, text);
    if (!IsUndescribed(ps.Get()) || !ReturnsRows(ps.Get(), statement))
        return ps;
    // Where the engine stops it forgets every parameter's type, also of those it
    // can tell ($1 in SELECT $2, $1 = 5); a cast would break or change them. So
    // a set of casts that describes the statement is found (all of them, else
    // all but one), and then each cast the engine does without is dropped. Each
    // try prepares the statement again: past a few dozen parameters only all.
    constexpr size_t kMostTried = 32;
    std::vector<idx_t> untyped;
    for (idx_t i = 1; i <= duckdb_nparams(ps.Get()); ++i)
        if (duckdb_param_type(ps.Get(), i) == DUCKDB_TYPE_INVALID)
            untyped.push_back(i);
    auto describes = [&](const std::set<idx_t>& cast) {
        try {
            PreparedStatementHandle next = PrepareText(connection, WithTextParameters(text, cast));
            if (IsUndescribed(next.Get()))
                return false;
            ps = std::move(next);
            return true;
        } catch (const SqlError&) {
            return false;
        }
    };
    std::set<idx_t> cast(untyped.begin(), untyped.end());
    bool found = describes(cast);
    for (size_t k = 0; !found && untyped.size() <= kMostTried && k < untyped.size(); ++k) {
        cast = std::set<idx_t>(untyped.begin(), untyped.end());
        cast.erase(untyped[k]);
        found = describes(cast);
    }
    if (!found)
        throw SqlError("42P18", "could not determine data type of parameter $" +
                                    std::to_string(untyped.empty() ? 1 : untyped.front()));
    for (size_t k = 0; untyped.size() <= kMostTried && k < untyped.size(); ++k) {
        std::set<idx_t> fewer = cast;
        // No cast at all is the text the engine left undescribed.
        if (fewer.erase(untyped[k]) && !fewer.empty() && describes(fewer))
            cast = std::move(fewer);
    }
    text = WithTextParameters(text, cast);
    return ps;  // prepared from `cast`: a try that does not describe leaves it
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
    std::string prepared = rewritten;
    plan.prepared = PrepareDescribed(connection, prepared, statement);
    if (duckdb_prepared_statement_type(plan.prepared.Get()) == DUCKDB_STATEMENT_TYPE_SELECT) {
        std::string casts = TextCastsFor(plan.prepared.Get());
        if (!casts.empty())
            plan.prepared = PrepareText(connection, "SELECT " + casts + " FROM (" + prepared + ") AS kelvod_result");
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
