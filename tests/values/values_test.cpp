// The value exports, the copy-format writers and readers, data chunks, table definitions and the statements where names
// and types are written.
#include <cstdint>
#include <cstring>
#include <ctime>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "api/database_statements.h"
#include "api/quoting.h"
#include "api/table_definition.h"
#include "api/type.h"
#include "kelvo/copy.h"
#include "kelvo/types.h"
#include "kelvo/values.h"
#include "support/error_ptr.h"

// Huge requests must come back as null allocations, as they do without the sanitizer, rather than end the test.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

using namespace std::string_literals;

// Every calendar day from day number 0 (-4713-11-24) to 9999-12-31, both ways, against the C library's proleptic
// calendar (astronomical years, as ours); day 2440588 is the Unix epoch.
TEST(DateCodec, RoundTripsEveryDayOfTheSupportedRange) {
    size_t mismatches = 0;
    for (uint32_t number = 0; number <= 5373484; ++number) {
        const time_t seconds = (static_cast<time_t>(number) - 2440588) * 86400;
        std::tm day{};
        gmtime_r(&seconds, &day);
        const kelvo_date_components_t expected{day.tm_year + 1900, static_cast<int16_t>(day.tm_mon + 1),
                                               static_cast<int16_t>(day.tm_mday)};
        const kelvo_date_components_t decoded = kelvo_decode_date(number);
        if ((kelvo_encode_date(expected) != number || decoded.year != expected.year ||
             decoded.month != expected.month || decoded.day != expected.day) &&
            ++mismatches < 5)
            ADD_FAILURE() << "day number " << number << " is " << expected.year << "-" << expected.month << "-"
                          << expected.day;
    }
    EXPECT_EQ(mismatches, 0u);
    // Day numbers and components far beyond the calendar go through unsigned arithmetic; the sanitizers would report
    // any overflow.
    for (const uint32_t number : {std::numeric_limits<uint32_t>::max(), 0x80000000u, 1073709000u})
        (void)kelvo_decode_date(number);
    (void)kelvo_encode_date({std::numeric_limits<int32_t>::min(), 13, 0});
    (void)kelvo_encode_date({std::numeric_limits<int32_t>::max(), -1, -1});
}

TEST(TimeCodec, EncodesAndDecodesComponents) {
    const std::pair<kelvo_time_components_t, uint64_t> cases[] = {
        {{0, 0, 0, 0}, 0}, {{12, 34, 56, 789012}, 45296789012}, {{23, 59, 59, 999999}, 86399999999}};
    for (const auto& [c, encoded] : cases) {
        SCOPED_TRACE(encoded);
        EXPECT_EQ(kelvo_encode_time(c), encoded);
        const kelvo_time_components_t d = kelvo_decode_time(encoded);
        EXPECT_EQ(std::tie(d.hour, d.minute, d.second, d.microsecond),
                  std::tie(c.hour, c.minute, c.second, c.microsecond));
    }
    EXPECT_EQ(kelvo_decode_time(86400000000u).hour, 24);  // 24:00:00 ends a day
}

auto Fields(const kelvo_interval_components_t& c) {
    return std::make_tuple(c.years, c.months, c.days, c.hours, c.minutes, c.seconds, c.microseconds);
}

