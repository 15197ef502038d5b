// Where an inserter buffer hands its full chunks: the inserter, or a test's
// recorder. One virtual call per 16 MiB chunk, never per cell.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "api/table_definition.h"

namespace kelvoapi {

class ChunkSink {
public:
    virtual ~ChunkSink() = default;
    // Switches to bulk mode at most once; `streamDefinition` describes the
    // columns as encoded and is read only during the call.
    virtual void InitBulkInsert(const TableDefinition* streamDefinition, const std::string& selectList) = 0;
    // Sends `size` bytes from `data`, the copy-format header included.
    virtual void SendChunk(const uint8_t* data, size_t size) = 0;
    // Whether chunks encoded after `definition` may go through the plain
    // COPY into the table, which the server reads with the table's own
    // columns; else the first chunk switches to bulk mode, whose stream
    // has the encoded columns, so that the mode never changes the rows.
    virtual bool TakesPlainChunks(const TableDefinition& /*definition*/, const std::string& /*selectList*/) const {
        return true;
    }
};

}  // namespace kelvoapi
