// Type modifiers and the tag/OID table; the SQL text of column types is read
// through table definitions.
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "api/type.h"
#include "kelvo/types.h"

namespace {

constexpr uint32_t none = 0xFFFFFFFFu;

TEST(TypeModifier, EncodesAndReadsBackWithSentinelsMeaningNone) {
    EXPECT_EQ(kelvo_encode_numeric_modifier(18, 3), 1179655u);
    EXPECT_EQ(kelvo_get_precision_from_modifier(1179655u), 18u);
    EXPECT_EQ(kelvo_get_scale_from_modifier(1179655u), 3u);
    EXPECT_EQ(kelvo_encode_string_modifier(100), 104u);
    EXPECT_EQ(kelvo_get_max_length_from_modifier(104u), 100u);
    EXPECT_EQ(kelvo_get_max_length_from_modifier(4u), 0u);
    EXPECT_EQ(kelvo_encode_string_modifier(0xFFFFFFFFu), 3u);  // unsigned 32-bit arithmetic throughout
    for (const uint32_t modifier : {none, 0u, 3u}) {
        SCOPED_TRACE(modifier);
        EXPECT_EQ(kelvo_get_max_length_from_modifier(modifier), none);
        EXPECT_EQ(kelvo_get_precision_from_modifier(modifier), none);
        EXPECT_EQ(kelvo_get_scale_from_modifier(modifier), none);
    }
    EXPECT_EQ(kelvo_get_max_length_from_modifier(0xFFFFFFFEu), 0xFFFFFFFAu);
    EXPECT_EQ(kelvo_get_scale_from_modifier(0xFFFFFFFEu), 0xFFFAu);
}

TEST(ConvertLibpqType, MapsOidsToTags) {
    const std::pair<uint32_t, kelvo_type_tag_t> cases[] = {
        {16, KELVO_BOOL},        {20, KELVO_BIG_INT},        {1700, KELVO_NUMERIC},   {18, KELVO_CHAR},
        {1042, KELVO_CHAR},      {1184, KELVO_TIMESTAMP_TZ}, {5003, KELVO_GEOGRAPHY}, {0, KELVO_UNSUPPORTED},
        {19, KELVO_UNSUPPORTED}, {700, KELVO_UNSUPPORTED},
    };
    for (const auto& [oid, tag] : cases) {
        const kelvoapi::Type type = kelvoapi::ConvertLibpqType(oid, 77);
        EXPECT_EQ(type.m_tag, tag) << oid;
        EXPECT_EQ(type.m_oid, oid);
        EXPECT_EQ(type.m_modifier, 77u);
    }
}

}  // namespace
