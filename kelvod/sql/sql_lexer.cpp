// The SQL tokenizer.
#include "kelvod/sql/sql_lexer.h"

#include <cctype>

namespace kelvod {

namespace {

bool IsIdentStart(unsigned char c) { return std::isalpha(c) || c == '_' || c >= 0x80; }
bool IsIdentChar(unsigned char c) { return std::isalnum(c) || c == '_' || c == '$' || c >= 0x80; }

// Reads a quoted body starting after the opening quote; a doubled quote stands
// for one. Returns the raw body and moves pos past the closing quote.
std::string ReadQuoted(std::string_view sql, size_t& pos, char quote, bool backslashEscapes) {
    std::string raw;
    while (pos < sql.size()) {
        char c = sql[pos];
        if (backslashEscapes && c == '\\' && pos + 1 < sql.size()) {
            raw.push_back(c);
            raw.push_back(sql[pos + 1]);
            pos += 2;
            continue;
        }
        if (c == quote) {
            if (pos + 1 < sql.size() && sql[pos + 1] == quote) {
                raw.push_back(quote);
                pos += 2;
                continue;
            }
            ++pos;
            return raw;
        }
        raw.push_back(c);
        ++pos;
    }
    throw SqlError("42601", quote == '"' ? "Unterminated quoted identifier." : "Unterminated quoted string.");
}

std::string DecodeBackslashEscapes(std::string_view raw) {
    std::string out;
    for (size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c != '\\' || i + 1 >= raw.size()) {
            out.push_back(c);
            continue;
        }
        char e = raw[++i];
        if (char control = ControlEscape(e)) {
            out.push_back(control);
            continue;
        }
        switch (e) {
            case 'x': {
                int v = 0, n = 0;
                while (n < 2 && i + 1 < raw.size() && HexValue(raw[i + 1]) >= 0)
                    v = v * 16 + HexValue(raw[++i]), ++n;
                if (n == 0) {
                    out.push_back('x');
                    break;
                }
                if (v == 0)
                    throw SqlError("22021", "Invalid byte sequence: a literal may not contain the byte 0x00.");
                out.push_back(static_cast<char>(v));
                break;
            }
            case 'u':
            case 'U': {
                int digits = e == 'u' ? 4 : 8;
                unsigned long cp = 0;
                for (int k = 0; k < digits; ++k) {
                    if (i + 1 >= raw.size() || HexValue(raw[i + 1]) < 0) {
                        throw SqlError("22025", "Invalid Unicode escape: \\" + std::string(1, e) + " needs " +
                                                    std::to_string(digits) + " hexadecimal digits.");
                    }
                    cp = cp * 16 + static_cast<unsigned long>(HexValue(raw[++i]));
                }
                AppendUtf8(out, cp);
                break;
            }
            default:
                if (e >= '0' && e <= '7') {
                    int v = e - '0', n = 1;
                    while (n < 3 && i + 1 < raw.size() && raw[i + 1] >= '0' && raw[i + 1] <= '7')
                        v = v * 8 + (raw[++i] - '0'), ++n;
                    if ((v & 0xFF) == 0)
                        throw SqlError("22021", "Invalid byte sequence: a literal may not contain the byte 0x00.");
                    out.push_back(static_cast<char>(v & 0xFF));
                } else {
                    out.push_back(e);
                }
        }
    }
    return out;
}

std::string DecodeUnicodeEscapes(std::string_view raw, char escape) {
    std::string out;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != escape) {
            out.push_back(raw[i]);
            continue;
        }
        if (i + 1 < raw.size() && raw[i + 1] == escape) {
            out.push_back(escape);
            ++i;
            continue;
        }
        int digits = 4;
        size_t at = i + 1;
        if (at < raw.size() && raw[at] == '+')
            digits = 6, ++at;
        if (at + digits > raw.size())
            throw SqlError("22025", "Invalid Unicode escape in a U& identifier.");
        unsigned long cp = 0;
        for (int k = 0; k < digits; ++k) {
            int h = HexValue(raw[at + k]);
            if (h < 0)
                throw SqlError("22025", "Invalid Unicode escape in a U& identifier.");
            cp = cp * 16 + static_cast<unsigned long>(h);
        }
        AppendUtf8(out, cp);
        i = at + digits - 1;
    }
    return out;
}

// After a U& token: an optional UESCAPE 'c' clause. Returns the escape character.
char ReadUescape(std::string_view sql, size_t& pos) {
    size_t p = pos;
    while (p < sql.size() && std::isspace(static_cast<unsigned char>(sql[p])))
        ++p;
    if (sql.size() - p >= 7) {
        std::string word(sql.substr(p, 7));
        for (char& c : word)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (word == "uescape") {
            p += 7;
            while (p < sql.size() && std::isspace(static_cast<unsigned char>(sql[p])))
                ++p;
            if (p + 2 < sql.size() && sql[p] == '\'' && sql[p + 2] == '\'') {
                char e = sql[p + 1];
                if (std::isxdigit(static_cast<unsigned char>(e)) || e == '+' || e == '\'' || e == '"' ||
                    std::isspace(static_cast<unsigned char>(e)))
                    throw SqlError("42601", "Invalid Unicode escape character.");
                pos = p + 3;
                return e;
            }
            throw SqlError("42601", "UESCAPE must be followed by a simple string literal.");
        }
    }
    return '\\';
}

}  // namespace

