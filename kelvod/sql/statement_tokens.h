// Reading a statement's significant tokens one by one: the checks every
// parser of an intercepted statement makes, and its syntax error.
#pragma once

#include <string>
#include <vector>

#include "kelvod/sql/sql_lexer.h"

namespace kelvod {

using Tokens = std::vector<const Token*>;

inline bool IsWord(const Tokens& t, size_t i, const char* word) {
    return i < t.size() && t[i]->kind == Token::Kind::Word && t[i]->value == word;
}
inline bool IsSymbol(const Tokens& t, size_t i, const char* symbol) {
    return i < t.size() && t[i]->kind == Token::Kind::Symbol && t[i]->text == symbol;
}
inline bool IsName(const Tokens& t, size_t i) {
    return i < t.size() && (t[i]->kind == Token::Kind::Word || t[i]->kind == Token::Kind::Identifier);
}

[[noreturn]] inline void Syntax(const std::string& what) { throw SqlError("42601", "Syntax error: " + what + "."); }

}  // namespace kelvod
