// The row processor: copies the row that the parser left in conn->rowBuf
// into the current result, and in chunked mode cuts the rows of a statement
// into results of conn->result_chunk_size rows.
//
// In chunked mode conn->next_result holds the template (the result made from
// the RowDescription, with the column descriptions) while conn->result is the
// chunk being filled; with no chunk being filled the template is conn->result.
#include <cstdlib>
#include <cstring>

#include "postgres/libpq/connection_record.h"
#include "postgres/libpq/result_record.h"

int pqRowProcessor(PGconn* conn, const char** errmsgp) {
    PGresult* res = conn->result;
    const int nfields = res->numAttributes;
    const PGdataValue* columns = conn->rowBuf;

    bool startedChunk = false;
    if (conn->result_chunk_size != 0 && conn->next_result == nullptr) {
        res = PQcopyResult(res, PG_COPYRES_ATTRS | PG_COPYRES_EVENTS | PG_COPYRES_NOTICEHOOKS);
        if (res == nullptr) return 0;
        startedChunk = true;
    }

    auto fail = [&]() {
        if (startedChunk) PQclear(res);
        return 0;
    };

    auto* tup =
        static_cast<PGresAttValue*>(pqResultAlloc(res, static_cast<size_t>(nfields) * sizeof(PGresAttValue), true));
    if (tup == nullptr) return fail();

    int64_t added = 16 * static_cast<int64_t>(nfields);
    for (int i = 0; i < nfields; ++i) {
        int clen = columns[i].len;
        if (clen < 0) {
            tup[i].len = -1;
            tup[i].value = res->null_field;
        } else {
            bool isbinary = res->attDescs[i].format != 0;
            char* val = static_cast<char*>(pqResultAlloc(res, static_cast<size_t>(clen) + 1, isbinary));
            if (val == nullptr) return fail();
            memcpy(val, columns[i].value, clen);
            val[clen] = '\0';
            tup[i].len = clen;
            tup[i].value = val;
            added += static_cast<int64_t>(clen) + 1;
        }
    }

    if (res->ntups >= res->tupArrSize) {
        if (!pqGrowTupleArray(res, errmsgp)) return fail();
    }
    res->tuples[res->ntups++] = tup;
    res->tupAllocSize += added;

    if (conn->result_chunk_size == 0) return 1;
    if (startedChunk) {
        conn->next_result = conn->result;
        conn->result = res;
    }
    if (static_cast<uint32_t>(res->ntups) >= conn->result_chunk_size) {
        res->resultStatus = PGRES_TUPLES_CHUNK;
        conn->asyncStatus = PGASYNC_READY;
    }
    return 1;
}
