// Mapping of engine errors to SQLSTATEs.
#include "kelvod/engine/engine_errors.h"

#include <cstdlib>
#include <string>

namespace kelvod {

namespace {

bool Has(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

// Each engine error type: the name its texts lead with, and the nearest SQLSTATE
// where the text tells nothing finer. Types with no PostgreSQL counterpart
// (the engine's internal stages) are internal errors.
struct EngineType {
    duckdb_error_type type;
    std::string_view name;
    const char* sqlstate;
};

constexpr EngineType kEngineTypes[] = {
    {DUCKDB_ERROR_INVALID, "Invalid", "XX000"},
    {DUCKDB_ERROR_OUT_OF_RANGE, "Out of Range", "22003"},
    {DUCKDB_ERROR_CONVERSION, "Conversion", "22P02"},
    {DUCKDB_ERROR_UNKNOWN_TYPE, "Unknown Type", "42704"},
    {DUCKDB_ERROR_DECIMAL, "Decimal", "XX000"},
    {DUCKDB_ERROR_MISMATCH_TYPE, "Mismatch Type", "42804"},
    {DUCKDB_ERROR_DIVIDE_BY_ZERO, "Divide by Zero", "22012"},
    {DUCKDB_ERROR_OBJECT_SIZE, "Object Size", "54000"},
    {DUCKDB_ERROR_INVALID_TYPE, "Invalid type", "XX000"},
    {DUCKDB_ERROR_SERIALIZATION, "Serialization", "40001"},
    {DUCKDB_ERROR_TRANSACTION, "TransactionContext", "25000"},
    {DUCKDB_ERROR_NOT_IMPLEMENTED, "Not implemented", "0A000"},
    {DUCKDB_ERROR_EXPRESSION, "Expression", "XX000"},
    {DUCKDB_ERROR_CATALOG, "Catalog", "42P01"},
    {DUCKDB_ERROR_PARSER, "Parser", "42601"},
    {DUCKDB_ERROR_PLANNER, "Planner", "XX000"},
    {DUCKDB_ERROR_SCHEDULER, "Scheduler", "XX000"},
    {DUCKDB_ERROR_EXECUTOR, "Executor", "XX000"},
    {DUCKDB_ERROR_CONSTRAINT, "Constraint", "23000"},
    {DUCKDB_ERROR_INDEX, "Index", "XX000"},
    {DUCKDB_ERROR_STAT, "Stat", "XX000"},
    {DUCKDB_ERROR_CONNECTION, "Connection", "XX000"},
    {DUCKDB_ERROR_SYNTAX, "Syntax", "42601"},
    {DUCKDB_ERROR_SETTINGS, "Settings", "XX000"},
    {DUCKDB_ERROR_BINDER, "Binder", "42000"},
    {DUCKDB_ERROR_NETWORK, "Network", "XX000"},
    {DUCKDB_ERROR_OPTIMIZER, "Optimizer", "XX000"},
    {DUCKDB_ERROR_NULL_POINTER, "NullPointer", "XX000"},
    {DUCKDB_ERROR_IO, "IO", "58030"},
    {DUCKDB_ERROR_INTERRUPT, "INTERRUPT", "57014"},
    {DUCKDB_ERROR_FATAL, "FATAL", "XX000"},
    {DUCKDB_ERROR_INTERNAL, "INTERNAL", "XX000"},
    {DUCKDB_ERROR_INVALID_INPUT, "Invalid Input", "22023"},
    {DUCKDB_ERROR_OUT_OF_MEMORY, "Out of Memory", "53200"},
    {DUCKDB_ERROR_PERMISSION, "Permission", "42501"},
    {DUCKDB_ERROR_PARAMETER_NOT_RESOLVED, "Parameter Not Resolved", "42P18"},
    {DUCKDB_ERROR_PARAMETER_NOT_ALLOWED, "Parameter Not Allowed", "XX000"},
    {DUCKDB_ERROR_DEPENDENCY, "Dependency", "2BP01"},
    {DUCKDB_ERROR_HTTP, "HTTP", "XX000"},
    {DUCKDB_ERROR_MISSING_EXTENSION, "Missing Extension", "0A000"},
    {DUCKDB_ERROR_AUTOLOAD, "Extension Autoloading", "0A000"},
    {DUCKDB_ERROR_SEQUENCE, "Sequence", "2200H"},
    {DUCKDB_INVALID_CONFIGURATION, "Invalid Configuration", "XX000"},
};

const EngineType* TypeNamed(std::string_view name) {
    for (const auto& t : kEngineTypes) {
        if (t.name == name)
            return &t;
    }
    return nullptr;
}

// The engine writes each error as "<Kind> Error: <message>".
constexpr std::string_view kLeadEnd = " Error: ";

// The type that the first line of `text` leads with, if any.
const EngineType* LeadType(std::string_view text) {
    size_t colon = text.find(kLeadEnd);
    return colon < text.find('\n') ? TypeNamed(text.substr(0, colon)) : nullptr;
}

const char* TypeState(duckdb_error_type type) {
    for (const auto& t : kEngineTypes) {
        if (t.type == type)
            return t.sqlstate;
    }
    return "XX000";
}

// Whether the engine could not read text as an integer type because the
// number, well formed, lies outside it ("Could not convert string '-9...9' to INT32").
bool IsIntegerOutOfRange(std::string_view m) {
    constexpr std::string_view kLead = "Could not convert string '";
    size_t at = m.find(kLead);
    if (at == std::string_view::npos || (!Has(m, "' to INT") && !Has(m, "' to UINT")))
        return false;
    std::string_view digits = m.substr(at + kLead.size());
    digits = digits.substr(0, digits.find('\''));
    if (!digits.empty() && (digits[0] == '-' || digits[0] == '+'))
        digits.remove_prefix(1);
    return !digits.empty() && digits.find_first_not_of("0123456789") == std::string_view::npos;
}

// The SQLSTATE of a failure that a commit or checkpoint wraps into its own
// type: only the text still names the cause. nullptr when it names none.
const char* WrappedCauseState(std::string_view m) {
    if (Has(m, "No space left on device") || Has(m, "disk is full") || Has(m, "Disk full"))
        return "53100";
    if (Has(m, "failed to pin block") || Has(m, "could not allocate block") || Has(m, "Out of Memory Error"))
        return "53200";
    return nullptr;
}

const char* CatalogState(std::string_view m) {
    if (Has(m, "unrecognized configuration parameter"))
        return "42704";
    if (Has(m, "already exists"))
        return Has(m, "Schema") ? "42P06" : "42P07";
    // A table in a missing schema is a missing relation, as PostgreSQL clients expect.
    if (Has(m, "Table with name"))
        return "42P01";
    if (Has(m, "Schema with name") || Has(m, "schema") || Has(m, "Catalog with name") || Has(m, "Catalog \""))
        return "3F000";
    if (Has(m, "Function with name") || Has(m, "Macro Function"))
        return "42883";
    if (Has(m, "Type with name"))
        return "42704";
    return nullptr;
}

// EXECUTE of an unknown name fails in the binder, a prepared statement's own
// execution as invalid input.
bool IsUnknownPrepared(std::string_view m) { return Has(m, "Prepared statement") && Has(m, "does not exist"); }

const char* BinderState(std::string_view m) {
    if (IsUnknownPrepared(m))
        return "26000";
    if (Has(m, "Catalog \"") && Has(m, "does not exist"))
        return "3F000";
    if (Has(m, "column") || Has(m, "Column"))
        return "42703";
    if (Has(m, "function"))
        return "42883";
    return nullptr;
}

const char* ConstraintState(std::string_view m) {
    if (Has(m, "NOT NULL"))
        return "23502";
    if (Has(m, "PRIMARY KEY") || Has(m, "UNIQUE") || Has(m, "Duplicate key"))
        return "23505";
    if (Has(m, "foreign key") || Has(m, "FOREIGN KEY"))
        return "23503";
    if (Has(m, "CHECK"))
        return "23514";
    return nullptr;
}

const char* ConversionState(std::string_view m) {
    if (Has(m, "date/time field value out of range"))
        return "22008";
    if (Has(m, "type date"))
        return "22007";
    if (Has(m, "out of range") || IsIntegerOutOfRange(m) || (Has(m, "Could not cast value") && Has(m, "to DECIMAL")))
        return "22003";
    return nullptr;
}

const char* InvalidInputState(std::string_view m) {
    if (Has(m, "null character not permitted"))
        return "54000";  // chr(0), as PostgreSQL refuses it
    if (IsUnknownPrepared(m))
        return "26000";
    if (Has(m, "configuration has been locked"))
        return "42501";
    if (Has(m, "ivision by zero"))
        return "22012";
    return nullptr;
}

const char* TransactionState(std::string_view m) {
    // A key that another transaction committed first is found only at commit.
    if (Has(m, "constraint violation") || Has(m, "Duplicate key"))
        return "23505";
    // Write-write conflicts: clients retry on 40001.
    if (Has(m, "onflict"))
        return "40001";
    if (Has(m, "aborted"))
        return "25P02";
    return nullptr;
}

// The cases that the text of one type tells apart; nullptr for the type's own SQLSTATE.
const char* CaseState(duckdb_error_type type, std::string_view m) {
    switch (type) {
        case DUCKDB_ERROR_CATALOG:
            return CatalogState(m);
        case DUCKDB_ERROR_BINDER:
            return BinderState(m);
        case DUCKDB_ERROR_CONSTRAINT:
            return ConstraintState(m);
        case DUCKDB_ERROR_CONVERSION:
            return ConversionState(m);
        case DUCKDB_ERROR_INVALID_INPUT:
            return InvalidInputState(m);
        case DUCKDB_ERROR_TRANSACTION:
            return TransactionState(m);
        default:
            return nullptr;
    }
}

std::string StateFor(duckdb_error_type type, std::string_view m) {
    const char* state = WrappedCauseState(m);
    if (!state)
        state = CaseState(type, m);
    return state ? state : TypeState(type);
}

// The value of one string field of the JSON form in which the engine passes
// some errors on from its threads; "" when it is missing.
std::string JsonField(std::string_view json, std::string_view name) {
    std::string key = "\"" + std::string(name) + "\":\"";
    size_t at = json.find(key);
    if (at == std::string_view::npos)
        return "";
    std::string out;
    for (size_t i = at + key.size(); i < json.size() && json[i] != '"'; ++i) {
        if (json[i] != '\\' || i + 1 == json.size()) {
            out += json[i];
            continue;
        }
        char c = json[++i];
        if (c == 'n') {
            out += '\n';
        } else if (c == 't') {
            out += '\t';
        } else if (c == 'u' && i + 4 < json.size()) {
            unsigned long code = std::strtoul(std::string(json.substr(i + 1, 4)).c_str(), nullptr, 16);
            out += code < 0x80 ? static_cast<char>(code) : '?';
            i += 4;
        } else
            out += c;
    }
    return out;
}

// Splits the first line (the message) from the further ones: a suggestion
// becomes the hint, the engine's own cursor display ("LINE n:" and its caret
// line) is dropped, the rest is detail.
void SplitLines(std::string_view text, ErrorFields& e) {
    size_t newline = text.find('\n');
    e.message = std::string(text.substr(0, newline));
    if (newline == std::string_view::npos)
        return;
    std::string_view rest = text.substr(newline + 1);
    bool skipCaret = false;
    while (!rest.empty()) {
        size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        std::string_view trimmed = line;
        while (!trimmed.empty() && (trimmed.front() == ' ' || trimmed.front() == '\t'))
            trimmed.remove_prefix(1);
        if (skipCaret) {
            skipCaret = false;
            continue;
        }
        if (trimmed.empty())
            continue;
        if (trimmed.rfind("LINE ", 0) == 0) {
            skipCaret = true;
            continue;
        }
        if (trimmed.rfind("Did you mean", 0) == 0) {
            if (e.hint.empty())
                e.hint = std::string(trimmed);
            continue;
        }
        if (!e.detail.empty())
            e.detail += "\n";
        e.detail += std::string(line);
    }
}

struct Classification {
    duckdb_error_type type;
    ErrorFields fields;
};

// The fields of `text` without its lead, and its type: the one that the text
// names where it is the original failure's (the JSON form), else `type`.
Classification Classify(duckdb_error_type type, std::string_view text) {
    std::string unwrapped;
    if (text.rfind("{\"exception_type\":", 0) == 0) {
        if (const EngineType* named = TypeNamed(JsonField(text, "exception_type")))
            type = named->type;
        unwrapped = JsonField(text, "exception_message");
        text = unwrapped;
    } else if (const EngineType* named = LeadType(text)) {
        // The lead repeats the type; it is not part of the message.
        text.remove_prefix(named->name.size() + kLeadEnd.size());
    }
    Classification c{type, {}};
    SplitLines(text, c.fields);
    c.fields.sqlstate = StateFor(type, c.fields.message);
    return c;
}

EngineError Classified(duckdb_error_type type, std::string_view text) {
    Classification c = Classify(type, text);
    return EngineError(c.type, c.fields);
}

}  // namespace

ErrorFields EngineErrorFields(duckdb_error_type type, std::string_view text) { return Classify(type, text).fields; }

ErrorFields EngineError::Fields() const {
    ErrorFields e;
    e.sqlstate = sqlstate;
    e.message = what();
    e.detail = detail;
    e.hint = hint;
    return e;
}

EngineError ResultError(duckdb_result& result) {
    const char* text = duckdb_result_error(&result);
    return Classified(duckdb_result_error_type(&result), text ? text : "");
}

EngineError ErrorDataError(duckdb_error_data error, const char* fallback) {
    const char* text = error ? duckdb_error_data_message(error) : nullptr;
    if (!text || !*text)
        return Classified(DUCKDB_ERROR_INVALID, fallback);
    return Classified(duckdb_error_data_error_type(error), text);
}

EngineError TextError(const char* text, const char* fallback) {
    std::string_view t = text && *text ? text : fallback;
    const EngineType* named = LeadType(t);
    return Classified(named ? named->type : DUCKDB_ERROR_INVALID, t);
}

bool CommittedDespite(const EngineError& error) {
    return error.type == DUCKDB_ERROR_IO && Has(error.what(), "COMMIT succeeded and is durable");
}

bool NoTransactionWasActive(const EngineError& error) {
    return error.type == DUCKDB_ERROR_TRANSACTION && Has(error.what(), "no transaction is active");
}

}  // namespace kelvod
