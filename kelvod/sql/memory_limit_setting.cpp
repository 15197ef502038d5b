// The floor under memory_limit, and its RESET.
#include "kelvod/sql/memory_limit_setting.h"

#include <cctype>
#include <cmath>
#include <cstdlib>

#include "kelvod/engine/attachments.h"
#include "kelvod/sql/catalog.h"
#include "kelvod/sql/statement_tokens.h"

namespace kelvod {

namespace {

// How the engine showed its default limit, e.g. "18.8 GiB"; "" when unreadable.
std::string g_defaultShown;

// The index of the setting's name in SET or RESET [SESSION | LOCAL | GLOBAL] name,
// when it names memory_limit.
std::optional<size_t> MemoryLimitName(const Tokens& t) {
    size_t i = IsWord(t, 1, "session") || IsWord(t, 1, "local") || IsWord(t, 1, "global") ? 2 : 1;
    if (!IsName(t, i) || (!EqualsFolded(t[i]->value, "memory_limit") && !EqualsFolded(t[i]->value, "max_memory")))
        return std::nullopt;
    return i;
}

[[noreturn]] void NotASize(const std::string& text) {
    throw SqlError("22023", "\"" + text + "\" is not a memory size.",
                   "Give memory_limit as a quoted size such as '4GB' or '512MiB'.");
}

}  // namespace

std::optional<uint64_t> ParseMemorySize(const std::string& text) {
    std::string s;
    for (char ch : text) {
        if (ch != ' ')
            s += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    }
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
    auto name = IsWord(t, 0, "set") ? MemoryLimitName(t) : std::nullopt;
    if (!name)
        return;
    const size_t i = *name;
    if (!IsSymbol(t, i + 1, "=") && !IsWord(t, i + 1, "to"))
        return;  // the engine's own syntax error
    if (i + 3 == t.size() && IsWord(t, i + 2, "default"))
        return;
    if (i + 3 != t.size() || (t[i + 2]->kind != Token::Kind::String && t[i + 2]->kind != Token::Kind::Number)) {
        throw SqlError("22023", "memory_limit takes a literal size only.",
                       "Give it as a quoted size such as '4GB' or '512MiB'.");
    }
    const std::string value = t[i + 2]->kind == Token::Kind::String ? t[i + 2]->value : t[i + 2]->text;
    auto bytes = ParseMemorySize(value);
    if (bytes && *bytes < kMemoryLimitFloor) {
        throw SqlError("22023", "memory_limit cannot be set below 512MB: the engine's commits need that much.",
                       "Set it to '512MB' or more, or RESET it to the default.");
    }
}

void NoteDefaultMemoryLimit(duckdb_connection connection) {
    try {
        auto shown = QueryText(connection, "SELECT current_setting('memory_limit')::VARCHAR");
        if (!shown.empty() && shown[0][0] && ParseMemorySize(*shown[0][0]))
            g_defaultShown = *shown[0][0];
    } catch (const SqlError&) {
        // unreadable: RESET is left to the engine
    }
}

bool ResetMemoryLimit(duckdb_connection connection, const Statement& statement) {
    Tokens t = statement.Significant();
    auto name = IsWord(t, 0, "reset") || IsWord(t, 0, "set") ? MemoryLimitName(t) : std::nullopt;
    if (!name || g_defaultShown.empty())
        return false;
    const size_t i = *name;
    const bool reset = IsWord(t, 0, "reset") && i + 1 == t.size();
    const bool toDefault = IsWord(t, 0, "set") && i + 3 == t.size() &&
                           (IsSymbol(t, i + 1, "=") || IsWord(t, i + 1, "to")) && IsWord(t, i + 2, "default");
    if (!reset && !toDefault)
        return false;
    // The engine shows a limit cut to a tenth of its unit: the middle of that
    // tenth is as near to the default as can be known, and shows the same.
    char* unit = nullptr;
    const double shown = std::strtod(g_defaultShown.c_str(), &unit);
    RunEngine(connection, "SET GLOBAL memory_limit = " + QuoteLiteral(std::to_string(shown + 0.049) + unit));
    return true;
}

}  // namespace kelvod
