// The system's libpq, linked only into the client-speed benchmarks as the
// anchor they are measured against. Its header cannot share a translation
// unit with the wire-protocol client's, so this interface carries no libpq
// type. Every function throws std::runtime_error with libpq's text on failure.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvobench {

class LibpqConnection {
public:
    // Null-terminated keyword and value arrays, as PQconnectdbParams takes them.
    LibpqConnection(const char* const* keywords, const char* const* values);
    ~LibpqConnection();
    LibpqConnection(const LibpqConnection&) = delete;
    LibpqConnection& operator=(const LibpqConnection&) = delete;

    void Exec(const char* sql);
    // PQexec of a query; returns its row count after freeing it.
    int64_t ReadWhole(const char* sql);
    // PQsendQuery in single-row mode, every row result freed; returns the rows.
    int64_t ReadSingleRows(const char* sql);
    // COPY FROM STDIN with one PQputCopyData per row: row i is
    // data[offsets[i], offsets[i + 1]).
    void CopyIn(const char* copySql, const char* data, const size_t* offsets, size_t rows);

private:
    void* m_conn;
};

}  // namespace kelvobench