// Each case is the stored layout (microseconds; month count and days) and the components it decodes to; where they say
// the same, encoding gives it back.
TEST(IntervalCodec, EncodesAndDecodesTheStoredLayout) {
    constexpr int32_t min32 = std::numeric_limits<int32_t>::min();
    constexpr int32_t max32 = std::numeric_limits<int32_t>::max();
    constexpr int64_t hour = 3600000000LL;
    enum Direction { Both, DecodeOnly, EncodeOnly };
    const std::tuple<const char*, int64_t, int32_t, int32_t, kelvo_interval_components_t, Direction> cases[] = {
        {"mixed signs", -3723000004LL, 26, 5, {2, 2, 5, -1, -2, -3, -4}, Both},
        // Negative months are widened before the shift.
        {"minus one month", 0, -1, 0, {0, -1, 0, 0, 0, 0, 0}, Both},
        {"smallest month count", 0, min32, min32, {-178956970, -8, min32, 0, 0, 0, 0}, Both},
        {"largest 32-bit hours", max32 * hour + hour - 1, 0, 0, {0, 0, 0, max32, 59, 59, 999999}, Both},
        {"smallest 32-bit hours", min32 * hour - hour + 1, 0, 0, {0, 0, 0, min32, -59, -59, -999999}, EncodeOnly},
        // Beyond the 32-bit hour range the hours saturate and keep their sign.
        {"INT64_MAX", std::numeric_limits<int64_t>::max(), 0, 0, {0, 0, 0, max32, 0, 54, 775807}, DecodeOnly},
        {"INT64_MIN", std::numeric_limits<int64_t>::min(), 0, 0, {0, 0, 0, -max32, 0, -54, -775808}, DecodeOnly},
        // The month count wraps like its 32-bit field instead of overflowing.
        {"extreme years", 0, static_cast<int32_t>(2147483647u * 12u), 0, {max32, 0, 0, 0, 0, 0, 0}, EncodeOnly}};
    for (const auto& [name, micros, monthCount, days, components, direction] : cases) {
        SCOPED_TRACE(name);
        kelvo_interval_t value;
        value.data[0] = static_cast<uint64_t>(micros);
        value.data[1] = (static_cast<uint64_t>(static_cast<uint32_t>(monthCount)) << 32) | static_cast<uint32_t>(days);
        if (direction != EncodeOnly) {
            EXPECT_EQ(Fields(kelvo_decode_interval(value)), Fields(components));
        }
        if (direction != DecodeOnly) {
            const kelvo_interval_t encoded = kelvo_encode_interval(components);
            EXPECT_EQ(encoded.data[0], value.data[0]);
            EXPECT_EQ(encoded.data[1], value.data[1]);
        }
    }
}

// A refusal is named by a letter: E(mpty), C(haracter), X (exponent), O(verflow).
std::string Describe(kelvo_error_t* returned) {
    const kelvotest::ErrorPtr owned(returned);
    const kelvoapi::Error& error = kelvotest::AsError(owned);
    const std::string text = error.GetSqlstate() + " " + error.GetMessage();
    const std::tuple<const char*, uint32_t, const char*> refusals[] = {
        {"42601 invalid number format: input string is empty", 0x3d605416, "E"},
        {"42601 invalid number format: invalid character in numeric string", 0x38c394ab, "C"},
        {"42601 invalid number format: invalid exponent value", 0xb44e1dd0, "X"},
        {"22003 numeric overflow", 0x1850391f, "O"}};
    for (const auto& [message, contextId, letter] : refusals) {
        if (text == message && error.GetContextId().value == contextId)
            return letter;
    }
    return text;
}

TEST(ParseNumeric, AcceptsAndRefusesTexts) {
    // The text, precision and scale, and the value or the letter of the refusal.
    const std::tuple<std::string, uint32_t, uint32_t, std::string> cases[] = {
        {"(12.5)", 10, 2, "-1250"},
        {"+0012", 10, 2, "1200"},
        {"-.05", 10, 2, "-5"},
        {"\t\n\v\f\r 7 \r\n", 3, 0, "7"},
        {"1.5E-1", 10, 2, "15"},
        {"12.5e(1)", 10, 2, "125"},
        {"999999999999999999", 18, 0, "999999999999999999"},
        // Judged by significant digits: zeros moved across the point by the exponent are not digits of the value.
        {"0e9", 3, 2, "0"},
        {"0.05e2", 3, 2, "500"},
        {"0.05e2", 3, 3, "O"},
        {"-", 10, 2, "E"},
        {"12a", 10, 2, "C"},
        {"(12", 10, 2, "C"},
        // Without a single digit there is no number.
        {".", 10, 2, "C"},
        {"1e", 10, 2, "X"},
        {"1e19", 10, 2, "X"},
        {"1e0000001", 10, 2, "X"},
        {"12.345", 10, 2, "O"},
        {"1000000000000000000", 18, 0, "O"},
        // Far more digits than 64 bits hold: refused, never wrapped.
        {std::string(400, '9'), 18, 2, "O"},
        {"0." + std::string(400, '1'), 18, 18, "O"},
        {std::string(30, '9') + "e18", 18, 0, "O"},
        // A scale beyond the precision is outside the contract, but the result still cannot leave the 18 digits of an
        // int64.
        {"123456789012345678901234", 5, 10, "O"},
        {"1", 18, 25, "O"}};
    for (const auto& [text, precision, scale, outcome] : cases) {
        SCOPED_TRACE(text);
        const char* iter = text.data();
        int64_t value = -42;
        kelvo_error_t* error = kelvo_parse_numeric(&iter, text.data() + text.size(), precision, scale, &value);
        EXPECT_EQ(error ? Describe(error) : std::to_string(value), outcome);
        if (error) {
            EXPECT_EQ(value, -42) << "the result is written only on success";
        }
        EXPECT_LE(iter, text.data() + text.size());
    }
    // The position is left behind the number; only the given range is read, so no NUL terminator is needed.
    const std::tuple<std::string, size_t, size_t> positions[] = {
        {"12.5  ", 6, 4}, {"  12.5", 6, 6}, {"12.5xyz", 4, 4}, {"   ", 3, 3}};
    for (const auto& [text, end, consumed] : positions) {
        const char* iter = text.data();
        int64_t value = 0;
        kelvo_error_destroy(kelvo_parse_numeric(&iter, text.data() + end, 10, 2, &value));
        EXPECT_EQ(iter - text.data(), static_cast<std::ptrdiff_t>(consumed)) << text;
    }
}

