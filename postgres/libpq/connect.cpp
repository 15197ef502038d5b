// The connection start-up state machine and its drivers; see connect.h.
//
// PQconnectPoll walks every address of every host of the host list until a
// server accepts the session. Messages during start-up are read out of the
// input buffer (the socket only fills it); a redirect message replaces the
// host list while the attempt runs.
#include "postgres/libpq/connect.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "error/tagged_text.h"
#include "postgres/libpq/auth.h"
#include "postgres/libpq/buffer_space.h"
#include "postgres/libpq/conninfo.h"
#include "postgres/libpq/host_address.h"
#include "postgres/libpq/host_list.h"
#include "postgres/libpq/message_io.h"
#include "postgres/libpq/protocol2_startup.h"
#include "postgres/libpq/protocol3_parser.h"
#include "postgres/libpq/query_execution.h"
#include "postgres/libpq/redirect.h"
#include "postgres/libpq/result_record.h"
#include "postgres/libpq/scoped_result.h"
#include "postgres/libpq/scram_client.h"
#include "postgres/libpq/socket_io.h"
#include "postgres/libpq/startup_packet.h"
#include "postgres/port/portability.h"

namespace {

// An old-protocol error text or an over-long 'E': no protocol 3 error comes
// near this size during start-up.
constexpr int kMaxStartupErrorLength = 30000;
constexpr int kMaxAuthRequestLength = 2000;

const char* SystemError(int error, char* buf, size_t size) { return strerror_r(error, buf, size); }

// Appends the 08001 text of a failed socket call, the system's reason as its
// detail.
void AppendSocketFailure(PGconn* conn, const char* primary, int error) {
    char errbuf[256];
    appendPQExpBufferStr(&conn->errorMessage, kelvoapi::TaggedText()
                                                  .Sqlstate("08001")
                                                  .Primary("%s", primary)
                                                  .Detail("%s", SystemError(error, errbuf, sizeof errbuf))
                                                  .c_str());
}

// Forgets everything the previous server told: a new socket is a new session.
void DropServerData(PGconn* conn) {
    pqClearNotifications(conn);
    pqClearParameterStatus(conn);
    conn->client_encoding = 0;  // SQL_ASCII
    conn->std_strings = false;
    conn->sversion = 0;
    free(conn->lobjfuncs);
    conn->lobjfuncs = nullptr;
    conn->last_sqlstate[0] = '\0';
    conn->auth_req_received = false;
    conn->password_needed = false;
    conn->be_pid = 0;
    conn->be_key = 0;
}

// Sends Terminate on a socket given up during start-up.
void SendTerminate(PGconn* conn) {
    if (conn->sock >= 0) {
        pqPutMsgStart('X', false, conn);
        pqPutMsgEnd(conn);
        (void)pqFlush(conn);
    }
}

enum class PeerCheck { Ok, Failed };

PeerCheck CheckRequirePeer(PGconn* conn) {
    uid_t uid;
    gid_t gid;
    char errbuf[256];
    errno = 0;
    if (getpeereid(conn->sock, &uid, &gid) != 0) {
        if (errno == ENOSYS) {
            appendPQExpBufferStr(&conn->errorMessage, "The requirepeer parameter is not supported on this platform.");
        } else {
            AppendSocketFailure(conn, "Could not get the peer credentials.", errno);
        }
        return PeerCheck::Failed;
    }
    struct passwd pw;
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    int rc = getpwuid_r(uid, &pw, buf.data(), buf.size(), &found);
    if (found == nullptr) {
        if (rc != 0) {
            appendPQExpBufferStr(&conn->errorMessage,
                                 kelvoapi::TaggedText()
                                     .Sqlstate("08001")
                                     .Primary("Could not look up the local user ID %d.", static_cast<int>(uid))
                                     .Detail("%s", SystemError(rc, errbuf, sizeof errbuf))
                                     .c_str());
        } else {
            appendPQExpBuffer(&conn->errorMessage, "A local user with ID %d does not exist.", static_cast<int>(uid));
        }
        return PeerCheck::Failed;
    }
    if (std::strcmp(pw.pw_name, conn->requirepeer) != 0) {
        appendPQExpBuffer(&conn->errorMessage,
                          "The requirepeer parameter specifies \"%s\", but the actual peer user name is \"%s\".",
                          conn->requirepeer, pw.pw_name);
        return PeerCheck::Failed;
    }
    return PeerCheck::Ok;
}

// Installs the redirect's targets in front of the hosts from the
// redirecting one on; the redirecting host is tried again after them.
bool InstallRedirect(PGconn* conn, const RedirectRequest& request) {
    const int from = conn->whichhost >= 0 ? conn->whichhost : 0;
    const int kept = conn->nconnhost - from;
    const int count = static_cast<int>(request.targets.size()) + kept;
    auto* entries = static_cast<pg_conn_host*>(calloc(static_cast<size_t>(count), sizeof(pg_conn_host)));
    if (entries == nullptr)
        return false;
    auto copy = [](const char* text, bool& ok) -> char* {
        if (text == nullptr)
            return nullptr;
        char* result = strdup(text);
        ok = ok && result != nullptr;
        return result;
    };
    bool ok = true;
    int i = 0;
    for (const RedirectTarget& target : request.targets) {
        pg_conn_host& entry = entries[i++];
        entry.type = target.type;
        if (target.type == CHT_HOST_ADDRESS) {
            entry.hostaddr = copy(target.address.c_str(), ok);
        } else {
            entry.host = copy(target.address.c_str(), ok);
        }
        entry.port = copy(target.port.c_str(), ok);
    }
    for (int j = from; j < conn->nconnhost; ++j) {
        const pg_conn_host& old = conn->connhost[j];
        pg_conn_host& entry = entries[i++];
        entry.type = old.type;
        entry.host = copy(old.host, ok);
        entry.hostaddr = copy(old.hostaddr, ok);
        entry.port = copy(old.port, ok);
        entry.password = copy(old.password, ok);
    }
    pqReleaseConnHosts(conn);
    conn->connhost = entries;
    conn->nconnhost = count;
    if (!ok)
        return false;
    if (conn->session_identifier == nullptr) {
        conn->session_identifier = strdup(request.session_identifier.c_str());
        if (conn->session_identifier == nullptr)
            return false;
    }
    return true;
}

// The type byte of the next unread message, or 0 when none is buffered.
char NextMessageType(const PGconn* conn) { return conn->inStart < conn->inEnd ? conn->inBuffer[conn->inStart] : 0; }

// Parses the start-up messages after AuthenticationOk one at a time, so that
// a redirect is seen at whatever message boundary it arrives, however the
// bytes were segmented. Returns true when a redirect message is next.
bool ParseUntilRedirect(PGconn* conn) {
    while (conn->asyncStatus == PGASYNC_BUSY) {
        const int available = conn->inEnd - conn->inStart;
        if (available < 1)
            return false;
        if (NextMessageType(conn) == '@')
            return true;
        if (available < 5)
            return false;
        const auto* p = reinterpret_cast<const unsigned char*>(conn->inBuffer + conn->inStart + 1);
        const int32_t length = static_cast<int32_t>((uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) |
                                                    (uint32_t(p[2]) << 8) | uint32_t(p[3]));
        if (length < 4 || length > available - 1) {
            // Incomplete or garbage: the parser decides (it reports garbage
            // and waits for the rest of a long message).
            pqParseInput3(conn);
            return false;
        }
        // Show the parser exactly one message.
        const int window_end = conn->inStart + 1 + length;
        const int beyond = conn->inEnd - window_end;
        const int start_before = conn->inStart;
        conn->inEnd = window_end;
        pqParseInput3(conn);
        conn->inEnd += beyond;
        if (conn->inStart == start_before)
            return false;
    }
    return false;
}

// Protocol 2.0 after AuthenticationOk: BackendKeyData, notices and errors
// until ReadyForQuery. 1 done, 0 more input needed, -1 failed.
int ReadOldProtocolStartup(PGconn* conn) {
    for (;;) {
        conn->inCursor = conn->inStart;
        char type = 0;
        if (pqGetc(&type, conn))
            return 0;
        switch (type) {
            case 'K':
                if (pqGetInt(&conn->be_pid, 4, conn) || pqGetInt(&conn->be_key, 4, conn))
                    return 0;
                break;
            case 'N': {
                PQExpBufferData notice;
                initPQExpBuffer(&notice);
                int incomplete = pqGets(&notice, conn);
                termPQExpBuffer(&notice);
                if (incomplete)
                    return 0;
                break;
            }
            case 'E':
                if (pqGets_append(&conn->errorMessage, conn))
                    return 0;
                conn->inStart = conn->inCursor;
                return -1;
            case 'Z':
                conn->inStart = conn->inCursor;
                return 1;
            default:
                appendPQExpBufferStr(&conn->errorMessage,
                                     "Received an unexpected message from the server during startup.\n");
                return -1;
        }
        conn->inStart = conn->inCursor;
    }
}

// What a state asks of PQconnectPoll once it has done its part.
enum class Next {
    Continue,  // run the state the connection is in now
    Read,      // wait until the socket is readable
    Write,     // wait until the socket is writable
    Fail,      // give the attempt up
    Done,      // the connection is ready
};

Next NextAddress(PGconn* conn) {
    conn->try_next_addr = true;
    return Next::Continue;
}

Next NextHost(PGconn* conn) {
    conn->try_next_host = true;
    return Next::Continue;
}

// A new socket for the current address: whatever the previous server told
// is forgotten.
Next StartNewConnection(PGconn* conn) {
    pqDropConnection(conn, true);
    DropServerData(conn);
    conn->asyncStatus = PGASYNC_IDLE;
    conn->xactStatus = PQTRANS_IDLE;
    pqClearAsyncResult(conn);
    conn->status = CONNECTION_NEEDED;
    return Next::Continue;
}

// Moves past the address or host a state gave up, to the next address or
// the next host that resolves. Fail when no host is left.
Next AdvanceAddress(PGconn* conn) {
    bool moved = false;
    if (conn->try_next_addr) {
        if (conn->addr_cur != nullptr && conn->addr_cur->ai_next != nullptr) {
            conn->addr_cur = conn->addr_cur->ai_next;
            moved = true;
        } else {
            conn->try_next_host = true;
        }
        conn->try_next_addr = false;
    }
    while (conn->try_next_host) {
        if (conn->whichhost >= 0)
            pqRecordFailedAttempt(conn);
        if (conn->whichhost + 1 >= conn->nconnhost)
            return Next::Fail;
        conn->whichhost++;
        pqReleaseAddrList(conn);
        if (!pqResolveHost(conn))
            continue;  // its text is recorded
        conn->addr_cur = conn->addrlist;
        conn->try_next_host = false;
        moved = true;
    }
    if (!moved)
        return Next::Continue;
    conn->pversion = PG_PROTOCOL(3, 0);
    conn->send_appname = true;
    return StartNewConnection(conn);
}

// CONNECTION_NEEDED: a non-blocking socket for the current address, and the
// connect begun.
Next ConnectSocket(PGconn* conn) {
    const addrinfo* addr = conn->addr_cur;
    if (addr == nullptr)
        return NextHost(conn);
    std::memcpy(&conn->raddr.addr, addr->ai_addr, addr->ai_addrlen);
    conn->raddr.salen = addr->ai_addrlen;
    conn->sock = socket(addr->ai_family, SOCK_STREAM, 0);
    if (conn->sock < 0) {
        if (addr->ai_next != nullptr || conn->whichhost + 1 < conn->nconnhost)
            return NextAddress(conn);
        AppendSocketFailure(conn, "Could not create a socket.", errno);
        return Next::Fail;
    }
    const bool tcp = addr->ai_family != AF_UNIX;
    if (tcp) {
        int on = 1;
        if (setsockopt(conn->sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) < 0) {
            char errbuf[256];
            appendPQExpBuffer(&conn->errorMessage, "Could not set the socket to TCP no-delay mode: %s.",
                              SystemError(errno, errbuf, sizeof errbuf));
            return NextAddress(conn);
        }
    }
    if (!pg_set_noblock(conn->sock)) {
        AppendSocketFailure(conn, "Could not set socket to non-blocking mode.", errno);
        return NextAddress(conn);
    }
    if (fcntl(conn->sock, F_SETFD, FD_CLOEXEC) == -1) {
        AppendSocketFailure(conn, "Could not set socket to close-on-exec mode.", errno);
        return NextAddress(conn);
    }
    if (tcp && !pqSetKeepalives(conn))
        return NextAddress(conn);
    conn->sigpipe_so = false;
    conn->sigpipe_flag = true;
    if (connect(conn->sock, addr->ai_addr, addr->ai_addrlen) < 0) {
        if (errno == EINPROGRESS || errno == EINTR) {
            conn->status = CONNECTION_STARTED;
            return Next::Write;
        }
        pqAppendConnectFailure(conn, errno);
        return NextAddress(conn);
    }
    conn->status = CONNECTION_STARTED;
    return Next::Continue;
}

// CONNECTION_STARTED: the socket is writable; whether the connect worked.
Next CheckConnected(PGconn* conn) {
    int optval = 0;
    socklen_t optlen = sizeof optval;
    if (getsockopt(conn->sock, SOL_SOCKET, SO_ERROR, &optval, &optlen) == -1) {
        AppendSocketFailure(conn, "Could not get the error status of the socket.", errno);
        return Next::Fail;
    }
    if (optval != 0) {
        pqAppendConnectFailure(conn, optval);
        return NextAddress(conn);
    }
    conn->laddr.salen = sizeof conn->laddr.addr;
    if (getsockname(conn->sock, reinterpret_cast<sockaddr*>(&conn->laddr.addr), &conn->laddr.salen) < 0) {
        AppendSocketFailure(conn, "Could not get the client address from the socket.", errno);
        return Next::Fail;
    }
    conn->status = CONNECTION_MADE;
    return Next::Write;
}

// CONNECTION_MADE: the peer check, then the start-up packet.
Next SendStartupPacket(PGconn* conn) {
    if (conn->requirepeer != nullptr && conn->requirepeer[0] != '\0' && conn->raddr.addr.ss_family == AF_UNIX &&
        CheckRequirePeer(conn) != PeerCheck::Ok)
        return Next::Fail;
    const std::string packet = pqBuildStartupPacket(conn);
    if (pqPutMsgStart(0, true, conn) || pqPutnchar(packet.data() + 4, packet.size() - 4, conn) || pqPutMsgEnd(conn) ||
        pqFlush(conn)) {
        char errbuf[256];
        appendPQExpBufferStr(&conn->errorMessage, kelvoapi::TaggedText()
                                                      .Primary("Could not send the startup packet.")
                                                      .Detail("%s", SystemError(errno, errbuf, sizeof errbuf))
                                                      .c_str());
        return Next::Fail;
    }
    conn->status = CONNECTION_AWAITING_RESPONSE;
    return Next::Read;
}

// A redirect message is next: its state reads it.
Next AwaitRedirect(PGconn* conn) {
    conn->redirect_count++;
    conn->status = CONNECTION_AWAITING_REDIRECT;
    return Next::Continue;
}

// An old server's error: plain text right after the type byte. On protocol
// 3.0 the client tries the same address again speaking 2.0.
Next ReadOldServerError(PGconn* conn, bool v3) {
    conn->inCursor = conn->inStart + 1;
    if (pqGets_append(&conn->errorMessage, conn)) {
        if (conn->inEnd - conn->inStart > kMaxStartupErrorLength) {
            appendPQExpBuffer(&conn->errorMessage,
                              "Expected an authentication request from the server, but received %c.", 'E');
            return Next::Fail;
        }
        return Next::Read;
    }
    conn->inStart = conn->inCursor;
    appendPQExpBufferChar(&conn->errorMessage, '\n');
    if (!v3)
        return Next::Fail;
    conn->pversion = PG_PROTOCOL(2, 0);
    return StartNewConnection(conn);
}

// The server refused the session: its error ends the attempt.
Next ReadStartupError(PGconn* conn, bool v3) {
    if (v3) {
        if (pqGetErrorNotice3(conn, true))
            return Next::Read;
    } else if (pqGets_append(&conn->errorMessage, conn)) {
        return Next::Read;
    }
    conn->inStart = conn->inCursor;
    const pg_conn_host& entry = conn->connhost[conn->whichhost];
    if (conn->password_needed && entry.password != nullptr && entry.password[0] != '\0' &&
        std::strcmp(conn->last_sqlstate, "28P01") == 0) {
        appendPQExpBuffer(&conn->errorMessage, "The password was retrieved from file \"%s\".",
                          pqPasswordFilePath(conn).c_str());
    }
    return Next::Fail;
}

// An authentication request, answered and flushed; AuthenticationOk moves on.
Next AnswerAuthRequest(PGconn* conn, int msgLength, bool v3) {
    int areq = 0;
    if (pqGetInt(&areq, 4, conn))
        return Next::Read;
    int payload = msgLength - 8;
    if (!v3)
        payload = areq == AUTH_REQ_MD5 ? 4 : areq == AUTH_REQ_CRYPT ? 2 : 0;
    if (conn->inEnd - conn->inCursor < payload)
        return Next::Read;
    const int message_end = conn->inCursor + payload;
    conn->auth_req_received = true;
    const int rc = pg_fe_sendauth(static_cast<AuthRequest>(areq), payload, conn);
    conn->inStart = message_end;
    if (rc != 0 || pqFlush(conn))
        return Next::Fail;
    if (areq == AUTH_REQ_OK) {
        conn->status = CONNECTION_AUTH_OK;
        conn->asyncStatus = PGASYNC_BUSY;
    }
    return Next::Continue;
}

// CONNECTION_AWAITING_RESPONSE: an authentication request, the server's
// error or a redirect, each read once it is whole.
Next ReadAuthenticationResponse(PGconn* conn) {
    conn->inCursor = conn->inStart;
    char beresp = 0;
    if (pqGetc(&beresp, conn))
        return Next::Read;
    if (beresp != 'R' && beresp != 'E' && beresp != '@') {
        appendPQExpBuffer(&conn->errorMessage,
                          "Expected an authentication request or redirect from the server, but received %c.", beresp);
        return Next::Fail;
    }
    const bool v3 = PG_PROTOCOL_MAJOR(conn->pversion) >= 3;
    int msgLength = 8;
    if (v3 && pqGetInt(&msgLength, 4, conn))
        return Next::Read;
    if (beresp == 'R' && (msgLength < 8 || msgLength > kMaxAuthRequestLength)) {
        appendPQExpBuffer(&conn->errorMessage, "Expected an authentication request from the server, but received %c.",
                          beresp);
        return Next::Fail;
    }
    if (beresp == 'E' && (msgLength < 8 || msgLength > kMaxStartupErrorLength))
        return ReadOldServerError(conn, v3);
    if (beresp == '@' && (msgLength < 4 || msgLength > kMaxRedirectLength)) {
        appendPQExpBufferStr(&conn->errorMessage,
                             kelvoapi::TaggedText()
                                 .Sqlstate("08P01")
                                 .Primary("The redirect request has an invalid length of %d bytes.", msgLength)
                                 .c_str());
        return Next::Fail;
    }
    if (v3 && conn->inEnd - conn->inCursor < msgLength - 4) {
        if (pqCheckInBufferSpace(static_cast<size_t>(conn->inCursor) + static_cast<size_t>(msgLength), conn))
            return Next::Fail;
        return Next::Read;
    }
    if (beresp == '@')
        return AwaitRedirect(conn);
    if (beresp == 'E')
        return ReadStartupError(conn, v3);
    return AnswerAuthRequest(conn, msgLength, v3);
}

// Protocol 2.0 after AuthenticationOk: the start-up messages, then the
// settings exchange.
Next FinishOldProtocolStartup(PGconn* conn) {
    const int rc = ReadOldProtocolStartup(conn);
    if (rc == 0)
        return Next::Read;
    if (rc < 0)
        return Next::Fail;
    conn->asyncStatus = PGASYNC_IDLE;
    pqSetenvStart(conn);
    conn->status = CONNECTION_SETENV;
    return Next::Write;
}

// A result during start-up ends the attempt, except the error of an old
// server that does not know application_name: then the same address again
// without it.
Next RefuseStartupResult(PGconn* conn, ScopedPGresult res) {
    if (PQresultStatus(res.get()) != PGRES_FATAL_ERROR) {
        appendPQExpBufferStr(&conn->errorMessage, "Received an unexpected message from the server during startup.");
    } else if (conn->send_appname && (conn->appname != nullptr || conn->fbappname != nullptr)) {
        const char* sqlstate = PQresultErrorField(res.get(), 'C');
        if (sqlstate != nullptr && std::strcmp(sqlstate, "42704") == 0) {
            conn->send_appname = false;
            return StartNewConnection(conn);
        }
    }
    if (conn->errorMessage.len == 0 || conn->errorMessage.data[conn->errorMessage.len - 1] != '\n')
        appendPQExpBufferChar(&conn->errorMessage, '\n');
    return Next::Fail;
}

// Sends the read-write check's query, keeping the start-up's texts.
Next StartWritableCheck(PGconn* conn) {
    // PQsendQuery empties the error text.
    std::string saved(conn->errorMessage.data, conn->errorMessage.len);
    const bool saved_broken = PQExpBufferBroken(&conn->errorMessage);
    conn->status = CONNECTION_OK;
    const bool sent = PQsendQuery(conn, "SHOW transaction_read_only") != 0;
    // Keep why the query could not be sent behind the earlier texts.
    const std::string send_error = sent ? std::string() : std::string(conn->errorMessage.data);
    resetPQExpBuffer(&conn->errorMessage);
    appendBinaryPQExpBuffer(&conn->errorMessage, saved.data(), saved.size());
    appendPQExpBufferStr(&conn->errorMessage, send_error.c_str());
    if (!sent)
        return Next::Fail;
    conn->status = CONNECTION_CHECK_WRITABLE;
    if (saved_broken || PQExpBufferBroken(&conn->errorMessage)) {
        printfPQExpBuffer(&conn->errorMessage, "out of memory");
        return Next::Fail;
    }
    return Next::Read;
}

// CONNECTION_AUTH_OK: the messages up to ReadyForQuery, watching for a
// redirect at every message boundary.
Next ReadStartupMessages(PGconn* conn) {
    if (PG_PROTOCOL_MAJOR(conn->pversion) < 3)
        return FinishOldProtocolStartup(conn);
    if (ParseUntilRedirect(conn))
        return AwaitRedirect(conn);
    // The parser gives a connection up when it loses the message
    // boundaries; nothing more will arrive.
    if (conn->status == CONNECTION_BAD)
        return Next::Fail;
    if (conn->asyncStatus == PGASYNC_BUSY)
        return Next::Read;
    if (ScopedPGresult res{PQgetResult(conn)})
        return RefuseStartupResult(conn, std::move(res));
    if (conn->sversion >= 70400 && conn->target_session_attrs != nullptr &&
        std::strcmp(conn->target_session_attrs, "read-write") == 0)
        return StartWritableCheck(conn);
    pqReleaseAddrList(conn);
    conn->status = CONNECTION_OK;
    return Next::Done;
}

// CONNECTION_SETENV: the protocol 2.0 settings exchange, which sends
// ordinary queries and so needs CONNECTION_OK while it runs.
Next RunSetenv(PGconn* conn) {
    conn->status = CONNECTION_OK;
    const PostgresPollingStatusType result = pqSetenvPoll(conn);
    if (result == PGRES_POLLING_OK) {
        pqReleaseAddrList(conn);
        return Next::Done;
    }
    if (result != PGRES_POLLING_READING && result != PGRES_POLLING_WRITING)
        return Next::Fail;
    conn->status = CONNECTION_SETENV;
    return result == PGRES_POLLING_READING ? Next::Read : Next::Write;
}

// CONNECTION_CHECK_WRITABLE: the answer of the read-write check, read while
// the connection counts as open. A read-only server is given up for the
// next host, a failed check for the next address.
Next CheckWritable(PGconn* conn) {
    conn->status = CONNECTION_OK;
    if (!PQconsumeInput(conn))
        return Next::Fail;
    if (PQisBusy(conn)) {
        conn->status = CONNECTION_CHECK_WRITABLE;
        return Next::Read;
    }
    ScopedPGresult res(PQgetResult(conn));
    const pg_conn_host& entry = conn->connhost[conn->whichhost];
    if (res && PQresultStatus(res.get()) == PGRES_TUPLES_OK && PQntuples(res.get()) == 1) {
        const char* value = PQgetvalue(res.get(), 0, 0);
        const bool read_only = value != nullptr && std::strncmp(value, "on", 2) == 0;
        if (!read_only) {
            conn->status = CONNECTION_CONSUME;
            return Next::Continue;
        }
        appendPQExpBuffer(&conn->errorMessage, "Could not establish a writable connection to server \"%s:%s\".",
                          pqEntryDisplayedHost(entry), pqEntryPortText(entry));
        conn->status = CONNECTION_CHECK_WRITABLE;
        SendTerminate(conn);
        return NextHost(conn);
    }
    appendPQExpBuffer(&conn->errorMessage, "The \"SHOW transaction_read_only\" test failed on server \"%s:%s\".",
                      pqEntryDisplayedHost(entry), pqEntryPortText(entry));
    conn->status = CONNECTION_CHECK_WRITABLE;
    SendTerminate(conn);
    return NextAddress(conn);
}

// CONNECTION_CONSUME: the rest of the read-write check's results.
Next ConsumeCheckResults(PGconn* conn) {
    conn->status = CONNECTION_OK;
    if (!PQconsumeInput(conn))
        return Next::Fail;
    if (PQisBusy(conn)) {
        conn->status = CONNECTION_CONSUME;
        return Next::Read;
    }
    if (ScopedPGresult(PQgetResult(conn))) {
        conn->status = CONNECTION_CONSUME;
        return Next::Continue;
    }
    pqReleaseAddrList(conn);
    return Next::Done;
}

// CONNECTION_AWAITING_REDIRECT: the redirect's targets go in front of the
// host list, and the first of them is tried next.
Next FollowRedirect(PGconn* conn) {
    if (conn->redirect_count > kMaxRedirects) {
        appendPQExpBufferStr(&conn->errorMessage,
                             kelvoapi::TaggedText()
                                 .Sqlstate("08S01")
                                 .Primary("The connection was redirected %d times, which is more than the limit of %d.",
                                          conn->redirect_count, kMaxRedirects)
                                 .c_str());
        return Next::Fail;
    }
    if (!pqRedirectsAllowed(conn->pgoptions)) {
        appendPQExpBufferStr(
            &conn->errorMessage,
            kelvoapi::TaggedText()
                .Sqlstate("08P01")
                .Primary("The server sent a redirect request even though `allow_redirects` is disabled.")
                .c_str());
        return Next::Fail;
    }
    RedirectRequest request;
    size_t consumed = 0;
    std::string error;
    switch (pqParseRedirect(conn->inBuffer + conn->inStart, static_cast<size_t>(conn->inEnd - conn->inStart), &request,
                            &consumed, &error)) {
        case RedirectParseResult::Incomplete:
            // The length was checked against its bound when it was read.
            conn->inCursor = conn->inStart;
            if (pqCheckInBufferSpace(static_cast<size_t>(conn->inStart) + kMaxRedirectLength + 1, conn))
                return Next::Fail;
            return Next::Read;
        case RedirectParseResult::Malformed:
            appendPQExpBufferStr(&conn->errorMessage, error.c_str());
            return Next::Fail;
        case RedirectParseResult::Complete:
            break;
    }
    conn->inStart += static_cast<int>(consumed);
    conn->inCursor = conn->inStart;
    if (!InstallRedirect(conn, request)) {
        printfPQExpBuffer(&conn->errorMessage, "out of memory");
        return Next::Fail;
    }
    pqReleaseAddrList(conn);
    conn->whichhost = -1;
    return NextHost(conn);
}

// The states a poll begins in: those waiting for the server first read what
// the socket holds.
Next EnterPoll(PGconn* conn) {
    switch (conn->status) {
        case CONNECTION_BAD:
            return Next::Fail;
        case CONNECTION_OK:
            return Next::Done;
        case CONNECTION_AWAITING_RESPONSE:
        case CONNECTION_AUTH_OK:
        case CONNECTION_AWAITING_REDIRECT: {
            const int n = pqReadData(conn);
            if (n < 0)
                return Next::Fail;
            return n == 0 ? Next::Read : Next::Continue;
        }
        case CONNECTION_NEEDED:
        case CONNECTION_STARTED:
        case CONNECTION_MADE:
        case CONNECTION_SETENV:
        case CONNECTION_CHECK_WRITABLE:
        case CONNECTION_CONSUME:
            return Next::Continue;
        default:
            appendPQExpBufferStr(&conn->errorMessage,
                                 "invalid connection state, probably indicative of memory corruption\n");
            return Next::Fail;
    }
}

Next RunState(PGconn* conn) {
    switch (conn->status) {
        case CONNECTION_NEEDED:
            return ConnectSocket(conn);
        case CONNECTION_STARTED:
            return CheckConnected(conn);
        case CONNECTION_MADE:
            return SendStartupPacket(conn);
        case CONNECTION_AWAITING_RESPONSE:
            return ReadAuthenticationResponse(conn);
        case CONNECTION_AUTH_OK:
            return ReadStartupMessages(conn);
        case CONNECTION_SETENV:
            return RunSetenv(conn);
        case CONNECTION_CHECK_WRITABLE:
            return CheckWritable(conn);
        case CONNECTION_CONSUME:
            return ConsumeCheckResults(conn);
        case CONNECTION_AWAITING_REDIRECT:
            return FollowRedirect(conn);
        default:
            appendPQExpBufferStr(&conn->errorMessage,
                                 kelvoapi::TaggedText()
                                     .Primary("Invalid connection state %d.", static_cast<int>(conn->status))
                                     .Hint("This may indicate a memory corruption.")
                                     .c_str());
            return Next::Fail;
    }
}

PostgresPollingStatusType Poll(PGconn* conn) {
    Next next = EnterPoll(conn);
    while (next == Next::Continue) {
        next = AdvanceAddress(conn);
        if (next == Next::Continue)
            next = RunState(conn);
    }
    switch (next) {
        case Next::Read:
            return PGRES_POLLING_READING;
        case Next::Write:
            return PGRES_POLLING_WRITING;
        case Next::Done:
            return PGRES_POLLING_OK;
        default:
            // The socket stays open until PQfinish or a reset.
            conn->status = CONNECTION_BAD;
            return PGRES_POLLING_FAILED;
    }
}

// Closes the socket and forgets the session, the redirects and the hosts
// tried, so that a reset starts over from the options.
void ClosePGconn(PGconn* conn) {
    if (conn->sock >= 0 && conn->status == CONNECTION_OK)
        SendTerminate(conn);
    conn->nonblocking = false;
    pqDropConnection(conn, true);
    DropServerData(conn);
    conn->status = CONNECTION_BAD;
    conn->asyncStatus = PGASYNC_IDLE;
    conn->xactStatus = PQTRANS_IDLE;
    pqClearAsyncResult(conn);
    resetPQExpBuffer(&conn->errorMessage);
    pqReleaseAddrList(conn);
    free(conn->session_identifier);
    conn->session_identifier = nullptr;
    resetPQExpBuffer(&conn->failedConnectionAttempts);
    if (conn->redirect_count > 0) {
        // The redirect replaced the host list; the next attempt starts again
        // from the hosts that were given.
        pqReleaseConnHosts(conn);
        conn->redirect_count = 0;
        conn->options_valid = false;
        (void)pqCheckConnectionOptions(conn);
    }
}

PGconn* StartFromOptions(ConninfoOptions (*parse)(const void*, std::string&), const void* source) {
    PGconn* conn = makeEmptyPGconn();
    if (conn == nullptr)
        return nullptr;
    try {
        std::string error;
        ConninfoOptions options = parse(source, error);
        if (!options || !pqConninfoAddDefaults(options.get(), &error)) {
            conn->status = CONNECTION_BAD;
            printfPQExpBuffer(&conn->errorMessage, "%s", error.c_str());
            return conn;
        }
        if (!pqConninfoToConnection(conn, options.get())) {
            conn->status = CONNECTION_BAD;
            printfPQExpBuffer(&conn->errorMessage, "out of memory");
            return conn;
        }
    } catch (const std::bad_alloc&) {
        conn->status = CONNECTION_BAD;
        printfPQExpBuffer(&conn->errorMessage, "out of memory");
        return conn;
    }
    if (!pqCheckConnectionOptions(conn))
        return conn;
    if (!pqConnectDBStart(conn))
        conn->status = CONNECTION_BAD;
    return conn;
}

struct ArraySource {
    const char* const* keywords;
    const char* const* values;
    int expand_dbname;
};

ConninfoOptions ParseArraySource(const void* source, std::string& error) {
    const auto* arrays = static_cast<const ArraySource*>(source);
    return pqConninfoParseArrays(arrays->keywords, arrays->values, arrays->expand_dbname, error);
}

ConninfoOptions ParseStringSource(const void* source, std::string& error) {
    return pqConninfoParseString(static_cast<const char*>(source), error);
}

}  // namespace

