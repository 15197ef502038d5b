// Reading dates and floating-point numbers from text, and the engine casts that use it.
#include "kelvod/values/text_casts.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "kelvod/sql/sql_lexer.h"

namespace kelvod {

namespace {

constexpr int32_t kDateInfinity = std::numeric_limits<int32_t>::max();

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view Trimmed(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

// Reads 1 to `most` digits at `i`; -1 when there is none.
int64_t Digits(std::string_view s, size_t& i, size_t most) {
    size_t start = i;
    int64_t v = 0;
    while (i < s.size() && i - start < most && s[i] >= '0' && s[i] <= '9')
        v = v * 10 + (s[i++] - '0');
    return i == start ? -1 : v;
}

// A time of day after a date, which a date ignores: hh:mm[:ss[.frac]], then
// an offset (+hh[:mm], -hh[:mm], Z) if any.
bool SkipTimeOfDay(std::string_view s, size_t& i) {
    if (Digits(s, i, 2) < 0 || i >= s.size() || s[i++] != ':' || Digits(s, i, 2) < 0)
        return false;
    if (i < s.size() && s[i] == ':') {
        ++i;
        if (Digits(s, i, 2) < 0)
            return false;
        if (i < s.size() && s[i] == '.') {
            ++i;
            if (Digits(s, i, 9) < 0)
                return false;
        }
    }
    if (i < s.size() && (s[i] == 'Z' || s[i] == 'z'))
        return ++i, true;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        ++i;
        if (Digits(s, i, 2) < 0)
            return false;
        if (i < s.size() && s[i] == ':')
            ++i;
        Digits(s, i, 2);
    }
    return true;
}

bool IsLeap(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

template <typename T>
T* OutputData(duckdb_vector output) {
    return static_cast<T*>(duckdb_vector_get_data(output));
}

// One text-to-`T` cast: `parse` gives the value or the error text.
template <typename T, typename Parse>
bool CastRows(duckdb_function_info info, idx_t count, duckdb_vector input, duckdb_vector output, Parse parse) {
    auto* strings = static_cast<duckdb_string_t*>(duckdb_vector_get_data(input));
    uint64_t* validity = duckdb_vector_get_validity(input);
    bool tryCast = duckdb_cast_function_get_cast_mode(info) == DUCKDB_CAST_TRY;
    bool ok = true;
    T* out = OutputData<T>(output);
    for (idx_t row = 0; row < count; ++row) {
        if (validity && !duckdb_validity_row_is_valid(validity, row)) {
            duckdb_vector_ensure_validity_writable(output);
            duckdb_validity_set_row_invalid(duckdb_vector_get_validity(output), row);
            continue;
        }
        std::string_view text(duckdb_string_t_data(&strings[row]), duckdb_string_t_length(strings[row]));
        std::string error;
        if (parse(text, out[row], error))
            continue;
        if (!tryCast) {
            duckdb_cast_function_set_error(info, error.c_str());
            return false;
        }
        duckdb_cast_function_set_row_error(info, error.c_str(), row, output);
        ok = false;
    }
    return ok;
}

bool ParseDateRow(std::string_view text, duckdb_date& out, std::string& error) {
    bool outOfRange = false;
    if (auto days = ParseDateText(text, outOfRange)) {
        out.days = *days;
        return true;
    }
    error = (outOfRange ? "date/time field value out of range: \"" : "invalid input syntax for type date: \"") +
            std::string(text) + "\"";
    return false;
}

// PostgreSQL's reading of a floating-point number: what the C library reads,
// blanks around it, and no value beyond the type's range or rounded to zero.
template <typename T>
bool ParseFloatRow(std::string_view text, T& out, std::string& error, const char* typeName) {
    std::string s(Trimmed(text));
    char* end = nullptr;
    errno = 0;
    T v = std::is_same_v<T, float> ? std::strtof(s.c_str(), &end) : static_cast<T>(std::strtod(s.c_str(), &end));
    if (s.empty() || s.find('\0') != std::string::npos || end != s.c_str() + s.size()) {
        error = std::string("invalid input syntax for type ") + typeName + ": \"" + std::string(text) + "\"";
        return false;
    }
    if (errno == ERANGE && (v == 0 || std::isinf(v))) {
        error = "\"" + std::string(text) + "\" is out of range for type " + typeName;
        return false;
    }
    out = v;
    return true;
}

// PostgreSQL's reading of an integer: blanks around it, a sign, digits and nothing else.
template <typename T>
bool ParseIntegerRow(std::string_view text, T& out, std::string& error, const char* typeName) {
    std::string_view s = Trimmed(text);
    if (!s.empty() && s.front() == '+')
        s.remove_prefix(1);
    auto r = std::from_chars(s.data(), s.data() + s.size(), out);
    if (!s.empty() && r.ptr == s.data() + s.size() && r.ec == std::errc::result_out_of_range) {
        error = "value \"" + std::string(text) + "\" is out of range for type " + typeName;
        return false;
    }
    if (s.empty() || r.ec != std::errc() || r.ptr != s.data() + s.size() || s.front() == '+') {
        error = std::string("invalid input syntax for type ") + typeName + ": \"" + std::string(text) + "\"";
        return false;
    }
    return true;
}

template <typename T>
bool CastTextToInteger(duckdb_function_info info, idx_t count, duckdb_vector input, duckdb_vector output) {
    constexpr const char* name = sizeof(T) == 2 ? "smallint" : sizeof(T) == 4 ? "integer" : "bigint";
    return CastRows<T>(info, count, input, output,
                       [](std::string_view t, T& v, std::string& e) { return ParseIntegerRow(t, v, e, name); });
}

bool CastTextToDate(duckdb_function_info info, idx_t count, duckdb_vector input, duckdb_vector output) {
    return CastRows<duckdb_date>(info, count, input, output, ParseDateRow);
}

bool CastTextToDouble(duckdb_function_info info, idx_t count, duckdb_vector input, duckdb_vector output) {
    return CastRows<double>(info, count, input, output, [](std::string_view t, double& v, std::string& e) {
        return ParseFloatRow(t, v, e, "double precision");
    });
}

bool CastTextToReal(duckdb_function_info info, idx_t count, duckdb_vector input, duckdb_vector output) {
    return CastRows<float>(info, count, input, output,
                           [](std::string_view t, float& v, std::string& e) { return ParseFloatRow(t, v, e, "real"); });
}

}  // namespace

std::optional<int32_t> ParseDateText(std::string_view text, bool& outOfRange) {
    outOfRange = false;
    std::string_view s = Trimmed(text);
    if (EqualsFolded(s, "infinity") || EqualsFolded(s, "+infinity"))
        return kDateInfinity;
    if (EqualsFolded(s, "-infinity"))
        return -kDateInfinity;
    if (EqualsFolded(s, "epoch"))
        return 0;
    size_t i = 0;
    int64_t year = Digits(s, i, 9);
    if (year < 0 || i >= s.size() || (s[i] != '-' && s[i] != '/'))
        return std::nullopt;
    char separator = s[i++];
    int64_t month = Digits(s, i, 2);
    if (month < 0 || i >= s.size() || s[i++] != separator)
        return std::nullopt;
    int64_t day = Digits(s, i, 2);
    if (day < 0)
        return std::nullopt;
    // Then a time of day (ignored) and an era, each after a blank ('T' for the time).
    bool bc = false;
    if (i < s.size() && (s[i] == 'T' || s[i] == 't' || IsBlank(s[i]))) {
        size_t at = i + 1;
        while (at < s.size() && IsBlank(s[at]))
            ++at;
        if (at < s.size() && s[at] >= '0' && s[at] <= '9' && SkipTimeOfDay(s, at))
            i = at;
    }
    while (i < s.size() && IsBlank(s[i]))
        ++i;
    std::string_view era = s.substr(i);
    if (EqualsFolded(era, "bc") || EqualsFolded(era, "(bc)")) {
        bc = true;
    } else if (!era.empty() && !EqualsFolded(era, "ad")) {
        return std::nullopt;
    }
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    // Year 1 BC is the astronomers' year 0, whose leap days follow the same rule.
    int64_t astronomical = bc ? 1 - year : year;
    if (year == 0 || month < 1 || month > 12 || day < 1 ||
        day > kDays[month - 1] + (month == 2 && IsLeap(astronomical) ? 1 : 0) || astronomical > 5874897 ||
        astronomical < -5877641) {
        outOfRange = true;
        return std::nullopt;
    }
    duckdb_date_struct parts{static_cast<int32_t>(astronomical), static_cast<int8_t>(month), static_cast<int8_t>(day)};
    return duckdb_to_date(parts).days;
}

void RegisterTextCast(duckdb_connection connection, duckdb_type target, duckdb_cast_function_t function) {
    duckdb_cast_function cast = duckdb_create_cast_function();
    duckdb_logical_type from = duckdb_create_logical_type(DUCKDB_TYPE_VARCHAR);
    duckdb_logical_type to = duckdb_create_logical_type(target);
    duckdb_cast_function_set_source_type(cast, from);
    duckdb_cast_function_set_target_type(cast, to);
    // Text turns into the target implicitly, as with the engine's own casts (inserts, comparisons).
    duckdb_cast_function_set_implicit_cast_cost(cast, 1);
    duckdb_cast_function_set_function(cast, function);
    duckdb_state state = duckdb_register_cast_function(connection, cast);
    duckdb_destroy_logical_type(&from);
    duckdb_destroy_logical_type(&to);
    duckdb_destroy_cast_function(&cast);
    if (state == DuckDBError)
        throw std::runtime_error("the engine refused a cast from text");
}

void RegisterTextCasts(duckdb_connection connection) {
    RegisterTextCast(connection, DUCKDB_TYPE_DATE, CastTextToDate);
    RegisterTextCast(connection, DUCKDB_TYPE_DOUBLE, CastTextToDouble);
    RegisterTextCast(connection, DUCKDB_TYPE_FLOAT, CastTextToReal);
    RegisterTextCast(connection, DUCKDB_TYPE_SMALLINT, CastTextToInteger<int16_t>);
    RegisterTextCast(connection, DUCKDB_TYPE_INTEGER, CastTextToInteger<int32_t>);
    RegisterTextCast(connection, DUCKDB_TYPE_BIGINT, CastTextToInteger<int64_t>);
}

}  // namespace kelvod
