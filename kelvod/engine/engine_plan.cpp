// Preparing statements for the engine and describing their results.
#include "kelvod/engine/engine_plan.h"

#include <array>
#include <charconv>
#include <map>
#include <optional>
#include <set>

#include "kelvod/engine/engine_errors.h"
#include "kelvod/sql/file_access.h"
#include "kelvod/sql/sql_rewriter.h"
#include "kelvod/sql/statement_tokens.h"
#include "kelvod/values/value_encoding.h"

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
        for (const Token* t : statement.Significant()) {
            if (t->kind == Token::Kind::Word && t->value == "returning")
                return true;
        }
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
        throw TextError(duckdb_prepare_error(ps.Get()), "Prepare failed");
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

// The number of a parameter token ($n), or 0.
idx_t ParameterNumber(const Token& t) {
    idx_t n = 0;
    bool numbered =
        t.kind == Token::Kind::Other && t.text.size() > 1 && t.text[0] == '$' &&
        std::from_chars(t.text.data() + 1, t.text.data() + t.text.size(), n).ptr == t.text.data() + t.text.size();
    return numbered ? n : 0;
}

// `text` with each $n of `hints` written as its hint.
std::string WithParameterHints(const std::string& text, const std::map<idx_t, std::string>& hints) {
    std::string out;
    for (const Statement& s : SplitStatements(text)) {
        for (const Token& t : s.tokens) {
            auto it = hints.find(ParameterNumber(t));
            out += it != hints.end() ? it->second : t.text;
        }
    }
    return out;
}

std::map<idx_t, std::string> CastsTo(const std::set<idx_t>& params, const char* type) {
    std::map<idx_t, std::string> hints;
    for (idx_t n : params)
        hints[n] = "CAST($" + std::to_string(n) + " AS " + type + ")";
    return hints;
}

bool IsArithmetic(const Tokens& t, size_t i) {
    return IsSymbol(t, i, "+") || IsSymbol(t, i, "-") || IsSymbol(t, i, "*") || IsSymbol(t, i, "/") ||
           IsSymbol(t, i, "%");
}

// Whether the tokens are a word of the statement's own rather than an
// operand's name (SELECT -$1, CASE ... END + $1).
bool IsOperandKeyword(const Tokens& t, size_t first, size_t last) {
    static const std::set<std::string> kWords = {
        "select", "where",  "and", "or", "not",  "then",   "else", "when",   "case",      "end",   "set",   "on",
        "by",     "having", "in",  "is", "like", "values", "from", "return", "returning", "limit", "offset"};
    return first == last && t[first]->kind == Token::Kind::Word && kWords.count(t[first]->value);
}

// The tokens [first, last] of the operand that begins at `i` (a literal, a
// parameter, a dotted name, a function call or a parenthesised expression);
// false when none begins there.
bool OperandFrom(const Tokens& t, size_t i, size_t& last) {
    if (i >= t.size())
        return false;
    if (!IsName(t, i) && !IsSymbol(t, i, "(")) {
        last = i;
        return t[i]->kind == Token::Kind::Number || t[i]->kind == Token::Kind::String || ParameterNumber(*t[i]);
    }
    while (IsName(t, i) && IsSymbol(t, i + 1, ".") && IsName(t, i + 2))
        i += 2;
    if (IsName(t, i) && !IsSymbol(t, i + 1, "(")) {
        last = i;
        return !IsOperandKeyword(t, last, last);
    }
    if (IsName(t, i))
        ++i;
    for (int depth = 0; i < t.size(); ++i) {
        depth += IsSymbol(t, i, "(") ? 1 : IsSymbol(t, i, ")") ? -1 : 0;
        if (depth == 0) {
            last = i;
            return true;
        }
    }
    return false;
}

