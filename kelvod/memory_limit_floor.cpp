// The floor under memory_limit.
#include "kelvod/memory_limit_floor.h"

#include <cctype>
#include <cmath>
#include <cstdlib>

#include "kelvod/statement_tokens.h"

namespace kelvod {

namespace {

[[noreturn]] void NotASize(const std::string& text) {
    throw SqlError("22023", "\"" + text + "\" is not a memory size.",
                   "Give memory_limit as a quoted size such as '4GB' or '512MiB'.");
}

}  // namespace

std::optional<uint64_t> ParseMemorySize(const std::string& text) {
    std::string s;
    for (char ch : text)
        if (ch != ' ')
            s += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (s.empty())
        NotASize(text);
    if (s[0] == '-' || s == "none" || s == "null")
        return std::nullopt;
    size_t digits = 0;
    while (digits < s.size() && (std::isdigit(static_cast<unsigned char>(s[digits])) || s[digits] == '.'))
        ++digits;
    if (digits == 0)
        NotASize(text);
    std::string unit = s.substr(digits);
    if (unit.size() > 4 && unit.back() == 's')
        unit.pop_back();  // "bytes", "megabytes"
    const double number = std::strtod(s.substr(0, digits).c_str(), nullptr);
    auto bytes = [](double v) { return v >= 1.8e19 ? UINT64_MAX : static_cast<uint64_t>(v); };
    if (unit == "b" || unit == "byte")
        return bytes(number);
    static const char* const kWords[] = {"kilobyte", "megabyte", "gigabyte", "terabyte"};
    for (int i = 0; i < 4; ++i) {
        const std::string prefix(1, "kmgt"[i]);
        if (unit == prefix + "b" || unit == kWords[i])
            return bytes(number * std::pow(1000.0, i + 1));
        if (unit == prefix + "ib")
            return bytes(number * std::pow(1024.0, i + 1));
    }
    NotASize(text);
}

void RefuseUnsafeMemoryLimit(const Statement& statement) {
    Tokens t = statement.Significant();
    if (!IsWord(t, 0, "set"))
        return;
    size_t i = IsWord(t, 1, "session") || IsWord(t, 1, "local") || IsWord(t, 1, "global") ? 2 : 1;
    if (!IsName(t, i) || (!EqualsFolded(t[i]->value, "memory_limit") && !EqualsFolded(t[i]->value, "max_memory")))
        return;
    if (!IsSymbol(t, i + 1, "=") && !IsWord(t, i + 1, "to"))
        return;  // the engine's own syntax error
    if (i + 3 == t.size() && IsWord(t, i + 2, "default"))
        return;
    if (i + 3 != t.size() || (t[i + 2]->kind != Token::Kind::String && t[i + 2]->kind != Token::Kind::Number))
        throw SqlError("22023", "memory_limit takes a literal size only.",
                       "Give it as a quoted size such as '4GB' or '512MiB'.");
    const std::string value = t[i + 2]->kind == Token::Kind::String ? t[i + 2]->value : t[i + 2]->text;
    auto bytes = ParseMemorySize(value);
    if (bytes && *bytes < kMemoryLimitFloor)
        throw SqlError("22023", "memory_limit cannot be set below 256MB: the engine's commits need that much.",
                       "Set it to '256MB' or more, or RESET it to the default.");
}

}  // namespace kelvod
