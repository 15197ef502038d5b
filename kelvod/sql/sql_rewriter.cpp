// Classification of statements and parsing of the forms the server intercepts.
#include "kelvod/sql/sql_rewriter.h"
#include "kelvod/sql/statement_tokens.h"

#include <cctype>
#include <initializer_list>
#include <limits>

namespace kelvod {

namespace {

std::string Name(const Tokens& t, size_t& i, const char* what) {
    if (!IsName(t, i))
        Syntax(std::string("expected ") + what);
    return t[i++]->value;
}

// Paths arrive as quoted identifiers; a string literal is read the same way.
std::string Path(const Tokens& t, size_t& i) {
    if (i < t.size() && (t[i]->kind == Token::Kind::Identifier || t[i]->kind == Token::Kind::String))
        return t[i++]->value;
    Syntax("expected a quoted database path");
}

void ExpectEnd(const Tokens& t, size_t i) {
    if (i != t.size())
        Syntax("unexpected \"" + t[i]->text + "\"");
}

uint64_t Unsigned(const Tokens& t, size_t& i) {
    if (i >= t.size() || t[i]->kind != Token::Kind::Number ||
        t[i]->text.find_first_not_of("0123456789") != std::string::npos || t[i]->text.size() > 12)
        Syntax("expected an unsigned number in a type modifier");
    return std::stoull(t[i++]->text);
}

constexpr uint64_t kNoModifier = 4294967295ull;

int32_t LengthModifier(uint64_t n) {
    if (n == kNoModifier)
        return -1;
    if (n < 1 || n > 10485760) {
        throw SqlError("22023",
                       "Length " + std::to_string(n) + " is out of range: it must lie between 1 and 10485760.");
    }
    return static_cast<int32_t>(n + 4);
}

}  // namespace

void ParseColumnConstraints(const Tokens& t, size_t& i, ColumnDefinition& c) {
    for (;;) {
        if (IsWord(t, i, "not") && IsWord(t, i + 1, "null")) {
            c.notNull = true, i += 2;
        } else if (IsWord(t, i, "null")) {
            ++i;
        } else if (IsWord(t, i, "collate") && IsName(t, i + 1)) {
            c.collation = t[i + 1]->value, i += 2;
        } else {
            break;
        }
    }
}

DeclaredType ParseDeclaredType(const Tokens& t, size_t& i) {
    if (!IsName(t, i))
        Syntax("expected a type name");
    std::string n = t[i]->value;
    for (char& c : n)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ++i;
    auto lengthArg = [&](uint64_t dflt) -> uint64_t {
        if (!IsSymbol(t, i, "("))
            return dflt;
        ++i;
        uint64_t v = Unsigned(t, i);
        if (!IsSymbol(t, i, ")"))
            Syntax("expected \")\"");
        ++i;
        return v;
    };
    if (n == "boolean" || n == "bool")
        return {16, -1, "BOOLEAN"};
    if (n == "bigint" || n == "int8")
        return {20, -1, "BIGINT"};
    if (n == "smallint" || n == "int2")
        return {21, -1, "SMALLINT"};
    if (n == "int" || n == "integer" || n == "int4")
        return {23, -1, "INTEGER"};
    if (n == "double") {
        if (!IsWord(t, i, "precision"))
            Syntax("expected PRECISION after DOUBLE");
        ++i;
        return {701, -1, "DOUBLE"};
    }
    if (n == "float8")
        return {701, -1, "DOUBLE"};
    if (n == "oid")
        return {26, -1, "UINTEGER"};
    if (n == "bytea")
        return {17, -1, "BLOB"};
    if (n == "text")
        return {25, -1, "VARCHAR"};
    if (n == "json")
        return {114, -1, "JSON"};
    if (n == "date")
        return {1082, -1, "DATE"};
    if (n == "interval")
        return {1186, -1, "INTERVAL"};
    if (n == "time")
        return {1083, -1, "TIME"};
    if (n == "timestamptz")
        return {1184, -1, "TIMESTAMPTZ"};
    if (n == "geography")
        return {5003, -1, "BLOB"};
    if (n == "timestamp") {
        if (IsWord(t, i, "with") && IsWord(t, i + 1, "time") && IsWord(t, i + 2, "zone")) {
            i += 3;
            return {1184, -1, "TIMESTAMPTZ"};
        }
        if (IsWord(t, i, "without") && IsWord(t, i + 1, "time") && IsWord(t, i + 2, "zone"))
            i += 3;
        return {1114, -1, "TIMESTAMP"};
    }
    if (n == "varchar" || (n == "character" && IsWord(t, i, "varying"))) {
        if (n == "character")
            ++i;
        return {1043, LengthModifier(lengthArg(kNoModifier)), "VARCHAR"};
    }
    if (n == "char" || n == "character" || n == "bpchar") {
        int32_t mod = LengthModifier(lengthArg(1));
        return {static_cast<uint32_t>(mod == 5 ? 18 : 1042), mod, "VARCHAR"};
    }
    if (n == "numeric" || n == "decimal") {
        if (!IsSymbol(t, i, "("))
            return {1700, -1, kUnconstrainedNumeric};
        ++i;
        uint64_t p = Unsigned(t, i), s = 0;
        if (IsSymbol(t, i, ",")) {
            ++i;
            s = Unsigned(t, i);
        }
        if (!IsSymbol(t, i, ")"))
            Syntax("expected \")\"");
        ++i;
        if (p == kNoModifier && s == kNoModifier)
            return {1700, -1, kUnconstrainedNumeric};
        if (p < 1 || p > 38)
            throw SqlError("22023", "NUMERIC precision " + std::to_string(p) + " must lie between 1 and 38.");
        if (s > p) {
            throw SqlError("22023", "NUMERIC scale " + std::to_string(s) + " must lie between 0 and the precision " +
                                        std::to_string(p) + ".");
        }
        return {1700, static_cast<int32_t>(((p << 16) | s) + 4),
                "DECIMAL(" + std::to_string(p) + "," + std::to_string(s) + ")"};
    }
    throw SqlError("42704", "Type \"" + t[i - 1]->text + "\" does not exist.");
}

namespace {

// CREATE [TEMPORARY] TABLE [IF NOT EXISTS] name (col type [NOT NULL] [COLLATE c], ...).
// Returns false when the statement uses any other table syntax, which the engine then reads itself.
bool ParseCreateTable(const Tokens& t, CreateTableCommand& out) {
    size_t i = 1;
    if (IsWord(t, i, "temporary") || IsWord(t, i, "temp"))
        out.temporary = true, ++i;
    if (!IsWord(t, i, "table"))
        return false;
    ++i;
    if (IsWord(t, i, "if") && IsWord(t, i + 1, "not") && IsWord(t, i + 2, "exists"))
        out.ifNotExists = true, i += 3;
    if (!IsName(t, i))
        return false;
    out.name.push_back(t[i++]->value);
    while (IsSymbol(t, i, ".") && out.name.size() < 3) {
        ++i;
        if (!IsName(t, i))
            return false;
        out.name.push_back(t[i++]->value);
    }
    if (!IsSymbol(t, i, "("))
        return false;
    ++i;
    if (IsSymbol(t, i, ")"))
        return i + 1 == t.size();
    for (;;) {
        ColumnDefinition c;
        if (!IsName(t, i))
            return false;
        c.name = t[i++]->value;
        size_t save = i;
        try {
            c.type = ParseDeclaredType(t, i);
        } catch (const SqlError&) {
            i = save;
            return false;
        }
        ParseColumnConstraints(t, i, c);
        out.columns.push_back(std::move(c));
        if (IsSymbol(t, i, ",")) {
            ++i;
            continue;
        }
        if (IsSymbol(t, i, ")") && i + 1 == t.size())
            return true;
        return false;
    }
}

}  // namespace

bool IsSavepointStatement(const Statement& statement) {
    Tokens t = statement.Significant();
    if (IsWord(t, 0, "savepoint") || IsWord(t, 0, "release"))
        return true;
    size_t i = IsWord(t, 1, "work") || IsWord(t, 1, "transaction") ? 2 : 1;
    return IsWord(t, 0, "rollback") && IsWord(t, i, "to");
}

namespace {

// Steps over the words of an optional clause when all of them stand at i.
bool Clause(const Tokens& t, size_t& i, std::initializer_list<const char*> words) {
    size_t at = i;
    for (const char* w : words) {
        if (!IsWord(t, at++, w))
            return false;
    }
    i = at;
    return true;
}

bool IfNotExists(const Tokens& t, size_t& i) { return Clause(t, i, {"if", "not", "exists"}); }
bool IfExists(const Tokens& t, size_t& i) { return Clause(t, i, {"if", "exists"}); }

// CREATE DATABASE [IF NOT EXISTS] "path" and DROP DATABASE [IF EXISTS] "path"
template <class C, bool C::*kFlag, bool (*kClause)(const Tokens&, size_t&)>
Command ParseDatabaseFile(const Statement&, const Tokens& t) {
    C c;
    size_t i = 2;
    c.*kFlag = kClause(t, i);
    c.path = Path(t, i);
    ExpectEnd(t, i);
    return c;
}

// ATTACH [DATABASE] "path" AS alias
Command ParseAttach(const Statement&, const Tokens& t) {
    AttachDatabaseCommand c;
    size_t i = IsWord(t, 1, "database") ? 2 : 1;
    c.path = Path(t, i);
    if (!IsWord(t, i, "as"))
        Syntax("ATTACH DATABASE needs an alias: ATTACH DATABASE \"path\" AS \"alias\"");
    ++i;
    c.alias = Name(t, i, "an alias");
    ExpectEnd(t, i);
    return c;
}

// DETACH [DATABASE] alias | *
Command ParseDetach(const Statement&, const Tokens& t) {
    DetachDatabaseCommand c;
    size_t i = IsWord(t, 1, "database") ? 2 : 1;
    if (IsSymbol(t, i, "*")) {
        c.all = true, ++i;
    } else {
        c.alias = Name(t, i, "an alias or *");
    }
    ExpectEnd(t, i);
    return c;
}

// CREATE SCHEMA [IF NOT EXISTS] [database.]schema
Command ParseCreateSchema(const Statement&, const Tokens& t) {
    CreateSchemaCommand c;
    size_t i = 2;
    c.ifNotExists = IfNotExists(t, i);
    c.schema = Name(t, i, "a schema name");
    if (IsSymbol(t, i, ".")) {
        ++i;
        c.database = std::move(c.schema);
        c.schema = Name(t, i, "a schema name");
    }
    ExpectEnd(t, i);
    return c;
}

// An external stream, or a table as the library declares it; any other CREATE is the engine's.
Command ParseCreate(const Statement& statement, const Tokens& t) {
    if (auto load = ClassifyLoadStatement(statement))
        return *load;
    CreateTableCommand c;
    if (ParseCreateTable(t, c))
        return c;
    return EngineStatement{};
}

Command ParseShow(const Statement&, const Tokens& t) {
    if (t.size() == 2 && IsName(t, 1))
        return ShowCommand{t[1]->value};
    return EngineStatement{};
}

// The value of SET, as written after TO or =: a list of names or literals.
std::string SetValue(const Tokens& t, size_t i) {
    std::string value;
    for (; i < t.size(); ++i) {
        if (t[i]->kind == Token::Kind::String) {
            value += t[i]->value;
        } else if (t[i]->kind == Token::Kind::Identifier) {
            value += QuoteIdentifier(t[i]->value);
        } else if (IsSymbol(t, i, ",")) {
            value += ", ";
        } else {
            value += t[i]->text;
        }
    }
    return value;
}

// SET [SESSION | LOCAL] of the settings the server keeps itself; the engine's settings are the engine's.
Command ParseSet(const Statement&, const Tokens& t) {
    size_t i = IsWord(t, 1, "session") || IsWord(t, 1, "local") ? 2 : 1;
    if (!IsName(t, 1) || !IsName(t, i))
        return EngineStatement{};
    std::string name = t[i++]->value;
    if (name != "search_path" && name != "schema_search_path" && name != "external_client_context")
        return EngineStatement{};
    if (!(IsWord(t, i, "to") || IsSymbol(t, i, "=")))
        Syntax("expected TO or = after SET " + name);
    return SetCommand{name, SetValue(t, i + 1)};
}

// The parenthesis that closes the one at `open`; 0 when none does.
size_t ClosingParenthesis(const Tokens& t, size_t open) {
    int depth = 0;
    for (size_t k = open; k < t.size(); ++k) {
        if (IsSymbol(t, k, "(")) {
            ++depth;
        } else if (IsSymbol(t, k, ")") && --depth == 0) {
            return k;
        }
    }
    return 0;
}

// The statement's tokens strictly between two of its tokens.
Statement TokensBetween(const Statement& statement, const Token* open, const Token* close) {
    Statement inner;
    bool inside = false;
    for (const auto& tok : statement.tokens) {
        if (&tok == close)
            break;
        if (inside)
            inner.tokens.push_back(tok);
        if (&tok == open)
            inside = true;
    }
    return inner;
}

// [WITH] (FORMAT text | FORMAT kelvobinary) from `k`: every other option is
// refused, not ignored. Empty when the options are sound.
std::optional<RefusedCommand> ReadCopyOptions(const Tokens& t, size_t k, CopyToStdoutCommand& c) {
    if (IsWord(t, k, "with"))
        ++k;
    if (k == t.size())
        return std::nullopt;
    if (!IsSymbol(t, k, "("))
        return RefusedCommand{"0A000", "COPY TO STDOUT takes its options as (FORMAT text) or (FORMAT KELVOBINARY)."};
    for (++k; k < t.size() && !IsSymbol(t, k, ")"); ++k) {
        if (IsSymbol(t, k, ","))
            continue;
        if (!IsWord(t, k, "format"))
            return RefusedCommand{"0A000", "The COPY option \"" + t[k]->text + "\" is not supported."};
        ++k;
        if (IsWord(t, k, "kelvobinary")) {
            c.binary = true;
        } else if (IsWord(t, k, "binary")) {
            return RefusedCommand{"0A000",
                                  "COPY TO STDOUT does not write PostgreSQL's binary format; use FORMAT "
                                  "KELVOBINARY or text."};
        } else if (!IsWord(t, k, "text")) {
            return RefusedCommand{"0A000", "COPY TO STDOUT writes FORMAT text or KELVOBINARY only."};
        }
    }
    if (!IsSymbol(t, k, ")") || k + 1 != t.size())
        Syntax("unexpected end of the COPY options");
    return std::nullopt;
}

// COPY name FROM STDIN (a load), or COPY (query) TO STDOUT [WITH (FORMAT ...)].
Command ParseCopy(const Statement& statement, const Tokens& t) {
    if (auto load = ClassifyLoadStatement(statement))
        return *load;
    if (!IsSymbol(t, 1, "("))
        return RefusedCommand{"0A000", "COPY is supported only as COPY (query) TO STDOUT and as COPY name FROM STDIN."};
    size_t close = ClosingParenthesis(t, 1);
    if (close == 0 || !IsWord(t, close + 1, "to") || !IsWord(t, close + 2, "stdout"))
        return RefusedCommand{"0A000", "COPY is supported only as COPY (query) TO STDOUT."};
    CopyToStdoutCommand c;
    c.query = TokensBetween(statement, t[1], t[close]);
    if (auto refused = ReadCopyOptions(t, close + 3, c))
        return *refused;
    return c;
}

// The statements the server runs itself, by their first words (the second:
// null for any), tried in order.
struct ServerForm {
    const char* first;
    const char* second;
    Command (*parse)(const Statement& statement, const Tokens& t);
};
constexpr ServerForm kServerForms[] = {
    {"create", "database", ParseDatabaseFile<CreateDatabaseCommand, &CreateDatabaseCommand::ifNotExists, IfNotExists>},
    {"create", "schema", ParseCreateSchema},
    {"create", nullptr, ParseCreate},
    {"drop", "database", ParseDatabaseFile<DropDatabaseCommand, &DropDatabaseCommand::ifExists, IfExists>},
    {"attach", nullptr, ParseAttach},
    {"detach", nullptr, ParseDetach},
    {"show", nullptr, ParseShow},
    {"set", nullptr, ParseSet},
    {"copy", nullptr, ParseCopy},
};

}  // namespace

Command ClassifyStatement(const Statement& statement) {
    Tokens t = statement.Significant();
    if (t.empty())
        return EngineStatement{};
    if (IsSavepointStatement(statement))
        return RefusedCommand{"0A000", "Savepoints are not supported; the transaction block fails as a whole."};
    for (const ServerForm& form : kServerForms) {
        if (IsWord(t, 0, form.first) && (!form.second || IsWord(t, 1, form.second)))
            return form.parse(statement, t);
    }
    // The other loading statements: DROP and CLOSE EXTERNAL STREAM, INSERT BULK.
    if (auto load = ClassifyLoadStatement(statement))
        return *load;
    return EngineStatement{};
}

std::vector<const char*> EngineTypeSpellings(const Statement& statement) {
    const auto& all = statement.tokens;
    std::vector<size_t> at;  // the significant tokens' places in `all`
    for (size_t k = 0; k < all.size(); ++k) {
        if (all[k].kind != Token::Kind::Space)
            at.push_back(k);
    }
    Tokens t = statement.Significant();
    std::vector<const char*> out(all.size(), nullptr);
    bool definesColumns = IsWord(t, 0, "create") || IsWord(t, 0, "alter");
    std::vector<bool> castParens;  // per open parenthesis: whether it opened a CAST
    for (size_t i = 0; i < t.size(); ++i) {
        if (IsSymbol(t, i, "(")) {
            castParens.push_back(i > 0 && (IsWord(t, i - 1, "cast") || IsWord(t, i - 1, "try_cast")));
        } else if (IsSymbol(t, i, ")") && !castParens.empty()) {
            castParens.pop_back();
        }
        bool numeric = IsWord(t, i, "numeric") || IsWord(t, i, "decimal");
        if (!(numeric || IsWord(t, i, "float")) || IsSymbol(t, i + 1, "(") || i == 0)
            continue;
        bool type = IsSymbol(t, i - 1, "::") || IsWord(t, i - 1, "type") ||
                    (IsWord(t, i - 1, "as") && !castParens.empty() && castParens.back());
        if (definesColumns && IsName(t, i - 1) && i >= 2) {
            type |= IsSymbol(t, i - 2, "(") || IsSymbol(t, i - 2, ",") || IsWord(t, i - 2, "column") ||
                    IsWord(t, i - 2, "add");
        }
        if (type)
            out[at[i]] = numeric ? kUnconstrainedNumeric : "DOUBLE";
    }
    return out;
}

Statement WithNulCharactersRefused(const Statement& statement) {
    const auto& all = statement.tokens;
    auto next = [&](size_t k) {
        while (k < all.size() && all[k].kind == Token::Kind::Space)
            ++k;
        return k;
    };
    auto isSymbol = [&](size_t k, const char* s) {
        return k < all.size() && all[k].kind == Token::Kind::Symbol && all[k].text == s;
    };
    Statement out;
    for (size_t k = 0; k < all.size(); ++k) {
        out.tokens.push_back(all[k]);
        size_t open = next(k + 1);
        if (all[k].kind != Token::Kind::Word || all[k].value != "chr" || !isSymbol(open, "("))
            continue;
        size_t close = open;
        for (int depth = 0; close < all.size(); close = next(close + 1)) {
            depth += isSymbol(close, "(") ? 1 : isSymbol(close, ")") ? -1 : 0;
            if (depth == 0)
                break;
        }
        if (close >= all.size())
            continue;  // the engine reports the unbalanced text
        std::vector<Token> argument(all.begin() + static_cast<std::ptrdiff_t>(open) + 1,
                                    all.begin() + static_cast<std::ptrdiff_t>(close));
        auto text = [](const char* t) { return Token{Token::Kind::Other, t, {}}; };
        out.tokens.push_back(text("((CASE WHEN ("));
        out.tokens.insert(out.tokens.end(), argument.begin(), argument.end());
        out.tokens.push_back(text(") = 0 THEN error('null character not permitted') ELSE ("));
        out.tokens.insert(out.tokens.end(), argument.begin(), argument.end());
        out.tokens.push_back(text(") END))"));
        k = close;
    }
    return out;
}

std::string CommandTagFor(const Statement& statement) {
    Tokens t = statement.Significant();
    auto upper = [](std::string s) {
        for (char& c : s)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return s;
    };
    if (t.empty() || t[0]->kind != Token::Kind::Word)
        return "OK";
    std::string first = upper(t[0]->value);
    if ((first == "CREATE" || first == "DROP" || first == "ALTER") && t.size() > 1 && t[1]->kind == Token::Kind::Word) {
        size_t k = 1;
        if (first == "CREATE" && (IsWord(t, k, "or") && IsWord(t, k + 1, "replace")))
            k += 2;
        if (first == "CREATE" && (IsWord(t, k, "temporary") || IsWord(t, k, "temp") || IsWord(t, k, "unique")))
            ++k;
        if (k < t.size() && t[k]->kind == Token::Kind::Word)
            return first + " " + upper(t[k]->value);
    }
    if (first == "BEGIN" || first == "START")
        return "BEGIN";
    if (first == "END")
        return "COMMIT";
    if (first == "ABORT")
        return "ROLLBACK";
    return first;
}

}  // namespace kelvod
