// Splits SQL text into statements and tokens. It understands the lexical forms
// the library writes (E'...' literals with backslash escapes and U&"..."
// identifiers with Unicode escapes) and rewrites them into plain quoted forms
// that the engine's parser reads.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kelvod {

struct SqlError : std::runtime_error {
    std::string sqlstate;
    std::string hint;
    SqlError(std::string state, const std::string& message, std::string hintText = {})
        : std::runtime_error(message), sqlstate(std::move(state)), hint(std::move(hintText)) {}
};

struct Token {
    enum class Kind { Space, Word, Identifier, String, Number, Symbol, Other };
    Kind kind;
    std::string text;   // the source text (for Space: whitespace and comments)
    std::string value;  // Identifier and String: the decoded contents; Word: lower-cased
};

// The tokens of one statement, without the terminating ';'.
struct Statement {
    std::vector<Token> tokens;
    bool IsEmpty() const;
    // The statement in a form the engine reads: decoded literals and identifiers requoted.
    std::string ToEngineText() const;
    // The tokens that are not whitespace or comments.
    std::vector<const Token*> Significant() const;
};

// Appends a token's engine text (strings and identifiers requoted) to `out`. A
// requoted token that would run into its neighbour ('a''b', "x""y", u&'...') is
// set apart by a space, so that the engine reads the tokens that the client wrote.
// `apartNext` carries over to the next call: it tells that the last token was requoted.
void AppendEngineToken(std::string& out, const Token& token, bool& apartNext);

// Throws SqlError (42601 for unterminated quotes and comments, 22021 for a NUL
// escape or text that is not UTF-8).
std::vector<Statement> SplitStatements(std::string_view sql);

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool IsValidUtf8(std::string_view text);

// Appends code point `cp` in UTF-8; throws 22021 for NUL, surrogates and values past U+10FFFF.
void AppendUtf8(std::string& out, unsigned long cp);
// The value of a hexadecimal digit, or -1.
int HexValue(char c);
// The control character that a backslash before `c` stands for (b, f, n, r,
// t), or 0 when `c` names none.
char ControlEscape(char c);

// Whether two names are equal but for ASCII case: aliases and unquoted names compare so.
bool EqualsFolded(std::string_view a, std::string_view b);

std::string QuoteIdentifier(std::string_view name);
std::string QuoteLiteral(std::string_view text);

}  // namespace kelvod