PostgresPollingStatusType PQconnectPoll(PGconn* conn) {
    if (conn == nullptr)
        return PGRES_POLLING_FAILED;
    try {
        return Poll(conn);
    } catch (const std::bad_alloc&) {
        printfPQExpBuffer(&conn->errorMessage, "out of memory");
        conn->status = CONNECTION_BAD;
        return PGRES_POLLING_FAILED;
    }
}

int pqConnectDBStart(PGconn* conn) {
    if (conn == nullptr)
        return 0;
    if (conn->options_valid) {
        conn->inStart = conn->inCursor = conn->inEnd = 0;
        conn->outCount = 0;
        resetPQExpBuffer(&conn->errorMessage);
        conn->whichhost = -1;
        conn->try_next_addr = false;
        conn->try_next_host = true;
        conn->status = CONNECTION_NEEDED;
        if (PQconnectPoll(conn) == PGRES_POLLING_WRITING)
            return 1;
    }
    pqDropConnection(conn, true);
    conn->status = CONNECTION_BAD;
    return 0;
}

int pqConnectDBComplete(PGconn* conn) {
    if (conn == nullptr || conn->status == CONNECTION_BAD)
        return 0;
    int timeout = 0;
    if (conn->connect_timeout != nullptr) {
        timeout = atoi(conn->connect_timeout);
        // One second could end before the server had a fair chance to answer.
        if (timeout == 1)
            timeout = 2;
    }
    PostgresPollingStatusType flag = PGRES_POLLING_WRITING;
    int last_whichhost = -2;
    const addrinfo* last_addr_cur = nullptr;
    time_t finish_time = static_cast<time_t>(-1);
    for (;;) {
        if (timeout > 0 && (last_whichhost != conn->whichhost || last_addr_cur != conn->addr_cur)) {
            finish_time = time(nullptr) + timeout;
            last_whichhost = conn->whichhost;
            last_addr_cur = conn->addr_cur;
        }
        int ret = 0;
        switch (flag) {
            case PGRES_POLLING_OK:
                resetPQExpBuffer(&conn->errorMessage);
                return 1;
            case PGRES_POLLING_READING:
            case PGRES_POLLING_WRITING:
                ret = pqWaitTimed(flag == PGRES_POLLING_READING, flag == PGRES_POLLING_WRITING, conn, finish_time);
                if (ret == -1) {
                    conn->status = CONNECTION_BAD;
                    return 0;
                }
                break;
            default:
                return 0;
        }
        if (ret == 1) {
            // This address took too long; go on with the next one.
            conn->try_next_addr = true;
            conn->status = CONNECTION_NEEDED;
        }
        flag = PQconnectPoll(conn);
    }
}

