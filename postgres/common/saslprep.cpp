// SASLprep: map (B.1 to nothing, C.1.2 to a space), normalise to NFKC, then
// refuse prohibited and unassigned characters and texts that break the
// bidirectional rules of RFC 3454 section 6.
#include "postgres/common/saslprep.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "postgres/common/saslprep_table.h"
#include "postgres/common/scram_common.h"
#include "postgres/common/unicode_norm.h"

namespace {

template <std::size_t N>
bool InRanges(const CodePointRange (&ranges)[N], pg_wchar cp) {
    const CodePointRange* it =
        std::lower_bound(std::begin(ranges), std::end(ranges), cp,
                         [](const CodePointRange& range, pg_wchar value) { return range.last < value; });
    return it != std::end(ranges) && it->first <= cp;
}

// Decodes one UTF-8 character of at most `left` bytes at s. Returns its
// length, or 0 when the bytes are not a well-formed character (overlong
// forms, surrogates, values above U+10FFFF, or a character cut short by the
// end of the text).
std::size_t DecodeUtf8(const unsigned char* s, std::size_t left, pg_wchar* cp) {
    unsigned char lead = s[0];
    std::size_t len;
    pg_wchar value;
    unsigned char second_min = 0x80, second_max = 0xBF;
    if (lead < 0x80) {
        *cp = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        len = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        len = 3;
        value = lead & 0x0F;
        if (lead == 0xE0)
            second_min = 0xA0;
        if (lead == 0xED)
            second_max = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        len = 4;
        value = lead & 0x07;
        if (lead == 0xF0)
            second_min = 0x90;
        if (lead == 0xF4)
            second_max = 0x8F;
    } else {
        return 0;
    }
    if (len > left)
        return 0;
    if (s[1] < second_min || s[1] > second_max)
        return 0;
    for (std::size_t i = 1; i < len; i++) {
        if ((s[i] & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (s[i] & 0x3F);
    }
    *cp = value;
    return len;
}

std::size_t EncodeUtf8(pg_wchar cp, char* out) {
    auto* s = reinterpret_cast<unsigned char*>(out);
    if (cp < 0x80) {
        s[0] = static_cast<unsigned char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        s[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
        s[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        s[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
        s[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        s[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        return 3;
    }
    s[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
    s[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
    s[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    s[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    return 4;
}

bool IsProhibitedOrBidiBroken(const pg_wchar* text, std::size_t len) {
    bool has_randal = false;
    bool has_l = false;
    for (std::size_t i = 0; i < len; i++) {
        if (InRanges(kProhibitedRanges, text[i]))
            return true;
        if (InRanges(kRandALCatRanges, text[i]))
            has_randal = true;
        if (InRanges(kLCatRanges, text[i]))
            has_l = true;
    }
    // A text with right-to-left characters holds no left-to-right ones and
    // begins and ends with a right-to-left character.
    return has_randal && (has_l || !InRanges(kRandALCatRanges, text[0]) || !InRanges(kRandALCatRanges, text[len - 1]));
}

// The code points of a password are wiped before their memory goes back.
void FreeWiped(pg_wchar* text, std::size_t count) {
    explicit_bzero(text, count * sizeof(pg_wchar));
    std::free(text);
}

}  // namespace

pg_saslprep_rc pg_saslprep(const char* input, char** output) {
    *output = nullptr;
    std::size_t input_len = std::strlen(input);
    // Bounds the work and memory that a password can ask for.
    if (input_len > static_cast<std::size_t>(SCRAM_MAX_PASSWORD_LEN))
        return SASLPREP_OOM;

    const auto* bytes = reinterpret_cast<const unsigned char*>(input);
    if (std::all_of(bytes, bytes + input_len, [](unsigned char c) { return c < 0x80; })) {
        *output = strdup(input);
        return *output == nullptr ? SASLPREP_OOM : SASLPREP_SUCCESS;
    }

    // Decode and map; a text never has more characters than bytes.
    auto* mapped = static_cast<pg_wchar*>(std::malloc((input_len + 1) * sizeof(pg_wchar)));
    if (mapped == nullptr)
        return SASLPREP_OOM;
    std::size_t count = 0;
    for (std::size_t pos = 0; pos < input_len;) {
        pg_wchar cp;
        std::size_t step = DecodeUtf8(bytes + pos, input_len - pos, &cp);
        if (step == 0) {
            FreeWiped(mapped, input_len + 1);
            return SASLPREP_INVALID_UTF8;
        }
        pos += step;
        if (InRanges(kNonAsciiSpaceRanges, cp)) {
            mapped[count++] = 0x20;
        } else if (!InRanges(kMappedToNothingRanges, cp)) {
            mapped[count++] = cp;
        }
    }
    mapped[count] = 0;

    pg_wchar* normalized = unicode_normalize_kc(mapped);
    FreeWiped(mapped, input_len + 1);
    if (normalized == nullptr)
        return SASLPREP_OOM;
    std::size_t len = 0;
    while (normalized[len] != 0)
        len++;

    if (len > 0 && IsProhibitedOrBidiBroken(normalized, len)) {
        FreeWiped(normalized, len + 1);
        return SASLPREP_PROHIBITED;
    }

    auto* result = static_cast<char*>(std::malloc(len * 4 + 1));
    if (result == nullptr) {
        FreeWiped(normalized, len + 1);
        return SASLPREP_OOM;
    }
    std::size_t out = 0;
    for (std::size_t i = 0; i < len; i++)
        out += EncodeUtf8(normalized[i], result + out);
    result[out] = '\0';
    FreeWiped(normalized, len + 1);
    *output = result;
    return SASLPREP_SUCCESS;
}
