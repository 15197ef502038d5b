// The tag table of column types and their SQL text (see type.h).
#include "api/type.h"

#include <cerrno>
#include <system_error>

#include "api/quoting.h"
#include "error/context_ids.h"
#include "error/error.h"

namespace kelvoapi {

namespace {

struct TagEntry {
    kelvo_type_tag_t tag;
    uint32_t oid;
    const char* sql;
};

// Indexed by tag value. KELVO_CHAR's 1042 is its OID for every length but 1.
constexpr TagEntry tag_table[] = {
    {KELVO_UNSUPPORTED, 0, nullptr},
    {KELVO_BOOL, 16, "BOOLEAN"},
    {KELVO_BIG_INT, 20, "BIGINT"},
    {KELVO_SMALL_INT, 21, "SMALLINT"},
    {KELVO_INT, 23, "INT"},
    {KELVO_NUMERIC, 1700, "NUMERIC"},
    {KELVO_DOUBLE, 701, "DOUBLE PRECISION"},
    {KELVO_OID, 26, "OID"},
    {KELVO_BYTE_A, 17, "BYTEA"},
    {KELVO_TEXT, 25, "TEXT"},
    {KELVO_VARCHAR, 1043, "VARCHAR"},
    {KELVO_CHAR, 1042, "CHAR"},
    {KELVO_JSON, 114, "JSON"},
    {KELVO_DATE, 1082, "DATE"},
    {KELVO_INTERVAL, 1186, "INTERVAL"},
    {KELVO_TIME, 1083, "TIME"},
    {KELVO_TIMESTAMP, 1114, "TIMESTAMP"},
    {KELVO_TIMESTAMP_TZ, 1184, "TIMESTAMPTZ"},
    {KELVO_GEOGRAPHY, 5003, "GEOGRAPHY"},
};

constexpr uint32_t char_one_oid = 18;
constexpr kelvo_type_modifier_t char_one_modifier = 5;

const TagEntry* FindTag(kelvo_type_tag_t tag) {
    const auto index = static_cast<unsigned>(tag);
    if (index >= sizeof tag_table / sizeof tag_table[0]) {
        return nullptr;
    }
    return &tag_table[index];
}

}  // namespace

kelvo_type_modifier_t EncodeNumericModifier(uint32_t precision, uint32_t scale) {
    return ((precision << 16) | scale) + 4u;
}

kelvo_type_modifier_t EncodeStringModifier(uint32_t maxLength) { return maxLength + 4u; }

uint32_t MaxLengthFromModifier(kelvo_type_modifier_t modifier) {
    if (modifier < 4u || modifier == no_type_modifier) {
        return no_type_modifier;
    }
    return modifier - 4u;
}

namespace {
// -1 to 3 read as signed: no modifier, or one too small to hold a precision.
bool HasNoNumericModifier(kelvo_type_modifier_t modifier) {
    const auto value = static_cast<int32_t>(modifier);
    return value >= -1 && value <= 3;
}
}  // namespace

uint32_t PrecisionFromModifier(kelvo_type_modifier_t modifier) {
    return HasNoNumericModifier(modifier) ? no_type_modifier : (modifier - 4u) >> 16;
}

uint32_t ScaleFromModifier(kelvo_type_modifier_t modifier) {
    return HasNoNumericModifier(modifier) ? no_type_modifier : (modifier - 4u) & 0xFFFFu;
}

bool operator==(const Type& a, const Type& b) {
    return a.m_tag == b.m_tag && a.m_oid == b.m_oid && a.m_modifier == b.m_modifier && a.m_collation == b.m_collation &&
           a.m_nullable == b.m_nullable;
}

uint32_t GetTypeOid(kelvo_type_tag_t tag, kelvo_type_modifier_t modifier) {
    if (tag == KELVO_CHAR && modifier == char_one_modifier) {
        return char_one_oid;
    }
    const TagEntry* entry = FindTag(tag);
    return entry == nullptr ? 0 : entry->oid;
}

Type ConvertLibpqType(uint32_t oid, uint32_t modifier) {
    Type type;
    type.m_oid = oid;
    type.m_modifier = modifier;
    if (oid == char_one_oid) {
        type.m_tag = KELVO_CHAR;
        return type;
    }
    for (const TagEntry& entry : tag_table) {
        if (entry.oid == oid && entry.tag != KELVO_UNSUPPORTED) {
            type.m_tag = entry.tag;
            break;
        }
    }
    return type;
}

std::string GenerateSQLString(const Type& type) {
    const TagEntry* entry = FindTag(type.m_tag);
    if (entry == nullptr || entry->sql == nullptr) {
        throw Error(std::make_error_code(std::errc::invalid_argument),
                    "`type` `KELVO_UNSUPPORTED` has no string representation", ContextIds::UnsupportedType);
    }
    std::string sql = entry->sql;
    switch (type.m_tag) {
        case KELVO_NUMERIC:
            // A missing modifier is written as it decodes: 4294967295.
            sql += '(';
            sql += std::to_string(PrecisionFromModifier(type.m_modifier));
            sql += ',';
            sql += std::to_string(ScaleFromModifier(type.m_modifier));
            sql += ')';
            break;
        case KELVO_VARCHAR:
        case KELVO_CHAR:
            sql += '(';
            sql += std::to_string(MaxLengthFromModifier(type.m_modifier));
            sql += ')';
            break;
        default:
            break;
    }
    if (!type.m_nullable) {
        sql += " NOT NULL";
    }
    if (!type.m_collation.empty()) {
        sql += " COLLATE ";
        sql += QuoteIdentifier(type.m_collation);
    }
    return sql;
}

}  // namespace kelvoapi
