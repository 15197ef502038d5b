// Building INSERT ... SELECT from names and a lexed select list.
#include "kelvod/sql/insert_select.h"

namespace kelvod {

namespace {

class StatementBuilder {
public:
    void Word(const char* text, const char* lower) {
        Add(Token::Kind::Word, text, lower);
        Space();
    }
    void Space() { Add(Token::Kind::Space, " ", {}); }
    void Symbol(const char* symbol) { Add(Token::Kind::Symbol, symbol, symbol); }
    // Quoted whatever it holds; the value is the name itself, as the lexer decodes a quoted identifier.
    void Name(const std::string& name) { Add(Token::Kind::Identifier, QuoteIdentifier(name), name); }
    // Names separated by `separator`: "a"."b" or "a", "b".
    void Names(const std::vector<std::string>& names, const char* separator, bool spaced) {
        for (size_t i = 0; i < names.size(); ++i) {
            if (i > 0) {
                Symbol(separator);
                if (spaced)
                    Space();
            }
            Name(names[i]);
        }
    }
    void Append(const Statement& tail) {
        m_statement.tokens.insert(m_statement.tokens.end(), tail.tokens.begin(), tail.tokens.end());
    }
    Statement Take() { return std::move(m_statement); }

private:
    void Add(Token::Kind kind, std::string text, std::string value) {
        m_statement.tokens.push_back(Token{kind, std::move(text), std::move(value)});
    }
    Statement m_statement;
};

}  // namespace

Statement InsertSelectStatement(const std::vector<std::string>& target, const std::vector<std::string>& columns,
                                const Statement& selectList) {
    StatementBuilder b;
    b.Word("INSERT", "insert");
    b.Word("INTO", "into");
    b.Names(target, ".", false);
    if (!columns.empty()) {
        b.Space();
        b.Symbol("(");
        b.Names(columns, ",", true);
        b.Symbol(")");
    }
    b.Space();
    b.Word("SELECT", "select");
    b.Append(selectList);
    return b.Take();
}

}  // namespace kelvod
