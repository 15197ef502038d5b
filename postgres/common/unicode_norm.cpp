// NFKC: full compatibility decomposition, canonical ordering by combining
// class, then canonical composition (Unicode Standard Annex #15). Hangul
// syllables are decomposed and composed arithmetically, so the generated
// tables leave them out.
#include "postgres/common/unicode_norm.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "postgres/common/unicode_norm_table.h"

namespace {

constexpr pg_wchar kHangulSBase = 0xAC00;
constexpr pg_wchar kHangulLBase = 0x1100;
constexpr pg_wchar kHangulVBase = 0x1161;
constexpr pg_wchar kHangulTBase = 0x11A7;
constexpr pg_wchar kHangulLCount = 19;
constexpr pg_wchar kHangulVCount = 21;
constexpr pg_wchar kHangulTCount = 28;
constexpr pg_wchar kHangulNCount = kHangulVCount * kHangulTCount;
constexpr pg_wchar kHangulSCount = kHangulLCount * kHangulNCount;

// The longest full decomposition of one code point (Hangul has three).
constexpr std::size_t kMaxDecompositionLength = 32;

const UnicodeNormEntry* FindEntry(pg_wchar cp) {
    const UnicodeNormEntry* end = std::end(kUnicodeNormEntries);
    const UnicodeNormEntry* it =
        std::lower_bound(std::begin(kUnicodeNormEntries), end, cp,
                         [](const UnicodeNormEntry& entry, pg_wchar value) { return entry.codepoint < value; });
    return it != end && it->codepoint == cp ? it : nullptr;
}

int CombiningClass(pg_wchar cp) {
    if (cp < 0x300)
        return 0;
    const UnicodeNormEntry* entry = FindEntry(cp);
    return entry == nullptr ? 0 : entry->comb_class;
}

// Writes the full decomposition of cp to out (kMaxDecompositionLength
// places) and returns its length.
std::size_t Decompose(pg_wchar cp, pg_wchar* out) {
    if (cp >= kHangulSBase && cp < kHangulSBase + kHangulSCount) {
        pg_wchar index = cp - kHangulSBase;
        out[0] = kHangulLBase + index / kHangulNCount;
        out[1] = kHangulVBase + (index % kHangulNCount) / kHangulTCount;
        pg_wchar t = index % kHangulTCount;
        if (t == 0)
            return 2;
        out[2] = kHangulTBase + t;
        return 3;
    }
    const UnicodeNormEntry* entry = cp < 0xA0 ? nullptr : FindEntry(cp);
    if (entry == nullptr || entry->decomp_len == 0) {
        out[0] = cp;
        return 1;
    }
    std::memcpy(out, kUnicodeDecompositions + entry->decomp_offset, entry->decomp_len * sizeof(pg_wchar));
    return entry->decomp_len;
}

// The canonical composite of the pair, or 0 when the pair does not compose.
pg_wchar Compose(pg_wchar first, pg_wchar second) {
    if (first >= kHangulLBase && first < kHangulLBase + kHangulLCount && second >= kHangulVBase &&
        second < kHangulVBase + kHangulVCount) {
        return kHangulSBase + ((first - kHangulLBase) * kHangulVCount + (second - kHangulVBase)) * kHangulTCount;
    }
    if (first >= kHangulSBase && first < kHangulSBase + kHangulSCount && (first - kHangulSBase) % kHangulTCount == 0 &&
        second > kHangulTBase && second < kHangulTBase + kHangulTCount) {
        return first + (second - kHangulTBase);
    }
    const UnicodeComposition* end = std::end(kUnicodeCompositions);
    const UnicodeComposition* it =
        std::lower_bound(std::begin(kUnicodeCompositions), end, std::make_pair(first, second),
                         [](const UnicodeComposition& c, const std::pair<pg_wchar, pg_wchar>& key) {
                             return c.first < key.first || (c.first == key.first && c.second < key.second);
                         });
    return it != end && it->first == first && it->second == second ? it->composite : 0;
}

}  // namespace

pg_wchar* unicode_normalize_kc(const pg_wchar* input) {
    std::size_t input_len = 0;
    std::size_t decomposed_len = 0;
    pg_wchar scratch[kMaxDecompositionLength];
    for (const pg_wchar* p = input; *p != 0; p++, input_len++)
        decomposed_len += Decompose(*p, scratch);

    auto* text = static_cast<pg_wchar*>(std::malloc((decomposed_len + 1) * sizeof(pg_wchar)));
    if (text == nullptr)
        return nullptr;
    std::size_t len = 0;
    for (std::size_t i = 0; i < input_len; i++)
        len += Decompose(input[i], text + len);

    // Canonical ordering: a stable sort of every run of non-starters by class.
    for (std::size_t i = 0; i < len;) {
        if (CombiningClass(text[i]) == 0) {
            i++;
            continue;
        }
        std::size_t run_end = i;
        while (run_end < len && CombiningClass(text[run_end]) != 0)
            run_end++;
        std::stable_sort(text + i, text + run_end,
                         [](pg_wchar a, pg_wchar b) { return CombiningClass(a) < CombiningClass(b); });
        i = run_end;
    }

    // Canonical composition: a character joins the last starter unless a
    // character of the same or a higher class stands between them; a starter
    // joins only a starter right before it.
    if (len > 0) {
        std::size_t starter = 0;
        int last_class = CombiningClass(text[0]);
        if (last_class != 0)
            last_class = 256;  // no starter yet: nothing composes
        std::size_t out = 1;
        for (std::size_t i = 1; i < len; i++) {
            pg_wchar ch = text[i];
            int ch_class = CombiningClass(ch);
            pg_wchar composite = last_class == 256 ? 0 : Compose(text[starter], ch);
            if (composite != 0 && (last_class < ch_class || last_class == 0)) {
                text[starter] = composite;
                continue;
            }
            if (ch_class == 0)
                starter = out;
            last_class = ch_class;
            text[out++] = ch;
        }
        len = out;
    }
    text[len] = 0;
    return text;
}
