// Reading bytea text, and the engine cast that uses it.
#include "kelvod/values/bytea_text.h"

#include "kelvod/sql/sql_lexer.h"
#include "kelvod/values/text_casts.h"

namespace kelvod {

std::optional<std::string> DecodeByteaText(std::string_view text) {
    std::string out;
    if (text.size() >= 2 && text[0] == '\\' && (text[1] == 'x' || text[1] == 'X')) {
        out.reserve((text.size() - 2) / 2);
        for (size_t i = 2; i < text.size();) {
            char c = text[i];
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
                ++i;
                continue;
            }
            if (i + 1 >= text.size())
                return std::nullopt;
            int hi = HexValue(c), lo = HexValue(text[i + 1]);
            if (hi < 0 || lo < 0)
                return std::nullopt;
            out.push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
        }
        return out;
    }
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        if (text[i] != '\\') {
            out.push_back(text[i++]);
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '\\') {
            out.push_back('\\');
            i += 2;
            continue;
        }
        auto octal = [&](size_t k, char top) { return k < text.size() && text[k] >= '0' && text[k] <= top; };
        if (!octal(i + 1, '3') || !octal(i + 2, '7') || !octal(i + 3, '7'))
            return std::nullopt;
        out.push_back(static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0')));
        i += 4;
    }
    return out;
}

namespace {

bool CastTextToBytea(duckdb_function_info info, idx_t count, duckdb_vector input, duckdb_vector output) {
    auto* strings = static_cast<duckdb_string_t*>(duckdb_vector_get_data(input));
    uint64_t* validity = duckdb_vector_get_validity(input);
    bool tryCast = duckdb_cast_function_get_cast_mode(info) == DUCKDB_CAST_TRY;
    bool ok = true;
    for (idx_t row = 0; row < count; ++row) {
        if (validity && !duckdb_validity_row_is_valid(validity, row)) {
            duckdb_vector_ensure_validity_writable(output);
            duckdb_validity_set_row_invalid(duckdb_vector_get_validity(output), row);
            continue;
        }
        std::string_view text(duckdb_string_t_data(&strings[row]), duckdb_string_t_length(strings[row]));
        auto bytes = DecodeByteaText(text);
        if (bytes) {
            duckdb_vector_assign_string_element_len(output, row, bytes->data(), bytes->size());
            continue;
        }
        const char* error = "invalid input syntax for type bytea";
        if (!tryCast) {
            duckdb_cast_function_set_error(info, error);
            return false;
        }
        duckdb_cast_function_set_row_error(info, error, row, output);
        ok = false;
    }
    return ok;
}

}  // namespace

void RegisterByteaCast(duckdb_connection connection) {
    RegisterTextCast(connection, DUCKDB_TYPE_BLOB, CastTextToBytea);
}

}  // namespace kelvod
