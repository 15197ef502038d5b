// The 10-column mixed table the load and encode benchmarks share, as the
// library sees it: its definition, its CREATE TABLE for the server and for
// PostgreSQL, and row `id` added through the inserter buffer's C functions.
// Row `id`: id, (int)id, (short)id, odd, id/4, 2024-(1 + id % 12)-01, the
// name, the note, the blob, and opt = id in even rows, NULL in odd ones.
#pragma once

#include <cstdint>
#include <string>

#include "api/table_definition.h"
#include "kelvo/kelvo.h"

namespace kelvobench {

inline const std::string kMixedName = "customer-000042";
inline const std::string kMixedNote = "a note of some forty bytes, give or take";
inline const uint8_t kMixedBlob[8] = {1, 2, 3, 4, 5, 6, 7, 8};

inline const char* const kMixedTable =
    "CREATE TABLE mixed (id BIGINT NOT NULL, i INT, s SMALLINT, f BOOLEAN, d DOUBLE PRECISION, dt DATE, name TEXT, "
    "note TEXT, blob BYTEA, opt INT)";

// `name` for loads that run side by side, each into a table of its own.
inline kelvoapi::TableDefinition MixedDefinition(const std::string& name = "mixed") {
    kelvoapi::TableDefinition definition(name, KELVO_PERMANENT, false);
    definition.AddColumn("id", KELVO_BIG_INT, 0, "", false);
    definition.AddColumn("i", KELVO_INT, 0, "", true);
    definition.AddColumn("s", KELVO_SMALL_INT, 0, "", true);
    definition.AddColumn("f", KELVO_BOOL, 0, "", true);
    definition.AddColumn("d", KELVO_DOUBLE, 0, "", true);
    definition.AddColumn("dt", KELVO_DATE, 0, "", true);
    definition.AddColumn("name", KELVO_TEXT, 0, "", true);
    definition.AddColumn("note", KELVO_TEXT, 0, "", true);
    definition.AddColumn("blob", KELVO_BYTE_A, 0, "", true);
    definition.AddColumn("opt", KELVO_INT, 0, "", true);
    return definition;
}

// Stops at the first refused cell and hands its error to the caller.
inline kelvo_error_t* AddMixedRow(kelvo_inserter_buffer_t* b, int64_t id) {
    const auto* name = reinterpret_cast<const uint8_t*>(kMixedName.data());
    const auto* note = reinterpret_cast<const uint8_t*>(kMixedNote.data());
    kelvo_error_t* e = kelvo_inserter_buffer_add_int64(b, id);
    if (!e) e = kelvo_inserter_buffer_add_int32(b, static_cast<int32_t>(id));
    if (!e) e = kelvo_inserter_buffer_add_int16(b, static_cast<int16_t>(id));
    if (!e) e = kelvo_inserter_buffer_add_bool(b, (id & 1) != 0);
    if (!e) e = kelvo_inserter_buffer_add_double(b, static_cast<double>(id) * 0.25);
    if (!e) e = kelvo_inserter_buffer_add_date(b, 2024, static_cast<int16_t>(1 + id % 12), 1);
    if (!e) e = kelvo_inserter_buffer_add_binary(b, name, kMixedName.size());
    if (!e) e = kelvo_inserter_buffer_add_binary(b, note, kMixedNote.size());
    if (!e) e = kelvo_inserter_buffer_add_binary(b, kMixedBlob, sizeof kMixedBlob);
    if (!e) {
        e = (id & 1) != 0 ? kelvo_inserter_buffer_add_null(b)
                          : kelvo_inserter_buffer_add_int32(b, static_cast<int32_t>(id));
    }
    return e;
}

}  // namespace kelvobench
