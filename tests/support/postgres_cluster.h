// A private PostgreSQL 15 cluster used as a black-box test peer: initdb into
// a directory of its own (as the postgres user, trust authentication), a
// server listening only on a Unix socket in its own directory, stopped and
// removed by the destructor. Construction throws when the server cannot be
// started: a missing peer is a test failure, never a skip.
#pragma once

#include <string>

#include "connected_record.h"

namespace kelvotest {

class PostgresCluster {
public:
    PostgresCluster();
    ~PostgresCluster();
    PostgresCluster(const PostgresCluster&) = delete;
    PostgresCluster& operator=(const PostgresCluster&) = delete;

    const std::string& SocketDirectory() const { return socketDir_; }
    int Port() const { return port_; }

    // A record in CONNECTION_OK after a start-up as user and database
    // "postgres" (the test side of the start-up: trust authentication only).
    ConnPtr Connect() const;

private:
    std::string base_;
    std::string dataDir_;
    std::string socketDir_;
    int port_ = 0;
    bool started_ = false;
};

}  // namespace kelvotest