PGconn* PQconnectStartParams(const char* const* keywords, const char* const* values, int expand_dbname) {
    ArraySource source{keywords, values, expand_dbname};
    return StartFromOptions(ParseArraySource, &source);
}

PGconn* PQconnectdbParams(const char* const* keywords, const char* const* values, int expand_dbname) {
    PGconn* conn = PQconnectStartParams(keywords, values, expand_dbname);
    if (conn != nullptr && conn->status != CONNECTION_BAD)
        (void)pqConnectDBComplete(conn);
    return conn;
}

PGconn* PQconnectStart(const char* conninfo) {
    return StartFromOptions(ParseStringSource, conninfo != nullptr ? conninfo : "");
}

PGconn* PQconnectdb(const char* conninfo) {
    PGconn* conn = PQconnectStart(conninfo);
    if (conn != nullptr && conn->status != CONNECTION_BAD)
        (void)pqConnectDBComplete(conn);
    return conn;
}

void PQfinish(PGconn* conn) {
    if (conn == nullptr)
        return;
    ClosePGconn(conn);
    freePGconn(conn);
}

void PQreset(PGconn* conn) {
    if (conn == nullptr)
        return;
    ClosePGconn(conn);
    if (pqConnectDBStart(conn))
        (void)pqConnectDBComplete(conn);
}

int PQresetStart(PGconn* conn) {
    if (conn == nullptr)
        return 0;
    ClosePGconn(conn);
    return pqConnectDBStart(conn);
}

PostgresPollingStatusType PQresetPoll(PGconn* conn) { return PQconnectPoll(conn); }
