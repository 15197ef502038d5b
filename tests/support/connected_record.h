// A connection record in CONNECTION_OK over a socket that is already connected (to a ScriptedPeer, say), as if start-up
// had just finished: protocol 3.0, non-blocking socket, MSG_NOSIGNAL sends. Also a record with no socket at all, for
// feeding bytes straight into the parser.
#pragma once

#include <memory>
#include <string>

#include "postgres/libpq/connection_record.h"

namespace kelvotest {

struct PGconnFree {
    void operator()(PGconn* conn) const { freePGconn(conn); }
};
using ConnPtr = std::unique_ptr<PGconn, PGconnFree>;

struct PGresultFree {
    void operator()(PGresult* res) const;
};
using ResultPtr = std::unique_ptr<PGresult, PGresultFree>;

// Takes ownership of fd.
ConnPtr MakeConnectedRecord(int fd);

// A record with no socket, in CONNECTION_OK, for parser tests.
ConnPtr MakeDetachedRecord();

// Appends bytes to the record's input buffer as if they had been read.
void FeedInput(PGconn* conn, const std::string& bytes);

}  // namespace kelvotest
