// The road the load programs measure: rows of the mixed table added one by
// one to an inserter buffer and sent to the server, the inserter closed
// (committed) at the end. Shared by load_side_by_side and
// concurrent_loads_side_by_side.
#pragma once

#include <string>

#include "side_by_side.h"
#include "support/mixed_table.h"

namespace sidebyside {

// Rows [0, rows) of the mixed table into `table`, which exists.
inline void LoadThroughLibrary(kelvo_connection_t* conn, int64_t rows, const std::string& table = "mixed") {
    const kelvoapi::TableDefinition definition = kelvobench::MixedDefinition(table);
    kelvo_inserter_t* inserter = nullptr;
    kelvo_inserter_buffer_t* b = nullptr;
    Check(kelvo_create_inserter(conn, &definition, &inserter), "inserter");
    Check(kelvo_create_inserter_buffer(inserter, &definition, "*", &b), "inserter buffer");
    for (int64_t id = 0; id < rows; ++id)
        Check(kelvobench::AddMixedRow(b, id), "add a row");
    Check(kelvo_inserter_buffer_flush(b), "flush");
    kelvo_inserter_buffer_destroy(b);
    Check(kelvo_close_inserter(inserter, true), "close the inserter");
}

}  // namespace sidebyside
