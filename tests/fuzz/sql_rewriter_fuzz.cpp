// The server's SQL lexer and rewriter on hostile text: every statement it splits off, rewritten for the engine, lexes
// again into the same tokens (a rewrite may requote, never join or split tokens), and classifying it and judging what
// it reaches throw nothing but SqlError.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "kelvod/sql/database_reach.h"
#include "kelvod/sql/file_access.h"
#include "kelvod/sql/sql_lexer.h"
#include "kelvod/sql/sql_rewriter.h"

namespace {

using kelvod::Token;

// The significant tokens as kind and value (Word: its lower case, others: the text).
std::vector<std::string> Shape(const kelvod::Statement& statement) {
    std::vector<std::string> out;
    for (const Token* t : statement.Significant()) {
        const bool decoded =
            t->kind == Token::Kind::String || t->kind == Token::Kind::Identifier || t->kind == Token::Kind::Word;
        out.push_back(std::to_string(static_cast<int>(t->kind)) + ":" + (decoded ? t->value : t->text));
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 20000)
        return 0;
    std::vector<kelvod::Statement> statements;
    try {
        statements = kelvod::SplitStatements(std::string(reinterpret_cast<const char*>(data), size));
    } catch (const kelvod::SqlError&) {
        return 0;
    }
    for (const kelvod::Statement& statement : statements) {
        try {
            kelvod::ClassifyStatement(statement);
        } catch (const kelvod::SqlError&) {
        }
        try {
            kelvod::RefuseFileAccess(statement);
            kelvod::RefuseOtherSessionsDatabases(statement, [](const std::string& name) { return name == "b"; });
        } catch (const kelvod::SqlError&) {
        }
        kelvod::EngineTypeSpellings(statement);
        kelvod::WithNulCharactersRefused(statement);
        if (statement.IsEmpty())
            continue;
        const std::vector<kelvod::Statement> again = kelvod::SplitStatements(statement.ToEngineText());
        TrapIf(again.empty() || Shape(again[0]) != Shape(statement));
        for (size_t i = 1; i < again.size(); ++i)
            TrapIf(!again[i].IsEmpty());
    }
    return 0;
}