TEST(Quoting, QuotesEveryEscapeClass) {
    const std::pair<std::string, std::string> identifiers[] = {
        {"a\\b", "\"a\\b\""}, {"a\0b"s, "\"a\0b\""s}, {"\r\n", "U&\"\\000D\\000A\""}, {"x\\y\n", "U&\"x\\\\y\\000A\""}};
    for (const auto& [text, quoted] : identifiers)
        EXPECT_EQ(kelvoapi::QuoteIdentifier(text), quoted) << text;
    const std::pair<std::string, std::string> literals[] = {{"a\tb\n", "E'a\\tb\\n'"},  {"a\vb", "E'a\\013b'"},
                                                            {"\x01\x32", "E'\\0012'"},  {"\x7f", "'\x7f'"},
                                                            {"it's\\", "E'it''s\\\\'"}, {"\xff\x80", "'\xff\x80'"}};
    for (const auto& [text, quoted] : literals)
        EXPECT_EQ(kelvoapi::QuoteStringLiteral(text), quoted) << text;
}

using QuoteFunction = size_t (*)(char*, size_t, const char*, size_t);

TEST(QuoteExports, AnswerTheSizeQueryAndCopyOnlyWhatFits) {
    const std::tuple<QuoteFunction, std::string, std::string> cases[] = {
        {kelvo_quote_sql_identifier, "ab\"c", "\"ab\"\"c\""}, {kelvo_quote_sql_literal, "it's", "'it''s'"}};
    for (const auto& [quote, text, quoted] : cases) {
        SCOPED_TRACE(quoted);
        const size_t needed = quoted.size();
        EXPECT_EQ(quote(nullptr, 0, text.data(), text.size()), needed);
        std::string small(needed - 1, '#');
        EXPECT_EQ(quote(&small[0], small.size(), text.data(), text.size()), needed);
        EXPECT_EQ(small, std::string(needed - 1, '#'));
        // Exact fit: no terminator is written behind the text.
        std::string exact(needed + 1, '#');
        EXPECT_EQ(quote(&exact[0], needed, text.data(), text.size()), needed);
        EXPECT_EQ(exact, quoted + "#");
    }
    // The length alone bounds the text: embedded and missing NULs are fine.
    char buffer[8];
    EXPECT_EQ(kelvo_quote_sql_identifier(buffer, sizeof buffer, "ab\0c", 4), 6u);
    EXPECT_EQ(std::memcmp(buffer, "\"ab\0c\"", 6), 0);
    EXPECT_EQ(kelvo_quote_sql_literal(buffer, sizeof buffer, "abcdef", 2), 4u);
    EXPECT_EQ(std::memcmp(buffer, "'ab'", 4), 0);
    EXPECT_EQ(kelvo_quote_sql_literal(buffer, sizeof buffer, nullptr, 0), 2u);
}

