// See connected_record.h.
#include "connected_record.h"

#include <cstring>
#include <stdexcept>

#include "postgres/libpq/buffer_space.h"
#include "postgres/libpq/message_io.h"
#include "postgres/libpq/result_record.h"
#include "postgres/port/portability.h"

namespace kelvotest {

void PGresultFree::operator()(PGresult* res) const { PQclear(res); }

ConnPtr MakeDetachedRecord() {
    ConnPtr conn(makeEmptyPGconn());
    if (!conn)
        throw std::runtime_error("makeEmptyPGconn failed");
    conn->status = CONNECTION_OK;
    conn->pversion = PG_PROTOCOL(3, 0);
    conn->sigpipe_flag = true;
    return conn;
}

ConnPtr MakeConnectedRecord(int fd) {
    ConnPtr conn = MakeDetachedRecord();
    if (fd < 0 || !pg_set_noblock(fd))
        throw std::runtime_error("no socket to connect the record to");
    conn->sock = fd;
    return conn;
}

void FeedInput(PGconn* conn, const std::string& bytes) {
    if (pqCheckInBufferSpace(static_cast<size_t>(conn->inEnd) + bytes.size(), conn) != 0)
        throw std::runtime_error("input buffer cannot grow");
    memcpy(conn->inBuffer + conn->inEnd, bytes.data(), bytes.size());
    conn->inEnd += static_cast<int>(bytes.size());
}

}  // namespace kelvotest
