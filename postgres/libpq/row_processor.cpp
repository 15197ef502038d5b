// The row processors: store a parsed row into the current result's field
// arrays, and in chunked mode cut the rows of a statement into results of
// conn->result_chunk_size rows.
//
// In chunked mode conn->next_result holds the template (the result made from
// the RowDescription, with the column descriptions) while conn->result is the
// chunk being filled; with no chunk being filled the template is conn->result.
#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

#include "postgres/libpq/connection_record.h"
#include "postgres/libpq/result_record.h"

namespace {

// Chunks up to this many rows get field arrays for all their rows at once.
constexpr uint32_t kPresizedChunkRows = 4096;

// The result the next row goes into, with room for it: a new chunk made from
// the template when chunked mode has none being filled (*started set), else
// the current result. Null when a chunk or the room cannot be had.
PGresult* rowTarget(PGconn* conn, bool* started, const char** errmsgp) {
    *started = false;
    if (conn->result_chunk_size == 0 || conn->next_result != nullptr) {
        PGresult* res = conn->result;
        return res->ntups < res->tupArrSize || pqGrowTupleArray(res, errmsgp) ? res : nullptr;
    }
    PGresult* chunk = PQcopyResult(conn->result, PG_COPYRES_ATTRS | PG_COPYRES_EVENTS | PG_COPYRES_NOTICEHOOKS);
    if (chunk == nullptr)
        return nullptr;
    const uint32_t rows = conn->result_chunk_size;
    if (!pqGrowTupleArray(chunk, errmsgp, rows <= kPresizedChunkRows ? static_cast<int>(rows) : 0)) {
        PQclear(chunk);
        return nullptr;
    }
    *started = true;
    return chunk;
}

// Counts the stored row in and, in chunked mode, makes a started chunk the
// current result and hands a full one out.
int finishRow(PGconn* conn, PGresult* res, bool started, int64_t added) {
    res->ntups++;
    res->tupAllocSize += added;
    if (conn->result_chunk_size == 0)
        return 1;
    if (started) {
        conn->next_result = conn->result;
        conn->result = res;
    }
    if (static_cast<uint32_t>(res->ntups) >= conn->result_chunk_size) {
        res->resultStatus = PGRES_TUPLES_CHUNK;
        conn->asyncStatus = PGASYNC_READY;
    }
    return 1;
}

int failRow(PGresult* res, bool started, int code = 0) {
    if (started)
        PQclear(res);
    return code;
}

}  // namespace

int pqRowProcessor(PGconn* conn, const char** errmsgp) {
    bool started;
    PGresult* res = rowTarget(conn, &started, errmsgp);
    if (res == nullptr)
        return 0;

    const int nfields = res->numAttributes;
    const PGdataValue* columns = conn->rowBuf;
    const size_t first = static_cast<size_t>(res->ntups) * nfields;
    // Counted as 16 bytes per field and length + 1 per value.
    int64_t added = 16 * static_cast<int64_t>(nfields);
    for (int i = 0; i < nfields; ++i) {
        const int clen = columns[i].len;
        if (clen < 0) {
            res->fieldValues[first + i] = nullptr;
            res->fieldLengths[first + i] = -1;
            continue;
        }
        auto* val = static_cast<uint8_t*>(pqResultAlloc(res, static_cast<size_t>(clen) + 1, false));
        if (val == nullptr)
            return failRow(res, started);
        memcpy(val, columns[i].value, clen);
        val[clen] = '\0';
        res->fieldValues[first + i] = val;
        res->fieldLengths[first + i] = clen;
        added += static_cast<int64_t>(clen) + 1;
    }
    return finishRow(conn, res, started, added);
}

int pqStoreDataRow(PGconn* conn, const char* fields, int length, const char** errmsgp) {
    bool started;
    PGresult* res = rowTarget(conn, &started, errmsgp);
    if (res == nullptr)
        return 0;

    // One copy of the whole row, one byte longer: each value's NUL goes over
    // the first byte of the next length word once that word has been read,
    // and the last value's over the extra byte.
    uint8_t* row;
    if (length < res->spaceLeft) {
        // The common case of pqResultAlloc, without the call.
        row = reinterpret_cast<uint8_t*>(res->curBlock->space + res->curOffset);
        res->curOffset += length + 1;
        res->spaceLeft -= length + 1;
    } else {
        row = static_cast<uint8_t*>(pqResultAlloc(res, static_cast<size_t>(length) + 1, false));
        if (row == nullptr)
            return failRow(res, started);
    }
    memcpy(row, fields, static_cast<size_t>(length));

    const int nfields = res->numAttributes;
    const size_t first = static_cast<size_t>(res->ntups) * nfields;
    uint8_t** values = res->fieldValues + first;
    int* lengths = res->fieldLengths + first;
    int64_t nonNull = 0;
    int pos = 0;
    uint8_t* pendingEnd = nullptr;  // where the last value's NUL goes
    for (int i = 0; i < nfields; ++i) {
        if (length - pos < 4)
            return failRow(res, started, PQ_ROW_TRUNCATED);
        uint32_t word;
        memcpy(&word, row + pos, 4);
        const int vlen = static_cast<int>(ntohl(word));
        pos += 4;
        if (pendingEnd != nullptr) {
            *pendingEnd = '\0';
            pendingEnd = nullptr;
        }
        if (vlen < 0) {
            // Only -1 means NULL; other negative lengths are malformed.
            if (vlen != -1)
                return failRow(res, started, PQ_ROW_BAD_LENGTH);
            values[i] = nullptr;
            lengths[i] = -1;
            continue;
        }
        if (vlen > length - pos)
            return failRow(res, started, PQ_ROW_TRUNCATED);
        values[i] = row + pos;
        lengths[i] = vlen;
        pos += vlen;
        pendingEnd = row + pos;
        ++nonNull;
    }
    if (pos != length)
        return failRow(res, started, PQ_ROW_EXTRANEOUS);
    if (pendingEnd != nullptr)
        *pendingEnd = '\0';
    // Counted as pqRowProcessor counts: 16 bytes per field and length + 1
    // per value (the value bytes are the row less its length words).
    const int64_t added = 16 * static_cast<int64_t>(nfields) + (length - 4 * static_cast<int64_t>(nfields)) + nonNull;
    return finishRow(conn, res, started, added);
}