// Modifiers below 4 and 0xFFFFFFFF carry no length, precision or scale.
TEST(TypeModifier, SentinelsMeanNone) {
    for (const uint32_t modifier : {0xFFFFFFFFu, 0u, 3u}) {
        EXPECT_EQ(kelvo_get_max_length_from_modifier(modifier), 0xFFFFFFFFu) << modifier;
        EXPECT_EQ(kelvo_get_precision_from_modifier(modifier), 0xFFFFFFFFu) << modifier;
        EXPECT_EQ(kelvo_get_scale_from_modifier(modifier), 0xFFFFFFFFu) << modifier;
    }
    EXPECT_EQ(kelvo_get_max_length_from_modifier(4u), 0u);
}

struct DefinitionDeleter {
    void operator()(kelvo_table_definition_t* definition) const { kelvo_destroy_table_definition(definition); }
};
using DefinitionPtr = std::unique_ptr<kelvo_table_definition_t, DefinitionDeleter>;

void AddColumn(kelvo_table_definition_t* definition, const char* name, kelvo_type_tag_t tag, uint32_t modifier,
               const char* collation, bool nullable) {
    ASSERT_EQ(kelvo_table_definition_add_column(definition, name, tag, modifier, collation, nullable), nullptr);
}

TEST(TableDefinitionExports, StoreFindAndCopyColumns) {
    DefinitionPtr definition(kelvo_create_table_definition(nullptr, nullptr, "t", KELVO_TEMPORARY, true));
    ASSERT_NE(definition, nullptr);
    EXPECT_STREQ(kelvo_table_definition_schema_name(definition.get()), "");
    EXPECT_EQ(kelvo_table_definition_table_persistence(definition.get()), KELVO_TEMPORARY);
    AddColumn(definition.get(), "a", KELVO_CHAR, kelvo_encode_string_modifier(1), nullptr, false);
    AddColumn(definition.get(), "b", KELVO_CHAR, kelvo_encode_string_modifier(10), "en_US", true);
    AddColumn(definition.get(), "a", KELVO_UNSUPPORTED, 0xFFFFFFFF, nullptr, true);
    using Column = std::tuple<std::string, kelvo_type_tag_t, uint32_t, uint32_t, std::string, bool>;
    const Column expected[] = {{"a", KELVO_CHAR, 18, 5, "", false},
                               {"b", KELVO_CHAR, 1042, 14, "en_US", true},
                               {"a", KELVO_UNSUPPORTED, 0, 0xFFFFFFFF, "", true}};
    ASSERT_EQ(kelvo_table_definition_column_count(definition.get()), 3u);
    for (kelvo_field_index_t i = 0; i < 3; ++i) {
        const kelvo_table_definition_t* d = definition.get();
        EXPECT_EQ(
            Column(kelvo_table_definition_column_name(d, i), kelvo_table_definition_column_type_tag(d, i),
                   kelvo_table_definition_column_type_oid(d, i), kelvo_table_definition_column_type_modifier(d, i),
                   kelvo_table_definition_column_collation(d, i), kelvo_table_definition_column_is_nullable(d, i)),
            expected[i]);
    }
    // The first column of a name, compared exactly; the column count when there is none.
    const std::pair<const char*, kelvo_field_index_t> lookups[] = {
        {"a", 0}, {"b", 1}, {"A", 3}, {"a ", 3}, {nullptr, 3}};
    for (const auto& [name, index] : lookups)
        EXPECT_EQ(kelvo_table_definition_column_index(definition.get(), name), index);
    // The one-byte "char" of a result column comes back by its own rule, not by the tag table.
    EXPECT_EQ(kelvoapi::ConvertLibpqType(18, 5).m_tag, KELVO_CHAR);
    kelvo_table_definition_t* raw = nullptr;
    ASSERT_EQ(kelvo_copy_table_definition(definition.get(), &raw), nullptr);
    DefinitionPtr copy(raw);
    EXPECT_TRUE(static_cast<const kelvoapi::TableDefinition*>(copy.get())->IsStream());
    AddColumn(copy.get(), "c", KELVO_INT, 0xFFFFFFFF, nullptr, true);
    EXPECT_EQ(kelvo_table_definition_column_count(definition.get()), 3u);
    EXPECT_EQ(kelvo_create_table_definition("d", "s", nullptr, KELVO_PERMANENT, false), nullptr);
}