// The same, for the operand that ends at `i`.
bool OperandTo(const Tokens& t, size_t i, size_t& first) {
    if (i >= t.size())
        return false;
    const size_t last = i;
    if (IsWord(t, i, "end")) {
        // CASE ... END, with the CASEs nested in it.
        for (int depth = 0;; --i) {
            depth += IsWord(t, i, "end") ? 1 : IsWord(t, i, "case") ? -1 : 0;
            if (depth == 0) {
                first = i;
                return true;
            }
            if (i == 0)
                return false;
        }
    }
    if (IsSymbol(t, i, ")")) {
        for (int depth = 0;; --i) {
            depth += IsSymbol(t, i, ")") ? 1 : IsSymbol(t, i, "(") ? -1 : 0;
            if (depth == 0)
                break;
            if (i == 0)
                return false;
        }
        if (i > 0 && t[i - 1]->kind == Token::Kind::Word && !IsOperandKeyword(t, i - 1, i - 1))
            --i;  // a function's name
    } else if (!IsName(t, i)) {
        first = i;
        return t[i]->kind == Token::Kind::Number || t[i]->kind == Token::Kind::String || ParameterNumber(*t[i]);
    }
    while (i >= 2 && IsSymbol(t, i - 1, ".") && IsName(t, i - 2))
        i -= 2;
    first = i;
    // x::type: the operand is the cast, from x on.
    if (i >= 2 && IsSymbol(t, i - 1, "::"))
        return OperandTo(t, i - 2, first);
    return !IsOperandKeyword(t, first, last);
}

// The type a literal operand gives a parameter beside it, as PostgreSQL types
// such literals; empty for anything else.
std::string LiteralType(const Tokens& t, size_t first, size_t last) {
    if (first != last)
        return {};
    if (t[first]->kind == Token::Kind::String)
        return "VARCHAR";
    if (t[first]->kind != Token::Kind::Number)
        return {};
    const std::string& n = t[first]->text;
    if (n.find_first_not_of("0123456789") != std::string::npos)
        return n.find_first_of("eE") != std::string::npos ? "DOUBLE" : kUnconstrainedNumeric;
    return n.size() < 10 || (n.size() == 10 && n <= "2147483647") ? "INTEGER" : "BIGINT";
}

// PostgreSQL's rule for an untyped parameter beside a binary operator: it
// takes the other operand's type. The engine types a parameter only in a
// comparison, so the other operand lends its type through a branch never
// taken: n + $1 becomes n + (CASE WHEN false THEN n ELSE $1 END). So does a
// parameter in x = ANY($1), as a list of x's type.
std::map<idx_t, std::string> OperandHints(const std::string& text, const std::set<idx_t>& untyped) {
    std::map<idx_t, std::string> hints;
    for (const Statement& s : SplitStatements(text)) {
        Tokens t = s.Significant();
        auto spelled = [&](size_t first, size_t last) {
            std::string out;
            for (size_t k = first; k <= last; ++k)
                out += (k > first ? " " : "") + t[k]->text;
            return out;
        };
        for (size_t k = 0; k < t.size(); ++k) {
            idx_t n = ParameterNumber(*t[k]);
            if (!untyped.count(n) || hints.count(n))
                continue;
            size_t first = 0, last = 0;
            bool any = k >= 3 && IsSymbol(t, k - 1, "(") && IsSymbol(t, k + 1, ")") &&
                       (IsWord(t, k - 2, "any") || IsWord(t, k - 2, "all")) &&
                       (IsSymbol(t, k - 3, "=") || IsSymbol(t, k - 3, ">") || IsSymbol(t, k - 3, "<"));
            size_t before = any ? k - 4 : k - 2;
            bool found = false;
            if (k >= 2 && (any || IsArithmetic(t, k - 1)) && OperandTo(t, before, first)) {
                last = before;
                found = true;
            } else if (IsArithmetic(t, k + 1) && OperandFrom(t, k + 2, last)) {
                first = k + 2;
                found = true;
            }
            if (!found || (ParameterNumber(*t[first]) && untyped.count(ParameterNumber(*t[first]))))
                continue;
            std::string literal = LiteralType(t, first, last);
            std::string param = "$" + std::to_string(n);
            if (any) {
                hints[n] = "(CASE WHEN false THEN [" + spelled(first, last) + "] ELSE " + param + " END)";
            } else if (!literal.empty()) {
                hints[n] = "CAST(" + param + " AS " + literal + ")";
            } else {
                hints[n] = "(CASE WHEN false THEN " + spelled(first, last) + " ELSE " + param + " END)";
            }
        }
    }
    return hints;
}

std::set<idx_t> UntypedParameters(duckdb_prepared_statement ps) {
    std::set<idx_t> untyped;
    for (idx_t i = 1; i <= duckdb_nparams(ps); ++i) {
        if (duckdb_param_type(ps, i) == DUCKDB_TYPE_INVALID)
            untyped.insert(i);
    }
    return untyped;
}

