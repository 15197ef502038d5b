// Column types: the tag, OID and modifier of a column with its collation and
// nullability, the translation from protocol type OIDs, and the SQL text of a
// type in CREATE statements. Used by table definitions, results and the
// catalog.
#pragma once

#include <cstdint>
#include <string>

#include "kelvo/types.h"

namespace kelvoapi {

constexpr kelvo_type_modifier_t no_type_modifier = 0xFFFFFFFFu;

// Modifiers in the manner of PostgreSQL's atttypmod, in unsigned 32-bit
// arithmetic. The readers give no_type_modifier for 0xFFFFFFFF and 0 to 3.
kelvo_type_modifier_t EncodeNumericModifier(uint32_t precision, uint32_t scale);
kelvo_type_modifier_t EncodeStringModifier(uint32_t maxLength);
uint32_t MaxLengthFromModifier(kelvo_type_modifier_t modifier);
uint32_t PrecisionFromModifier(kelvo_type_modifier_t modifier);
uint32_t ScaleFromModifier(kelvo_type_modifier_t modifier);

struct Type {
    kelvo_type_tag_t m_tag = KELVO_UNSUPPORTED;
    uint32_t m_oid = 0;
    kelvo_type_modifier_t m_modifier = no_type_modifier;
    // Empty means the default collation.
    std::string m_collation;
    bool m_nullable = false;
};

bool operator==(const Type& a, const Type& b);
inline bool operator!=(const Type& a, const Type& b) { return !(a == b); }

// The OID a column of this tag is declared with: a CHAR of length 1
// (modifier 5) is the one-byte type 18, any other CHAR 1042. Tag
// KELVO_UNSUPPORTED gives 0.
uint32_t GetTypeOid(kelvo_type_tag_t tag, kelvo_type_modifier_t modifier);

// The tag of a protocol type OID (both 18 and 1042 are KELVO_CHAR); unknown
// OIDs give KELVO_UNSUPPORTED with the OID kept. Nullable is false and the
// collation empty.
Type ConvertLibpqType(uint32_t oid, uint32_t modifier);

// "INT", "NUMERIC(18,3)", "VARCHAR(100) NOT NULL COLLATE \"en_US\"", ...
// Throws (generic category, code 22) for KELVO_UNSUPPORTED, which has no SQL
// text.
std::string GenerateSQLString(const Type& type);

}  // namespace kelvoapi
