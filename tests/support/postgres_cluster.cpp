#include "postgres_cluster.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "postgres/libpq/message_io.h"
#include "postgres/libpq/parameter_status.h"
#include "postgres/libpq/socket_io.h"

namespace kelvotest {

namespace {

const char* const kBinDir = "/usr/lib/postgresql/15/bin";

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw std::runtime_error("command failed: " + command);
}

}  // namespace

PostgresCluster::PostgresCluster() {
    char tmpl[] = "/tmp/kelvo-pg-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    base_ = tmpl;
    dataDir_ = base_ + "/data";
    socketDir_ = base_ + "/sock";
    // The socket lives in a private directory, so any port number will do.
    port_ = 40000 + static_cast<int>(getpid() % 20000);
    run("mkdir -p " + socketDir_ + " && chown -R postgres " + base_);
    run("runuser -u postgres -- " + std::string(kBinDir) + "/initdb -D " + dataDir_ +
        " -A trust -U postgres -E UTF8 --locale=C --no-sync > " + base_ + "/initdb.log 2>&1");
    run("runuser -u postgres -- " + std::string(kBinDir) + "/pg_ctl -D " + dataDir_ + " -l " + base_ +
        "/server.log -w -o \"-p " + std::to_string(port_) + " -k " + socketDir_ +
        " -c listen_addresses='' -c fsync=off\" start > /dev/null");
    started_ = true;
}

PostgresCluster::~PostgresCluster() {
    if (started_) {
        std::system(("runuser -u postgres -- " + std::string(kBinDir) + "/pg_ctl -D " + dataDir_ +
                     " -m immediate -w stop > /dev/null 2>&1")
                        .c_str());
    }
    std::system(("rm -rf " + base_).c_str());
}

ConnPtr PostgresCluster::Connect() const {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un un{};
    un.sun_family = AF_UNIX;
    const std::string path = socketDir_ + "/.s.PGSQL." + std::to_string(port_);
    strncpy(un.sun_path, path.c_str(), sizeof(un.sun_path) - 1);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&un), sizeof(un)) != 0) {
        if (fd >= 0) close(fd);
        throw std::runtime_error("cannot connect to " + path);
    }
    ConnPtr conn = MakeConnectedRecord(fd);
    PGconn* c = conn.get();

    // Start-up packet: length, protocol 3.0, name/value pairs, a final NUL.
    if (pqPutMsgStart(0, false, c) || pqPutInt(0x30000, 4, c) || pqPuts("user", c) || pqPuts("postgres", c) ||
        pqPuts("database", c) || pqPuts("postgres", c) || pqPutc('\0', c) || pqPutMsgEnd(c) || pqFlush(c))
        throw std::runtime_error("cannot send the start-up packet");

    for (;;) {
        c->inCursor = c->inStart;
        char id;
        int length;
        if (pqGetc(&id, c) || pqGetInt(&length, 4, c) || c->inEnd - c->inCursor < length - 4) {
            if (pqWait(1, 0, c) != 0 || pqReadData(c) < 0)
                throw std::runtime_error(std::string("start-up failed: ") + c->errorMessage.data);
            continue;
        }
        const int end = c->inCursor + length - 4;
        if (id == 'R') {
            int code;
            pqGetInt(&code, 4, c);
            if (code != 0) throw std::runtime_error("the cluster asked for authentication");
        } else if (id == 'S') {
            pqGets(&c->workBuffer, c);
            const std::string name = c->workBuffer.data;
            pqGets(&c->workBuffer, c);
            pqSaveParameterStatus(c, name.c_str(), c->workBuffer.data);
        } else if (id == 'K') {
            pqGetInt(&c->be_pid, 4, c);
            pqGetInt(&c->be_key, 4, c);
        } else if (id == 'E') {
            throw std::runtime_error("the cluster refused the start-up");
        } else if (id == 'Z') {
            c->inStart = end;
            break;
        }
        c->inStart = end;
    }
    c->status = CONNECTION_OK;
    c->asyncStatus = PGASYNC_IDLE;
    return conn;
}

}  // namespace kelvotest