kelvoapi::TableDefinition TwoColumns(std::string database, std::string schema, std::string table,
                                     kelvo_table_persistence_t persistence, bool stream) {
    kelvoapi::TableDefinition definition(std::move(database), std::move(schema), std::move(table), persistence, stream);
    definition.AddColumn("a", KELVO_INT, 0xFFFFFFFF, "", false);
    definition.AddColumn("b", KELVO_TEXT, 0xFFFFFFFF, "", true);
    return definition;
}

constexpr const char* two_columns = "(\"a\" INT NOT NULL, \"b\" TEXT)";
constexpr const char* stream_tail = "  (WITH (FORMAT KELVOBINARY, SANITIZE));";

TEST(TableDefinition, GeneratesCreateStatementsAndColumnLists) {
    const std::string stream = "CREATE BOUNDED EXTERNAL STREAM IF NOT EXISTS \"t\" " + std::string(two_columns);
    EXPECT_EQ(TwoColumns("d", "", "t", KELVO_TEMPORARY, true).GenerateCreateSQL(true), stream + stream_tail);
    EXPECT_EQ(TwoColumns("d", "s", "t", KELVO_PERMANENT, false).GenerateCreateStreamSQL("", "", "", true),
              stream + stream_tail);
    EXPECT_EQ(TwoColumns("my \"db\"", "", "a\nb", KELVO_PERMANENT, false).GenerateCreateSQL(false),
              "CREATE TABLE \"my \"\"db\"\"\".U&\"a\\000Ab\" " + std::string(two_columns) + ";");
    kelvoapi::TableDefinition definition("t", KELVO_PERMANENT, false);
    definition.AddColumn("v", KELVO_VARCHAR, kelvo_encode_string_modifier(100), "en_US", false);
    definition.AddColumn("x\"y", KELVO_NUMERIC, kelvo_encode_numeric_modifier(18, 3), "", true);
    EXPECT_EQ(definition.GenerateColumnNamesSQL(), "\"v\", \"x\"\"y\"");
    // Modifiers meaning none are written as they are.
    for (const auto tag : {KELVO_NUMERIC, KELVO_VARCHAR, KELVO_DOUBLE, KELVO_GEOGRAPHY})
        definition.AddColumn("n", tag, 0xFFFFFFFF, "", true);
    definition.AddColumn("c", KELVO_CHAR, kelvo_encode_string_modifier(1), "de\"x", true);
    EXPECT_EQ(definition.GenerateColumnDefinitionsSQL(),
              "\"v\" VARCHAR(100) NOT NULL COLLATE \"en_US\", \"x\"\"y\" NUMERIC(18,3), "
              "\"n\" NUMERIC(4294967295,4294967295), \"n\" VARCHAR(4294967295), \"n\" DOUBLE PRECISION, "
              "\"n\" GEOGRAPHY, \"c\" CHAR(1) COLLATE \"de\"\"x\"");
    kelvoapi::TableDefinition unsupported("t", KELVO_PERMANENT, false);
    unsupported.AddColumn("u", KELVO_UNSUPPORTED, 0xFFFFFFFF, "", true);
    try {
        unsupported.GenerateCreateSQL(false);
        FAIL() << "no error";
    } catch (const kelvoapi::Error& error) {
        EXPECT_EQ(error.GetCode(), std::make_error_code(std::errc::invalid_argument));
        EXPECT_EQ(error.GetMessage(), "`type` `KELVO_UNSUPPORTED` has no string representation");
        EXPECT_EQ(error.GetContextId().value, 0x6f86ef7bu);
    }
}

// A control character in a path goes escaped, never raw, into the statement.
TEST(DatabaseStatements, AttachEscapesControlCharactersAndAliasesAreFileStems) {
    EXPECT_EQ("ATTACH DATABASE U&\"a\\000Ab\" AS \"c\";",
              kelvoapi::AttachDatabaseStatement("a\nb", std::string_view("c")));
    const std::pair<const char*, const char*> stems[] = {{"/x/y/archive.2020.db", "archive.2020"},
                                                         {"/x/.hidden", ".hidden"},
                                                         {"/x/.hidden.db", ".hidden"},
                                                         {"plain", "plain"},
                                                         {"/x/", ""},
                                                         {"/x/..", ".."}};
    for (const auto& [path, stem] : stems)
        EXPECT_EQ(stem, kelvoapi::DatabaseFileStem(path)) << path;
}

