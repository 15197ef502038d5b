// The anchor side of the client-speed benchmarks: the system's libpq.
#include "libpq_anchor.h"

#include <libpq-fe.h>

#include <stdexcept>
#include <string>

namespace kelvobench {
namespace {

PGconn* Conn(void* conn) { return static_cast<PGconn*>(conn); }

[[noreturn]] void Fail(PGconn* conn) { throw std::runtime_error(std::string("libpq: ") + PQerrorMessage(conn)); }

}  // namespace

LibpqConnection::LibpqConnection(const char* const* keywords, const char* const* values)
    : m_conn(PQconnectdbParams(keywords, values, 0)) {
    if (PQstatus(Conn(m_conn)) != CONNECTION_OK) {
        const std::string text = PQerrorMessage(Conn(m_conn));
        PQfinish(Conn(m_conn));
        throw std::runtime_error("libpq: " + text);
    }
    PQsetNoticeProcessor(
        Conn(m_conn), [](void*, const char*) {}, nullptr);
}

LibpqConnection::~LibpqConnection() { PQfinish(Conn(m_conn)); }

void LibpqConnection::Exec(const char* sql) {
    PGresult* res = PQexec(Conn(m_conn), sql);
    const ExecStatusType status = PQresultStatus(res);
    PQclear(res);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        Fail(Conn(m_conn));
}

int64_t LibpqConnection::ReadWhole(const char* sql) {
    PGresult* res = PQexec(Conn(m_conn), sql);
    if (PQresultStatus(res) != PGRES_TUPLES_OK) {
        PQclear(res);
        Fail(Conn(m_conn));
    }
    const int64_t rows = PQntuples(res);
    PQclear(res);
    return rows;
}

int64_t LibpqConnection::ReadSingleRows(const char* sql) {
    if (PQsendQuery(Conn(m_conn), sql) != 1 || PQsetSingleRowMode(Conn(m_conn)) != 1)
        Fail(Conn(m_conn));
    int64_t rows = 0;
    bool failed = false;
    while (PGresult* res = PQgetResult(Conn(m_conn))) {
        const ExecStatusType status = PQresultStatus(res);
        if (status == PGRES_SINGLE_TUPLE) {
            ++rows;
        } else if (status != PGRES_TUPLES_OK) {
            failed = true;
        }
        PQclear(res);
    }
    if (failed)
        Fail(Conn(m_conn));
    return rows;
}

void LibpqConnection::CopyIn(const char* copySql, const char* data, const size_t* offsets, size_t rows) {
    PGresult* res = PQexec(Conn(m_conn), copySql);
    const bool started = PQresultStatus(res) == PGRES_COPY_IN;
    PQclear(res);
    if (!started)
        Fail(Conn(m_conn));
    for (size_t i = 0; i < rows; ++i) {
        if (PQputCopyData(Conn(m_conn), data + offsets[i], static_cast<int>(offsets[i + 1] - offsets[i])) != 1)
            Fail(Conn(m_conn));
    }
    if (PQputCopyEnd(Conn(m_conn), nullptr) != 1)
        Fail(Conn(m_conn));
    bool failed = false;
    while (PGresult* done = PQgetResult(Conn(m_conn))) {
        if (PQresultStatus(done) != PGRES_COMMAND_OK)
            failed = true;
        PQclear(done);
    }
    if (failed)
        Fail(Conn(m_conn));
}

}  // namespace kelvobench
