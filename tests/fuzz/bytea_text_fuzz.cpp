// The server's reader of bytea text (Bind parameters, literals) against a reader written here from the two forms'
// definitions: the same verdict and the same bytes for any text, and any bytes written in either form, with blanks
// between hex pairs as the fuzzer says, read back as themselves.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "fuzz_input.h"
#include "kelvod/values/bytea_text.h"

namespace {

int HexDigit(char c) {
    const char lower = static_cast<char>(c | 0x20);  // (digits and other bytes never land on a to f)
    return c >= '0' && c <= '9' ? c - '0' : lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::optional<std::string> Reference(const std::string& text) {
    std::string out;
    if (text.size() >= 2 && text[0] == '\\' && (text[1] == 'x' || text[1] == 'X')) {  // (the server takes either case)
        for (size_t i = 2; i < text.size();) {
            if (IsBlank(text[i])) {
                ++i;
                continue;
            }
            if (i + 1 >= text.size() || HexDigit(text[i]) < 0 || HexDigit(text[i + 1]) < 0)
                return std::nullopt;
            out += static_cast<char>(HexDigit(text[i]) * 16 + HexDigit(text[i + 1]));
            i += 2;
        }
        return out;
    }
    for (size_t i = 0; i < text.size();) {
        if (text[i] != '\\') {
            out += text[i++];
        } else if (i + 1 < text.size() && text[i + 1] == '\\') {
            out += '\\';
            i += 2;
        } else if (i + 3 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '3' && text[i + 2] >= '0' &&
                   text[i + 2] <= '7' && text[i + 3] >= '0' && text[i + 3] <= '7') {
            out += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0'));
            i += 4;
        } else {
            return std::nullopt;
        }
    }
    return out;
}

std::string Hex(const std::string& bytes, const std::string& blanks) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out = "\\x";
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<uint8_t>(bytes[i]);
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
        if (i < blanks.size() && (blanks[i] & 1))
            out += " \t\n\r"[(blanks[i] >> 1) & 3];
    }
    return out;
}

std::string Escape(const std::string& bytes) {
    std::string out;
    for (char c : bytes) {
        const auto b = static_cast<uint8_t>(c);
        if (c == '\\')
            out += "\\\\";
        else if (b < 0x20 || b >= 0x7f)
            out += std::string("\\") + char('0' + (b >> 6)) + char('0' + ((b >> 3) & 7)) + char('0' + (b & 7));
        else
            out += c;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    TrapIf(kelvod::DecodeByteaText(input) != Reference(input));
    // The bytes written in both forms; every other byte of the input says where blanks go.
    TrapIf(kelvod::DecodeByteaText(Hex(input, input)) != input || kelvod::DecodeByteaText(Escape(input)) != input);
    return 0;
}