using Bytes = std::vector<uint8_t>;
using Writer = std::function<size_t(uint8_t*, size_t)>;

const uint8_t varbinary_value[] = {'a', 'b', 'c'};

TEST(CopyWriters, WriteExactBytesOnlyWhenTheCellFits) {
    const kelvo_data128_t wide{{0x0807060504030201ULL, 0x100F0E0D0C0B0A09ULL}};
    const std::tuple<const char*, Writer, Bytes> cases[] = {
        {"header",
         [](uint8_t* d, size_t s) { return kelvo_write_header(d, s); },
         {'K', 'L', 'V', 'C', 'P', 'Y', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"null", [](uint8_t* d, size_t s) { return kelvo_write_null(d, s); }, {0x01}},
        {"int16", [](uint8_t* d, size_t s) { return kelvo_write_int16(d, s, 0x0102); }, {0x00, 0x02, 0x01}},
        {"data128 not null",
         [wide](uint8_t* d, size_t s) { return kelvo_write_data128_not_null(d, s, wide); },
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}},
        {"varbinary",
         [](uint8_t* d, size_t s) { return kelvo_write_varbinary(d, s, varbinary_value, 3); },
         {0x00, 3, 0, 0, 0, 'a', 'b', 'c'}},
        {"empty varbinary",
         [](uint8_t* d, size_t s) { return kelvo_write_varbinary(d, s, nullptr, 0); },
         {0, 0, 0, 0, 0}}};
    constexpr uint8_t guard = 0xAA;
    for (const auto& [name, write, cell] : cases) {
        SCOPED_TRACE(name);
        const size_t size = cell.size();
        EXPECT_EQ(write(nullptr, 0), size) << "size query";
        // The cell at an odd address: no alignment is ever needed.
        Bytes buffer(size + 2, guard);
        EXPECT_EQ(write(buffer.data() + 1, size), size) << "exact fit";
        Bytes expected = cell;
        expected.insert(expected.begin(), guard);
        expected.push_back(guard);
        EXPECT_EQ(buffer, expected);
        Bytes shortBuffer(size + 1, guard);
        EXPECT_EQ(write(shortBuffer.data(), size - 1), size) << "one byte short";
        EXPECT_EQ(shortBuffer, Bytes(size + 1, guard));
        // A null destination is never written, whatever space comes with it.
        EXPECT_EQ(write(nullptr, 64), size);
    }
}

TEST(CopyWriters, RefuseLengthsTheFormatCannotHold) {
    uint8_t buffer[16] = {};
    const uint8_t byte = 0x55;
    // Lengths from 2^32 do not fit the length field; near SIZE_MAX the cell size would wrap to a small number and
    // overrun the buffer; a null value has no bytes to copy.
    const std::pair<const uint8_t*, size_t> cases[] = {
        {&byte, size_t{1} << 32}, {&byte, std::numeric_limits<size_t>::max() - 4}, {nullptr, 3}};
    for (const auto& [value, length] : cases) {
        SCOPED_TRACE(length);
        EXPECT_EQ(kelvo_write_varbinary(buffer, sizeof buffer, value, length), 0u);
        EXPECT_EQ(kelvo_write_varbinary_not_null(buffer, sizeof buffer, value, length), 0u);
        EXPECT_EQ(kelvo_write_varbinary(nullptr, 0, value, length), 0u);
        EXPECT_EQ(Bytes(buffer, buffer + sizeof buffer), Bytes(sizeof buffer, 0));
    }
    // The largest length the field holds is still sized correctly.
    EXPECT_EQ(kelvo_write_varbinary(nullptr, 0, &byte, 0xFFFFFFFFu), size_t{0xFFFFFFFFu} + 5);
    EXPECT_EQ(kelvo_write_varbinary_not_null(nullptr, 0, &byte, 0xFFFFFFFFu), size_t{0xFFFFFFFFu} + 4);
}

