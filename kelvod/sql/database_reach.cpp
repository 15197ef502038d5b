// Refusing names that resolve to other sessions' databases.
#include "kelvod/sql/database_reach.h"

#include <vector>

#include "kelvod/sql/statement_tokens.h"

namespace kelvod {

namespace {

[[noreturn]] void NotAttached(const std::string& database) {
    throw SqlError("3F000", "The database \"" + database + "\" is not attached to this session.",
                   "Attach it with ATTACH DATABASE first.");
}

// Words after which a name is a table, where the engine also takes db.table.
bool TakesTable(const Tokens& t, size_t i) {
    if (i >= t.size() || t[i]->kind != Token::Kind::Word)
        return false;
    for (const char* w : {"from", "join",   "into",       "update",  "table",   "truncate", "describe", "summarize",
                          "show", "only",   "view",       "pivot",   "unpivot", "sequence", "macro",    "function",
                          "type", "exists", "references", "lateral", "analyze", "vacuum"}) {
        if (t[i]->value == w)
            return true;
    }
    return false;
}

// Where a table may follow, or a table alias's column: the name is a table unless it is an alias.
bool MayTakeTable(const Tokens& t, size_t i) {
    return IsSymbol(t, i, ",") || IsWord(t, i, "on") || IsWord(t, i, "using") || IsWord(t, i, "index");
}

// The first part of a text naming schemas or objects ("db.schema", "\"db\".s"), folded as the engine reads it.
std::string FirstPart(const std::string& text) {
    size_t at = 0;
    while (at < text.size() && (text[at] == ' ' || text[at] == ','))
        ++at;
    if (at < text.size() && text[at] == '"') {
        size_t end = text.find('"', at + 1);
        return text.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
    }
    size_t end = text.find_first_of(".,", at);
    std::string part = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    while (!part.empty() && part.back() == ' ')
        part.pop_back();
    return part;
}

// Each entry of a comma-separated list of schemas, as text.
std::vector<std::string> Entries(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    bool quoted = false;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] == '"')
            quoted = !quoted;
        if (i == text.size() || (text[i] == ',' && !quoted)) {
            out.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    return out;
}

}  // namespace

void RefuseOtherSessionsDatabases(const Statement& statement,
                                  const std::function<bool(const std::string&)>& isOtherSessionsAlias) {
    Tokens t = statement.Significant();
    // SET [SESSION | LOCAL | GLOBAL] schema | search_path = 'db.schema, ...'
    if (IsWord(t, 0, "set") || IsWord(t, 0, "reset")) {
        size_t i = 1;
        bool global = IsWord(t, 1, "global");
        if (IsWord(t, 1, "session") || IsWord(t, 1, "local") || global)
            ++i;
        if (global &&
            (IsWord(t, i, "schema") || IsWord(t, i, "search_path") || IsWord(t, i, "preserve_insertion_order"))) {
            throw SqlError("42501", "SET GLOBAL " + t[i]->value + " is not allowed: it would change every session's.",
                           "Leave out GLOBAL.");
        }
        if (IsWord(t, i, "schema") || IsWord(t, i, "search_path")) {
            for (size_t k = i + 1; k < t.size(); ++k) {
                if (t[k]->kind != Token::Kind::String && t[k]->kind != Token::Kind::Identifier &&
                    t[k]->kind != Token::Kind::Word)
                    continue;
                std::string value = t[k]->kind == Token::Kind::Identifier ? QuoteIdentifier(t[k]->value) : t[k]->value;
                for (const auto& entry : Entries(value)) {
                    std::string first = FirstPart(entry);
                    if (!first.empty() && isOtherSessionsAlias(first))
                        NotAttached(first);
                }
            }
        }
    }
    // Names that appear on their own (table aliases), so that alias.column is not taken for db.table.
    auto bare = [&](const std::string& name) {
        for (size_t k = 0; k < t.size(); ++k) {
            if (IsName(t, k) && EqualsFolded(t[k]->value, name) && !IsSymbol(t, k + 1, ".") &&
                !(k > 0 && IsSymbol(t, k - 1, ".")))
                return true;
        }
        return false;
    };
    // Per parenthesis level: whether a FROM clause runs there (a "," in it starts another table).
    std::vector<bool> inFrom(1, false);
    for (size_t i = 0; i < t.size(); ++i) {
        if (IsSymbol(t, i, "(")) {
            inFrom.push_back(false);
        } else if (IsSymbol(t, i, ")") && inFrom.size() > 1) {
            inFrom.pop_back();
        } else if (IsWord(t, i, "from") || IsWord(t, i, "join")) {
            inFrom.back() = true;
        } else if (t[i]->kind == Token::Kind::Word &&
                   (t[i]->value == "where" || t[i]->value == "group" || t[i]->value == "order" ||
                    t[i]->value == "having" || t[i]->value == "limit" || t[i]->value == "select" ||
                    t[i]->value == "on" || t[i]->value == "using" || t[i]->value == "union" ||
                    t[i]->value == "window" || t[i]->value == "qualify" || t[i]->value == "returning")) {
            inFrom.back() = false;
        }
        // nextval('db.schema.sequence') and its kind name an object by text, checkpoint('db') a database.
        if (IsName(t, i) && IsSymbol(t, i + 1, "(") && i + 2 < t.size() && t[i + 2]->kind == Token::Kind::String) {
            for (const char* f : {"nextval", "currval", "setval"}) {
                if (EqualsFolded(t[i]->value, f)) {
                    std::string first = FirstPart(t[i + 2]->value);
                    if (t[i + 2]->value.find('.') != std::string::npos && isOtherSessionsAlias(first))
                        NotAttached(first);
                }
            }
            for (const char* f : {"checkpoint", "force_checkpoint"}) {
                if (EqualsFolded(t[i]->value, f) && isOtherSessionsAlias(t[i + 2]->value))
                    NotAttached(t[i + 2]->value);
            }
        }
        if (!IsName(t, i) || (i > 0 && IsSymbol(t, i - 1, ".")) || !isOtherSessionsAlias(t[i]->value))
            continue;
        const std::string& name = t[i]->value;
        // USE db, CHECKPOINT db and SHOW TABLES FROM db (which lists a database's tables).
        bool afterUse = i > 0 && (IsWord(t, i - 1, "use") || IsWord(t, i - 1, "checkpoint") ||
                                  (IsWord(t, 0, "show") && (IsWord(t, i - 1, "from") || IsWord(t, i - 1, "in"))));
        bool dotted = IsSymbol(t, i + 1, ".") && IsName(t, i + 2);
        bool threeParts = dotted && IsSymbol(t, i + 3, ".");
        bool tableItem = i > 0 && IsSymbol(t, i - 1, ",") && inFrom.back();
        bool twoParts =
            dotted && i > 0 && (TakesTable(t, i - 1) || tableItem || (MayTakeTable(t, i - 1) && !bare(name)));
        if (afterUse || threeParts || twoParts)
            NotAttached(name);
    }
}

}  // namespace kelvod
