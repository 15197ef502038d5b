// The PostgreSQL anchor of the load programs: a libpq client of the private
// 15 cluster the wire tests start, sending the rows of the mixed table as
// COPY ... (FORMAT binary) in 1 MiB pieces. Shared by load_side_by_side and
// concurrent_loads_side_by_side.
#pragma once

#include <arpa/inet.h>
#include <libpq-fe.h>

#include <cstring>
#include <string>

#include "mixed_chunk.h"
#include "postgres_anchor.h"
#include "side_by_side.h"
#include "support/mixed_table.h"

namespace sidebyside {

class BinaryCopyWriter {
public:
    void Int16(int16_t v) { Raw(htons(static_cast<uint16_t>(v)), 2); }
    void Int32(int32_t v) { Raw(htonl(static_cast<uint32_t>(v)), 4); }
    void Int64(int64_t v) {
        Int32(static_cast<int32_t>(static_cast<uint64_t>(v) >> 32));
        Int32(static_cast<int32_t>(v));
    }
    void Field(const void* p, size_t n) {
        Int32(static_cast<int32_t>(n));
        m_bytes.append(static_cast<const char*>(p), n);
    }
    std::string& Bytes() { return m_bytes; }

private:
    template <typename T>
    void Raw(T v, size_t n) {
        m_bytes.append(reinterpret_cast<const char*>(&v), n);
    }
    std::string m_bytes;
};

// Rows [0, rows) of the mixed table into `table`, committed.
inline void LoadThroughPostgresCopy(PGconn* pg, int64_t rows, const std::string& table = "mixed") {
    using kelvobench::kMixedBlob;
    using kelvobench::kMixedName;
    using kelvobench::kMixedNote;
    PgCheck(PQexec(pg, ("COPY " + table + " FROM STDIN (FORMAT binary)").c_str()), PGRES_COPY_IN, "COPY");
    BinaryCopyWriter w;
    w.Bytes().assign("PGCOPY\n\377\r\n\0", 11);
    w.Int32(0);
    w.Int32(0);
    for (int64_t id = 0; id < rows; ++id) {
        w.Int16(10);
        w.Int32(8), w.Int64(id);
        w.Int32(4), w.Int32(static_cast<int32_t>(id));
        w.Int32(2), w.Int16(static_cast<int16_t>(id));
        w.Int32(1), w.Bytes().push_back((id & 1) != 0 ? 1 : 0);
        double d = static_cast<double>(id) * 0.25;
        int64_t bits;
        std::memcpy(&bits, &d, 8);
        w.Int32(8), w.Int64(bits);
        w.Int32(4), w.Int32(MixedDaysSince1970(id) - 10957);
        w.Field(kMixedName.data(), kMixedName.size());
        w.Field(kMixedNote.data(), kMixedNote.size());
        w.Field(kMixedBlob, sizeof kMixedBlob);
        if ((id & 1) != 0)
            w.Int32(-1);
        else
            w.Int32(4), w.Int32(static_cast<int32_t>(id));
        if (w.Bytes().size() >= (1u << 20)) {
            if (PQputCopyData(pg, w.Bytes().data(), static_cast<int>(w.Bytes().size())) != 1)
                Fail(PQerrorMessage(pg));
            w.Bytes().clear();
        }
    }
    w.Int16(-1);
    if (PQputCopyData(pg, w.Bytes().data(), static_cast<int>(w.Bytes().size())) != 1 || PQputCopyEnd(pg, nullptr) != 1)
        Fail(PQerrorMessage(pg));
    PgCheck(PQgetResult(pg), PGRES_COMMAND_OK, "COPY end");
    while (PGresult* r = PQgetResult(pg))
        PQclear(r);
}

}  // namespace sidebyside