// Little-endian values read at an odd address, with their sign.
TEST(CopyReaders, ReadLittleEndianValuesAtAnyAlignment) {
    const uint8_t bytes[] = {0xEE, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 0xFF, 0xFF};
    const uint8_t* odd = bytes + 1;
    const kelvo_data128_t wide = kelvo_read_data128(odd);
    EXPECT_EQ(std::make_tuple(kelvo_read_int8(bytes), kelvo_read_int16(odd), kelvo_read_int32(odd),
                              kelvo_read_int64(odd), wide.data[0], wide.data[1], kelvo_read_int16(bytes + 17)),
              std::make_tuple(int8_t{-18}, int16_t{0x0201}, 0x04030201, int64_t{0x0807060504030201LL},
                              0x0807060504030201ULL, 0x100F0E0D0C0B0A09ULL, int16_t{-1}));
    EXPECT_EQ(kelvo_read_varbinary(odd), odd);
}

struct ChunkDeleter {
    void operator()(kelvo_data_chunk_t* chunk) const { kelvo_destroy_data_chunk(chunk); }
};
using ChunkPtr = std::unique_ptr<kelvo_data_chunk_t, ChunkDeleter>;

constexpr size_t initial_size = 16777216;

// A chunk starts with the header; out of memory leaves it as it was, and resizing keeps the bytes below the smaller
// size, down to none.
TEST(DataChunk, KeepsWhatWasWrittenThroughResizesAndOutOfMemory) {
    ChunkPtr chunk(kelvo_create_data_chunk());
    ASSERT_NE(chunk, nullptr);
    EXPECT_EQ(kelvo_get_chunk_header_size(chunk.get()), 19u);
    uint8_t* data = kelvo_get_chunk_data(chunk.get());
    const kelvotest::ErrorPtr error(kelvo_resize_data_chunk(chunk.get(), std::numeric_limits<size_t>::max() / 2));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(kelvotest::AsError(error).GetSqlstate(), "53200");
    EXPECT_EQ(kelvotest::AsError(error).GetContextId().value, 0xbada110cu);
    EXPECT_EQ(kelvo_get_chunk_data(chunk.get()), data);
    EXPECT_EQ(kelvo_get_chunk_data_size(chunk.get()), initial_size);
    uint8_t header[19];
    ASSERT_EQ(kelvo_write_header(header, sizeof header), 19u);
    EXPECT_EQ(std::memcmp(data, header, sizeof header), 0);
    size_t used = 19;
    for (int32_t i = 0; i < 100; ++i) {
        used += kelvo_write_int32(data + used, initial_size - used, i);
    }
    // The new sizes, and how many of the bytes written before each keeps.
    const std::pair<size_t, size_t> steps[] = {
        {initial_size * 2, used}, {used, used}, {100, 100}, {19, 19}, {5, 5}, {4096, 5}};
    const std::vector<uint8_t> written(data, data + used);
    for (const auto& [size, kept] : steps) {
        SCOPED_TRACE(size);
        ASSERT_EQ(kelvo_resize_data_chunk(chunk.get(), size), nullptr);
        EXPECT_EQ(kelvo_get_chunk_data_size(chunk.get()), size);
        data = kelvo_get_chunk_data(chunk.get());
        EXPECT_EQ(std::memcmp(data, written.data(), kept), 0);
        // The new capacity is writable to its last byte (kept bytes stay).
        data[size - 1] = size <= written.size() ? written[size - 1] : 0x5A;
    }
    // Resizing to zero leaves a valid chunk, which can grow again.
    ASSERT_EQ(kelvo_resize_data_chunk(chunk.get(), 0), nullptr);
    EXPECT_EQ(kelvo_get_chunk_data_size(chunk.get()), 0u);
    EXPECT_EQ(kelvo_get_chunk_data(chunk.get()), nullptr);
    ASSERT_EQ(kelvo_resize_data_chunk(chunk.get(), 0), nullptr);
    ASSERT_EQ(kelvo_resize_data_chunk(chunk.get(), 32), nullptr);
    EXPECT_EQ(kelvo_write_header(kelvo_get_chunk_data(chunk.get()), 32), 19u);
    ASSERT_EQ(kelvo_resize_data_chunk(chunk.get(), 0), nullptr);
    // The chunk is destroyed once, by the deleter; ASan reports a double free.
    kelvo_destroy_data_chunk(nullptr);
}

}  // namespace