// Prepares `text` so that its parameters and result columns are known before
// Bind. A parameter the engine cannot type takes its type from an operand
// beside it, else text or, where text does not fit (abs($1)), double
// precision, as an untyped parameter does for a PostgreSQL client. `text`
// becomes what was prepared.
PreparedStatementHandle PrepareDescribed(duckdb_connection connection, std::string& text, const Statement& statement) {
    PreparedStatementHandle ps = PrepareText(connection, text);
    std::set<idx_t> untyped = UntypedParameters(ps.Get());
    if (untyped.empty())
        return ps;
    auto hinted = [&](const std::map<idx_t, std::string>& hints) {
        try {
            std::string next = WithParameterHints(text, hints);
            ps = PrepareText(connection, next);
            text = std::move(next);
            untyped = UntypedParameters(ps.Get());
            return true;
        } catch (const SqlError&) {
            return false;  // an operand that is no expression of its own, or no operator for the pair
        }
    };
    auto hints = OperandHints(text, untyped);
    if (hints.size() > 1 && hinted(hints))
        hints.clear();
    // Each hint on its own: one that fails leaves the others standing. Where the
    // operand's own type does not fit (a date or timestamp plus another), the
    // parameter is a number of days, else an interval, as a client means it.
    for (const auto& [n, hint] : hints) {
        if (!hinted({{n, hint}}) && !hinted(CastsTo({n}, "INTEGER")))
            hinted(CastsTo({n}, "INTERVAL"));
    }
    if (untyped.empty() || !IsUndescribed(ps.Get()) || !ReturnsRows(ps.Get(), statement))
        return ps;
    // Where the engine stops it forgets every parameter's type, also of those it
    // can tell ($1 in SELECT $2, $1 = 5); a cast would break or change them. So
    // a set of casts that describes the statement is found (all of them, else
    // all but one), and then each cast the engine does without is dropped. Each
    // try prepares the statement again: past a few dozen parameters only all.
    constexpr size_t kMostTried = 32;
    std::vector<idx_t> candidates(untyped.begin(), untyped.end());
    const char* type = "VARCHAR";
    auto describes = [&](const std::set<idx_t>& cast) {
        try {
            PreparedStatementHandle next = PrepareText(connection, WithParameterHints(text, CastsTo(cast, type)));
            if (IsUndescribed(next.Get()))
                return false;
            ps = std::move(next);
            return true;
        } catch (const SqlError&) {
            return false;
        }
    };
    std::set<idx_t> cast;
    bool found = false;
    // Beside an arithmetic operator a number is meant; elsewhere text, as PostgreSQL prefers it.
    bool arithmetic = false;
    for (const Statement& s : SplitStatements(text)) {
        Tokens t = s.Significant();
        for (size_t k = 0; k < t.size(); ++k) {
            arithmetic |=
                untyped.count(ParameterNumber(*t[k])) && ((k > 0 && IsArithmetic(t, k - 1)) || IsArithmetic(t, k + 1));
        }
    }
    const std::array<const char*, 2> order =
        arithmetic ? std::array<const char*, 2>{"DOUBLE", "VARCHAR"} : std::array<const char*, 2>{"VARCHAR", "DOUBLE"};
    for (const char* t : order) {
        type = t;
        cast = std::set<idx_t>(candidates.begin(), candidates.end());
        found = describes(cast);
        for (size_t k = 0; !found && candidates.size() <= kMostTried && k < candidates.size(); ++k) {
            cast = std::set<idx_t>(candidates.begin(), candidates.end());
            cast.erase(candidates[k]);
            found = !cast.empty() && describes(cast);
        }
        if (found)
            break;
    }
    if (!found)
        throw SqlError("42P18", "could not determine data type of parameter $" + std::to_string(candidates.front()));
    for (size_t k = 0; candidates.size() <= kMostTried && k < candidates.size(); ++k) {
        std::set<idx_t> fewer = cast;
        // No cast at all is the text the engine left undescribed.
        if (fewer.erase(candidates[k]) && !fewer.empty() && describes(fewer))
            cast = std::move(fewer);
    }
    text = WithParameterHints(text, CastsTo(cast, type));
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
        case DUCKDB_TYPE_LIST:
            if (text.size() >= 2 && text.front() == '{' && text.back() == '}') {
                // PostgreSQL's array text {1,5} is the engine's list text [1,5].
                std::string list = text;
                bool quoted = false;
                for (size_t i = 0; i < list.size(); ++i) {
                    if (list[i] == '\\' && quoted) {
                        ++i;
                    } else if (list[i] == '"') {
                        quoted = !quoted;
                    } else if (!quoted && (list[i] == '{' || list[i] == '}')) {
                        list[i] = list[i] == '{' ? '[' : ']';
                    }
                }
                return duckdb_bind_varchar_length(ps, index, list.data(), list.size());
            }
            break;
        default:
            break;
    }
    // Anything else the engine casts, and judges, itself.
    return duckdb_bind_varchar_length(ps, index, text.data(), text.size());
}