void AppendUtf8(std::string& out, unsigned long cp) {
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        throw SqlError("22021", "Invalid Unicode escape value " + std::to_string(cp) + ".");
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

bool EqualsFolded(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

char ControlEscape(char c) {
    switch (c) {
        case 'b':
            return '\b';
        case 'f':
            return '\f';
        case 'n':
            return '\n';
        case 'r':
            return '\r';
        case 't':
            return '\t';
        default:
            return 0;
    }
}

bool Statement::IsEmpty() const {
    for (const auto& t : tokens) {
        if (t.kind != Token::Kind::Space)
            return false;
    }
    return true;
}

std::vector<const Token*> Statement::Significant() const {
    std::vector<const Token*> out;
    for (const auto& t : tokens) {
        if (t.kind != Token::Kind::Space)
            out.push_back(&t);
    }
    return out;
}

std::string QuoteIdentifier(std::string_view name) {
    std::string out = "\"";
    for (char c : name) {
        if (c == '"')
            out.push_back('"');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

std::string QuoteLiteral(std::string_view text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out.push_back('\'');
        out.push_back(c);
    }
    out.push_back('\'');
    return out;
}

void AppendEngineToken(std::string& out, const Token& token, bool& apartNext) {
    std::string piece = token.kind == Token::Kind::String       ? QuoteLiteral(token.value)
                        : token.kind == Token::Kind::Identifier ? QuoteIdentifier(token.value)
                                                                : token.text;
    bool requoted = piece != token.text;
    auto joins = [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' || c == '\'' || c == '"' ||
               c == '&' || static_cast<unsigned char>(c) >= 0x80;
    };
    if ((requoted || apartNext) && !out.empty() && !piece.empty() && joins(out.back()) && joins(piece.front()))
        out.push_back(' ');
    out += piece;
    apartNext = requoted;
}

std::string Statement::ToEngineText() const {
    std::string out;
    bool apart = false;
    for (const auto& t : tokens)
        AppendEngineToken(out, t, apart);
    return out;
}

bool IsValidUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t n = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        if (n == 0 || c > 0xF4 || i + n >= text.size())
            return false;
        unsigned long cp = c & (0x3F >> n);
        for (size_t k = 1; k <= n; ++k) {
            auto d = static_cast<unsigned char>(text[i + k]);
            if ((d & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        static const unsigned long kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += n + 1;
    }
    return true;
}

namespace {

// What a reader makes of one token: its kind and decoded value (the source
// text is the span it moved past).
struct Lexeme {
    Token::Kind kind;
    std::string value;
};

// A reader of one lexical form: called at the token's first character, it moves
// `pos` past the token.
using Reader = Lexeme (*)(std::string_view sql, size_t& pos);

Lexeme ReadSpace(std::string_view sql, size_t& pos) {
    while (pos < sql.size() && std::isspace(static_cast<unsigned char>(sql[pos])))
        ++pos;
    return {Token::Kind::Space, {}};
}

Lexeme ReadLineComment(std::string_view sql, size_t& pos) {
    // The engine ends a comment at a carriage return as at a line feed.
    while (pos < sql.size() && sql[pos] != '\n' && sql[pos] != '\r')
        ++pos;
    return {Token::Kind::Space, {}};
}

// Block comments nest.
Lexeme ReadBlockComment(std::string_view sql, size_t& pos) {
    int depth = 0;
    do {
        if (sql.compare(pos, 2, "/*") == 0) {
            ++depth, pos += 2;
        } else if (sql.compare(pos, 2, "*/") == 0) {
            --depth, pos += 2;
        } else {
            ++pos;
        }
    } while (depth > 0 && pos < sql.size());
    if (depth > 0)
        throw SqlError("42601", "Unterminated /* comment.");
    return {Token::Kind::Space, {}};
}

// E'...': backslash escapes, whose decoded bytes must still be UTF-8.
Lexeme ReadEscapedString(std::string_view sql, size_t& pos) {
    pos += 2;
    std::string value = DecodeBackslashEscapes(ReadQuoted(sql, pos, '\'', true));
    if (!IsValidUtf8(value))
        throw SqlError("22021", "invalid byte sequence for encoding \"UTF8\"");
    return {Token::Kind::String, std::move(value)};
}

// U&'...' and U&"...", with an optional UESCAPE clause.
Lexeme ReadUnicodeEscaped(std::string_view sql, size_t& pos) {
    char quote = sql[pos + 2];
    pos += 3;
    std::string raw = ReadQuoted(sql, pos, quote, false);
    char escape = ReadUescape(sql, pos);
    std::string value = DecodeUnicodeEscapes(raw, escape);
    if (quote == '\'')
        return {Token::Kind::String, std::move(value)};
    // Requoted for the engine, an empty name would only fail there, with its own words.
    if (value.empty())
        throw SqlError("42601", "Zero-length delimited identifier.");
    return {Token::Kind::Identifier, std::move(value)};
}

Lexeme ReadString(std::string_view sql, size_t& pos) {
    ++pos;
    return {Token::Kind::String, ReadQuoted(sql, pos, '\'', false)};
}

Lexeme ReadQuotedIdentifier(std::string_view sql, size_t& pos) {
    ++pos;
    std::string raw = ReadQuoted(sql, pos, '"', false);
    if (raw.empty())
        throw SqlError("42601", "Zero-length delimited identifier.");
    return {Token::Kind::Identifier, std::move(raw)};
}

// $tag$...$tag$ is kept as it stands, for the engine to read; without a closing
// '$' the '$' begins a parameter ($1) or stands alone.
Lexeme ReadDollar(std::string_view sql, size_t& pos) {
    size_t tagEnd = pos + 1;
    while (tagEnd < sql.size() && IsIdentChar(static_cast<unsigned char>(sql[tagEnd])) && sql[tagEnd] != '$')
        ++tagEnd;
    if (tagEnd < sql.size() && sql[tagEnd] == '$') {
        std::string_view tag = sql.substr(pos, tagEnd - pos + 1);
        size_t close = sql.find(tag, tagEnd + 1);
        if (close == std::string_view::npos)
            throw SqlError("42601", "Unterminated dollar-quoted string.");
        pos = close + tag.size();
        return {Token::Kind::Other, {}};
    }
    ++pos;
    while (pos < sql.size() && std::isdigit(static_cast<unsigned char>(sql[pos])))
        ++pos;
    return {Token::Kind::Other, {}};
}

// A keyword or unquoted name; its value is lower-cased, as the engine folds it.
Lexeme ReadWord(std::string_view sql, size_t& pos) {
    size_t start = pos;
    while (pos < sql.size() && IsIdentChar(static_cast<unsigned char>(sql[pos])))
        ++pos;
    std::string lower(sql.substr(start, pos - start));
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return {Token::Kind::Word, std::move(lower)};
}

Lexeme ReadNumber(std::string_view sql, size_t& pos) {
    while (pos < sql.size() && (std::isalnum(static_cast<unsigned char>(sql[pos])) || sql[pos] == '.'))
        ++pos;
    return {Token::Kind::Number, {}};
}

// One character, or "::".
Lexeme ReadSymbol(std::string_view sql, size_t& pos) {
    size_t start = pos++;
    if (sql[start] == ':' && pos < sql.size() && sql[pos] == ':')
        ++pos;
    return {Token::Kind::Symbol, std::string(sql.substr(start, pos - start))};
}

// The reader of the form that begins at `pos`.
Reader ReaderAt(std::string_view sql, size_t pos) {
    auto c = static_cast<unsigned char>(sql[pos]);
    // Past the end reads as NUL, which no form's second or third character is.
    auto at = [&](size_t k) { return pos + k < sql.size() ? sql[pos + k] : '\0'; };
    if (std::isspace(c))
        return ReadSpace;
    if (c == '-' && at(1) == '-')
        return ReadLineComment;
    if (c == '/' && at(1) == '*')
        return ReadBlockComment;
    if ((c == 'E' || c == 'e') && at(1) == '\'')
        return ReadEscapedString;
    if ((c == 'U' || c == 'u') && at(1) == '&' && (at(2) == '"' || at(2) == '\''))
        return ReadUnicodeEscaped;
    if (c == '\'')
        return ReadString;
    if (c == '"')
        return ReadQuotedIdentifier;
    if (c == '$')
        return ReadDollar;
    if (IsIdentStart(c))
        return ReadWord;
    if (std::isdigit(c))
        return ReadNumber;
    return ReadSymbol;
}

}  // namespace

std::vector<Statement> SplitStatements(std::string_view sql) {
    if (!IsValidUtf8(sql))
        throw SqlError("22021", "invalid byte sequence for encoding \"UTF8\"");
    std::vector<Statement> out(1);
    size_t pos = 0;
    while (pos < sql.size()) {
        if (sql[pos] == ';') {
            ++pos;
            out.emplace_back();
            continue;
        }
        size_t start = pos;
        Lexeme lexeme = ReaderAt(sql, pos)(sql, pos);
        out.back().tokens.push_back(
            Token{lexeme.kind, std::string(sql.substr(start, pos - start)), std::move(lexeme.value)});
    }
    return out;
}

}  // namespace kelvod
