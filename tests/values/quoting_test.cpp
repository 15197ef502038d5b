// Identifier and literal quoting, through the C interface and its size query.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "api/quoting.h"
#include "kelvo/values.h"

namespace {

using namespace std::string_literals;

TEST(Quoting, QuotesEveryEscapeClass) {
    const std::pair<std::string, std::string> identifiers[] = {
        {"a\\b", "\"a\\b\""},
        {"a\0b"s, "\"a\0b\""s},
        {"\r\n", "U&\"\\000D\\000A\""},
        {"x\\y\n", "U&\"x\\\\y\\000A\""},
    };
    for (const auto& [text, quoted] : identifiers)
        EXPECT_EQ(kelvoapi::QuoteIdentifier(text), quoted) << text;
    const std::pair<std::string, std::string> literals[] = {
        {"a\tb\n", "E'a\\tb\\n'"}, {"a\vb", "E'a\\013b'"},     {"\x01\x32", "E'\\0012'"},
        {"\x7f", "'\x7f'"},        {"it's\\", "E'it''s\\\\'"}, {"\xff\x80", "'\xff\x80'"},
    };
    for (const auto& [text, quoted] : literals)
        EXPECT_EQ(kelvoapi::QuoteStringLiteral(text), quoted) << text;
}

using QuoteFunction = size_t (*)(char*, size_t, const char*, size_t);

TEST(QuoteExports, AnswerTheSizeQueryAndCopyOnlyWhatFits) {
    struct Case {
        const char* name;
        QuoteFunction quote;
        std::string text;
        std::string quoted;
    };
    const Case cases[] = {
        {"identifier", kelvo_quote_sql_identifier, "ab\"c", "\"ab\"\"c\""},
        {"literal", kelvo_quote_sql_literal, "it's", "'it''s'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t needed = c.quoted.size();
        EXPECT_EQ(c.quote(nullptr, 0, c.text.data(), c.text.size()), needed);

        // One byte short: nothing written, same length returned.
        std::vector<char> small(needed - 1, '#');
        EXPECT_EQ(c.quote(small.data(), small.size(), c.text.data(), c.text.size()), needed);
        EXPECT_EQ(std::string(small.begin(), small.end()), std::string(needed - 1, '#'));

        // Exact fit: no terminator is written behind the text.
        std::vector<char> exact(needed + 1, '#');
        EXPECT_EQ(c.quote(exact.data(), needed, c.text.data(), c.text.size()), needed);
        EXPECT_EQ(std::string(exact.data(), needed), c.quoted);
        EXPECT_EQ(exact[needed], '#');
    }
    // The length alone bounds the text: embedded and missing NULs are fine.
    char buffer[8];
    EXPECT_EQ(kelvo_quote_sql_identifier(buffer, sizeof buffer, "ab\0c", 4), 6u);
    EXPECT_EQ(std::memcmp(buffer, "\"ab\0c\"", 6), 0);
    EXPECT_EQ(kelvo_quote_sql_literal(buffer, sizeof buffer, "abcdef", 2), 4u);
    EXPECT_EQ(std::memcmp(buffer, "'ab'", 4), 0);
    EXPECT_EQ(kelvo_quote_sql_literal(buffer, sizeof buffer, nullptr, 0), 2u);
}

}  // namespace