constexpr uint32_t kTextOid = 25;

// Casts of the parameters whose types the client declared, to the engine's
// types for them; a type it does not know leaves its parameter to the engine.
std::map<idx_t, std::string> DeclaredTypeCasts(const std::vector<uint32_t>& declared) {
    static const std::map<uint32_t, const char*> kTypes = {
        {16, "BOOLEAN"}, {17, "BLOB"},        {20, "BIGINT"},        {21, "SMALLINT"},   {23, "INTEGER"},
        {25, "VARCHAR"}, {700, "REAL"},       {701, "DOUBLE"},       {1043, "VARCHAR"},  {1082, "DATE"},
        {1083, "TIME"},  {1114, "TIMESTAMP"}, {1184, "TIMESTAMPTZ"}, {1186, "INTERVAL"}, {1700, kUnconstrainedNumeric}};
    std::map<idx_t, std::string> casts;
    for (size_t i = 0; i < declared.size(); ++i) {
        auto it = kTypes.find(declared[i]);
        if (it != kTypes.end())
            casts[i + 1] = "CAST($" + std::to_string(i + 1) + " AS " + it->second + ")";
    }
    return casts;
}

// The type a parameter is described with: text where the engine could not
// tell, an array of its element's type for a list.
uint32_t ParameterOid(duckdb_logical_type type) {
    duckdb_type id = duckdb_get_type_id(type);
    if (id == DUCKDB_TYPE_LIST) {
        LogicalTypeHandle child(duckdb_list_type_child_type(type));
        static const std::map<uint32_t, uint32_t> kArrays = {{16, 1000},   {20, 1016},  {21, 1005},  {23, 1007},
                                                             {25, 1009},   {700, 1021}, {701, 1022}, {1043, 1015},
                                                             {1082, 1182}, {1700, 1231}};
        auto it = kArrays.find(ParameterOid(child.Get()));
        return it == kArrays.end() ? kTextOid : it->second;
    }
    if (id == DUCKDB_TYPE_INVALID || !IsEncodableType(type))
        return kTextOid;
    return ColumnEncoder(type).Describe("", kTextFormat).typeOid;
}

}  // namespace

bool FoldsSettings(const Statement& statement) {
    for (const Token& t : statement.tokens) {
        if (t.kind == Token::Kind::Word && t.value == "current_setting")
            return true;
    }
    return false;
}

std::string PreparedColumnName(duckdb_prepared_statement ps, idx_t i) {
    // The engine hands out a copy of the name that the caller frees.
    const char* name = duckdb_prepared_statement_column_name(ps, i);
    std::string out = name ? name : "?column?";
    duckdb_free(const_cast<char*>(name));
    return out;
}

EnginePlan PrepareEnginePlan(duckdb_connection connection, const Statement& statement, std::string rewritten,
                             uint64_t namesGeneration, const std::vector<uint32_t>& declared) {
    EnginePlan plan;
    auto casts = DeclaredTypeCasts(declared);
    std::string prepared = casts.empty() ? rewritten : WithParameterHints(rewritten, casts);
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
    for (idx_t i = 0; i < plan.parameterCount; ++i) {
        plan.parameterTypes.push_back(duckdb_param_type(ps, i + 1));
        LogicalTypeHandle type(duckdb_param_logical_type(ps, i + 1));
        plan.parameterOids.push_back(type.Get() ? ParameterOid(type.Get()) : kTextOid);
    }
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
    if (plan.parameterCount != params.size()) {
        throw SqlError("08P01", "The statement needs " + std::to_string(plan.parameterCount) + " parameters, but " +
                                    std::to_string(params.size()) + " were given.");
    }
    for (size_t i = 0; i < params.size(); ++i) {
        duckdb_state st =
            params[i] ? BindText(ps, i + 1, plan.parameterTypes[i], *params[i]) : duckdb_bind_null(ps, i + 1);
        if (st == DuckDBError)
            throw SqlError("22P02", "Parameter $" + std::to_string(i + 1) + " cannot be bound.");
    }
}

}  // namespace kelvod
