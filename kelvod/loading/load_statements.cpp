// Parsing of the statements that load rows: COPY FROM STDIN in the KLVCPY
// format, the external stream's CREATE, CLOSE and DROP, and INSERT BULK.
#include "kelvod/sql/sql_rewriter.h"
#include "kelvod/sql/statement_tokens.h"

namespace kelvod {

namespace {

void Expect(const Tokens& t, size_t& i, const char* symbol) {
    if (!IsSymbol(t, i, symbol)) {
        Syntax(std::string("expected \"") + symbol + "\"" +
               (i < t.size() ? " before \"" + t[i]->text + "\"" : " at the end"));
    }
    ++i;
}

std::vector<std::string> QualifiedName(const Tokens& t, size_t& i, const char* what) {
    std::vector<std::string> parts;
    if (!IsName(t, i))
        Syntax(std::string("expected ") + what);
    parts.push_back(t[i++]->value);
    while (IsSymbol(t, i, ".")) {
        ++i;
        if (!IsName(t, i) || parts.size() == 3)
            Syntax(std::string("expected ") + what);
        parts.push_back(t[i++]->value);
    }
    return parts;
}

// ( name, name, ... ) when present.
std::vector<std::string> ColumnList(const Tokens& t, size_t& i) {
    std::vector<std::string> columns;
    if (!IsSymbol(t, i, "(") || IsWord(t, i + 1, "select"))
        return columns;
    ++i;
    for (;;) {
        if (!IsName(t, i))
            Syntax("expected a column name");
        columns.push_back(t[i++]->value);
        if (IsSymbol(t, i, ",")) {
            ++i;
            continue;
        }
        Expect(t, i, ")");
        return columns;
    }
}

// ( FORMAT KELVOBINARY [, SANITIZE] ): the one format these statements read.
void LoadOptions(const Tokens& t, size_t& i, const char* statement) {
    Expect(t, i, "(");
    bool binary = false;
    for (;;) {
        if (IsWord(t, i, "format")) {
            ++i;
            if (i >= t.size())
                Syntax("expected a format name");
            std::string format = t[i]->value;
            ++i;
            if (format != "kelvobinary") {
                throw SqlError("0A000",
                               std::string(statement) + " supports only FORMAT KELVOBINARY, not \"" + format + "\".");
            }
            binary = true;
        } else if (IsWord(t, i, "sanitize")) {
            ++i;  // text values are always checked for valid UTF-8
        } else {
            Syntax(std::string("unknown option ") + (i < t.size() ? "\"" + t[i]->text + "\"" : "at the end"));
        }
        if (IsSymbol(t, i, ",")) {
            ++i;
            continue;
        }
        Expect(t, i, ")");
        break;
    }
    if (!binary)
        throw SqlError("0A000", std::string(statement) + " needs FORMAT KELVOBINARY.");
}

void ExpectEnd(const Tokens& t, size_t i) {
    if (i != t.size())
        Syntax("unexpected \"" + t[i]->text + "\"");
}

std::vector<ColumnDefinition> ColumnDefinitions(const Tokens& t, size_t& i) {
    std::vector<ColumnDefinition> columns;
    Expect(t, i, "(");
    if (IsSymbol(t, i, ")"))
        Syntax("an external stream needs at least one column");
    for (;;) {
        ColumnDefinition c;
        if (!IsName(t, i))
            Syntax("expected a column name");
        c.name = t[i++]->value;
        c.type = ParseDeclaredType(t, i);
        ParseColumnConstraints(t, i, c);
        columns.push_back(std::move(c));
        if (IsSymbol(t, i, ",")) {
            ++i;
            continue;
        }
        Expect(t, i, ")");
        return columns;
    }
}

Command CopyFrom(const Tokens& t) {
    size_t i = 1;
    CopyFromStdinCommand c;
    c.target = QualifiedName(t, i, "a table name");
    c.columns = ColumnList(t, i);
    if (!IsWord(t, i, "from") || !IsWord(t, i + 1, "stdin"))
        Syntax("expected FROM STDIN");
    i += 2;
    if (IsWord(t, i, "with"))
        ++i;
    if (i == t.size())
        throw SqlError("0A000", "COPY FROM STDIN needs FORMAT KELVOBINARY.");
    LoadOptions(t, i, "COPY FROM STDIN");
    ExpectEnd(t, i);
    return c;
}

Command CreateStream(const Tokens& t) {
    size_t i = 1;
    if (IsWord(t, i, "bounded")) {
        ++i;
    } else {
        throw SqlError("0A000", "Only bounded external streams are supported.");
    }
    i += 2;  // EXTERNAL STREAM, checked by the caller
    CreateStreamCommand c;
    if (IsWord(t, i, "if") && IsWord(t, i + 1, "not") && IsWord(t, i + 2, "exists"))
        c.ifNotExists = true, i += 3;
    c.name = QualifiedName(t, i, "a stream name");
    c.columns = ColumnDefinitions(t, i);
    // (WITH (FORMAT KELVOBINARY, SANITIZE)), also without the outer parentheses.
    bool outer = IsSymbol(t, i, "(") && IsWord(t, i + 1, "with");
    if (outer)
        ++i;
    if (!IsWord(t, i, "with"))
        throw SqlError("0A000", "An external stream needs WITH (FORMAT KELVOBINARY).");
    ++i;
    LoadOptions(t, i, "An external stream");
    if (outer)
        Expect(t, i, ")");
    ExpectEnd(t, i);
    return c;
}

Command InsertBulk(const Statement& statement, const Tokens& t) {
    size_t i = 2;
    if (!IsWord(t, i, "into"))
        Syntax("expected INTO after INSERT BULK");
    ++i;
    InsertBulkCommand c;
    c.target = QualifiedName(t, i, "a table name");
    c.columns = ColumnList(t, i);
    Expect(t, i, "(");
    if (!IsWord(t, i, "select"))
        Syntax("expected (SELECT ...) in INSERT BULK");
    const Token* first = i + 1 < t.size() ? t[i + 1] : nullptr;
    size_t end = ++i;
    int depth = 0;
    for (; end < t.size(); ++end) {
        if (IsSymbol(t, end, "(")) {
            ++depth;
        } else if (IsSymbol(t, end, ")") && depth-- == 0) {  // NOLINT(bugprone-branch-clone): ends at ) or at FROM
            break;
        } else if (depth == 0 && IsWord(t, end, "from")) {
            break;
        }
    }
    if (end == t.size())
        Syntax("expected \")\" after the select list of INSERT BULK");
    if (end == i)
        Syntax("the select list of INSERT BULK is empty");
    const Token* stop = t[end];
    bool inside = false;
    for (const auto& tok : statement.tokens) {
        if (&tok == first)
            inside = true;
        if (&tok == stop)
            break;
        if (inside)
            c.selectList.tokens.push_back(tok);
    }
    i = end;
    if (IsWord(t, i, "from")) {
        if (!IsWord(t, i + 1, "external") || !IsWord(t, i + 2, "stream"))
            throw SqlError("0A000", "INSERT BULK reads only FROM EXTERNAL STREAM.");
        i += 3;
        c.stream = QualifiedName(t, i, "a stream name");
    }
    Expect(t, i, ")");
    ExpectEnd(t, i);
    return c;
}

}  // namespace

std::optional<Command> ClassifyLoadStatement(const Statement& statement) {
    Tokens t = statement.Significant();
    if (IsWord(t, 0, "copy") && !IsSymbol(t, 1, "(")) {
        for (size_t k = 1; k + 1 < t.size(); ++k) {
            if (IsWord(t, k, "from") && IsWord(t, k + 1, "stdin"))
                return CopyFrom(t);
        }
        return std::nullopt;
    }
    if (IsWord(t, 0, "create") && (IsWord(t, 1, "bounded") || IsWord(t, 1, "external"))) {
        size_t k = IsWord(t, 1, "bounded") ? 2 : 1;
        if (!IsWord(t, k, "external") || !IsWord(t, k + 1, "stream"))
            Syntax("expected EXTERNAL STREAM");
        return CreateStream(t);
    }
    if (IsWord(t, 0, "close") && IsWord(t, 1, "external") && IsWord(t, 2, "stream")) {
        size_t i = 3;
        CloseStreamCommand c{QualifiedName(t, i, "a stream name")};
        ExpectEnd(t, i);
        return c;
    }
    if (IsWord(t, 0, "drop") && IsWord(t, 1, "external") && IsWord(t, 2, "stream")) {
        size_t i = 3;
        DropStreamCommand c;
        if (IsWord(t, i, "if") && IsWord(t, i + 1, "exists"))
            c.ifExists = true, i += 2;
        c.name = QualifiedName(t, i, "a stream name");
        ExpectEnd(t, i);
        return c;
    }
    if (IsWord(t, 0, "insert") && IsWord(t, 1, "bulk"))
        return InsertBulk(statement, t);
    return std::nullopt;
}

}  // namespace kelvod
