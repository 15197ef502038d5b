// Statement sending and result delivery. Messages are built in the output
// buffer (message_io.h); answers are parsed by protocol3_parser.cpp (or the
// protocol 2.0 dispatcher) and handed out here.
#include "postgres/libpq/query_execution.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "error/tagged_text.h"
#include "postgres/libpq/copy_data.h"
#include "postgres/libpq/message_io.h"
#include "postgres/libpq/protocol2_parser.h"
#include "postgres/libpq/protocol3_parser.h"
#include "postgres/libpq/result_record.h"
#include "postgres/libpq/scoped_result.h"
#include "postgres/libpq/socket_io.h"

namespace {

bool sendQueryStart(PGconn* conn) {
    if (conn == nullptr)
        return false;
    resetPQExpBuffer(&conn->errorMessage);
    if (conn->status != CONNECTION_OK) {
        printfPQExpBuffer(
            &conn->errorMessage, "%s",
            kelvoapi::TaggedText().Sqlstate("08003").Primary("There is no connection to the server.").c_str());
        return false;
    }
    if (conn->asyncStatus != PGASYNC_IDLE) {
        printfPQExpBuffer(&conn->errorMessage, "Another command is already in progress over the given connection.");
        return false;
    }
    pqClearAsyncResult(conn);
    // Chunked mode never carries over to the next statement.
    conn->result_chunk_size = 0;
    return true;
}

// After a failed send, parse whatever the server managed to say, so that an
// error that explains the failure reaches the connection's state.
void handleSendFailure(PGconn* conn) {
    while (pqReadData(conn) > 0)
        pqParseInput(conn);
    pqParseInput(conn);
}

void setLastQuery(PGconn* conn, const char* query) {
    free(conn->last_query);
    conn->last_query = query != nullptr ? strdup(query) : nullptr;
}

// The statement's messages are queued whole: record what was sent and push
// it out.
int finishSending(PGconn* conn, PGQueryClass queryclass, const char* query) {
    conn->queryclass = queryclass;
    setLastQuery(conn, query);
    if (pqFlush(conn) < 0) {
        handleSendFailure(conn);
        return 0;
    }
    conn->asyncStatus = PGASYNC_BUSY;
    return 1;
}

bool checkParamCount(PGconn* conn, int nParams) {
    if (nParams < 0 || nParams > 65535) {
        printfPQExpBuffer(&conn->errorMessage, "The number of parameters is not between 0 and 65535.");
        return false;
    }
    return true;
}

bool checkProtocol3(PGconn* conn) {
    if (PG_PROTOCOL_MAJOR(conn->pversion) < 3) {
        printfPQExpBuffer(&conn->errorMessage, "This function requires at least protocol version 3.0.");
        return false;
    }
    return true;
}

int putParamTypes(PGconn* conn, int nParams, const Oid* paramTypes) {
    if (nParams > 0 && paramTypes != nullptr) {
        if (pqPutInt(nParams, 2, conn) < 0)
            return EOF;
        for (int i = 0; i < nParams; ++i) {
            if (pqPutInt(static_cast<int>(paramTypes[i]), 4, conn) < 0)
                return EOF;
        }
        return 0;
    }
    return pqPutInt(0, 2, conn);
}

// Parse (for a command), Bind, Describe portal, Execute, Sync.
int sendQueryGuts(PGconn* conn, const char* command, const char* stmtName, int nParams, const Oid* paramTypes,
                  const char* const* paramValues, const int* paramLengths, const int* paramFormats, int resultFormat) {
    // Refused before anything is queued, so that no half statement is left
    // in the output buffer.
    if (paramValues != nullptr && paramFormats != nullptr) {
        for (int i = 0; i < nParams; ++i) {
            if (paramValues[i] == nullptr || paramFormats[i] == 0)
                continue;
            if (paramLengths == nullptr) {
                printfPQExpBuffer(&conn->errorMessage, "The length was not given for a binary parameter.");
                return 0;
            }
            if (paramLengths[i] < 0) {
                printfPQExpBuffer(&conn->errorMessage, "The length of binary parameter %d is negative.", i + 1);
                return 0;
            }
        }
    }

    if (command != nullptr) {
        if (pqPutMsgStart('P', false, conn) < 0 || pqPuts("", conn) < 0 || pqPuts(command, conn) < 0 ||
            putParamTypes(conn, nParams, paramTypes) < 0 || pqPutMsgEnd(conn) < 0)
            goto sendFailed;
    }

    if (pqPutMsgStart('B', false, conn) < 0 || pqPuts("", conn) < 0 || pqPuts(stmtName, conn) < 0)
        goto sendFailed;
    if (nParams > 0 && paramFormats != nullptr) {
        if (pqPutInt(nParams, 2, conn) < 0)
            goto sendFailed;
        for (int i = 0; i < nParams; ++i) {
            if (pqPutInt(paramFormats[i], 2, conn) < 0)
                goto sendFailed;
        }
    } else if (pqPutInt(0, 2, conn) < 0) {
        goto sendFailed;
    }
    if (pqPutInt(nParams, 2, conn) < 0)
        goto sendFailed;
    for (int i = 0; i < nParams; ++i) {
        if (paramValues != nullptr && paramValues[i] != nullptr) {
            size_t nbytes;
            if (paramFormats != nullptr && paramFormats[i] != 0) {
                nbytes = static_cast<size_t>(paramLengths[i]);
            } else {
                nbytes = strlen(paramValues[i]);
                if (nbytes > 0x7FFFFFFF) {
                    printfPQExpBuffer(&conn->errorMessage, "out of memory");
                    goto sendFailed;
                }
            }
            if (pqPutInt(static_cast<int>(nbytes), 4, conn) < 0 || pqPutnchar(paramValues[i], nbytes, conn) < 0)
                goto sendFailed;
        } else if (pqPutInt(-1, 4, conn) < 0) {
            goto sendFailed;
        }
    }
    if (pqPutInt(1, 2, conn) < 0 || pqPutInt(resultFormat, 2, conn) < 0 || pqPutMsgEnd(conn) < 0)
        goto sendFailed;

    if (pqPutMsgStart('D', false, conn) < 0 || pqPutc('P', conn) < 0 || pqPuts("", conn) < 0 || pqPutMsgEnd(conn) < 0)
        goto sendFailed;
    if (pqPutMsgStart('E', false, conn) < 0 || pqPuts("", conn) < 0 || pqPutInt(0, 4, conn) < 0 ||
        pqPutMsgEnd(conn) < 0)
        goto sendFailed;
    if (pqPutMsgStart('S', false, conn) < 0 || pqPutMsgEnd(conn) < 0)
        goto sendFailed;

    return finishSending(conn, PGQUERY_EXTENDED, command);

sendFailed:
    handleSendFailure(conn);
    return 0;
}

// The step-2 error path of PQgetResult: the I/O text becomes the last result.
// The rest of the statement's answer stays unread, and the next statement
// would take it for its own: the connection is given up.
PGresult* failRunningStatement(PGconn* conn) {
    pqSaveErrorResult(conn);
    if (conn->status == CONNECTION_OK || conn->status == CONNECTION_BAD) {
        pqDropConnection(conn, true);
        conn->status = CONNECTION_BAD;
    }
    conn->asyncStatus = PGASYNC_IDLE;
    return pqPrepareAsyncResult(conn);
}

PGresult* getCopyResult(PGconn* conn, ExecStatusType copytype) {
    if (conn->status != CONNECTION_OK)
        return failRunningStatement(conn);
    if (conn->result != nullptr && conn->result->resultStatus == copytype)
        return pqPrepareAsyncResult(conn);
    return PQmakeEmptyPGresult(conn, copytype);
}

}  // namespace

void pqParseInput(PGconn* conn) {
    if (PG_PROTOCOL_MAJOR(conn->pversion) >= 3) {
        pqParseInput3(conn);
    } else {
        pqParseInput2(conn);
    }
}

int PQsendQuery(PGconn* conn, const char* query) {
    if (!sendQueryStart(conn))
        return 0;
    if (query == nullptr) {
        printfPQExpBuffer(&conn->errorMessage, "The given command string is a null pointer.");
        return 0;
    }
    if (pqPutMsgStart('Q', false, conn) < 0 || pqPuts(query, conn) < 0 || pqPutMsgEnd(conn) < 0) {
        handleSendFailure(conn);
        return 0;
    }
    return finishSending(conn, PGQUERY_SIMPLE, query);
}

int PQsendQueryParams(PGconn* conn, const char* command, int nParams, const Oid* paramTypes,
                      const char* const* paramValues, const int* paramLengths, const int* paramFormats,
                      int resultFormat) {
    if (!sendQueryStart(conn))
        return 0;
    if (command == nullptr) {
        printfPQExpBuffer(&conn->errorMessage, "The given command string is a null pointer.");
        return 0;
    }
    if (!checkParamCount(conn, nParams) || !checkProtocol3(conn))
        return 0;
    return sendQueryGuts(conn, command, "", nParams, paramTypes, paramValues, paramLengths, paramFormats, resultFormat);
}

int PQsendPrepare(PGconn* conn, const char* stmtName, const char* query, int nParams, const Oid* paramTypes) {
    if (!sendQueryStart(conn))
        return 0;
    if (query == nullptr) {
        printfPQExpBuffer(&conn->errorMessage, "The command string is a null pointer.");
        return 0;
    }
    if (stmtName == nullptr) {
        printfPQExpBuffer(&conn->errorMessage, "The given statement name is a null pointer.");
        return 0;
    }
    if (!checkParamCount(conn, nParams) || !checkProtocol3(conn))
        return 0;

    if (pqPutMsgStart('P', false, conn) < 0 || pqPuts(stmtName, conn) < 0 || pqPuts(query, conn) < 0 ||
        putParamTypes(conn, nParams, paramTypes) < 0 || pqPutMsgEnd(conn) < 0 || pqPutMsgStart('S', false, conn) < 0 ||
        pqPutMsgEnd(conn) < 0) {
        handleSendFailure(conn);
        return 0;
    }
    return finishSending(conn, PGQUERY_PREPARE, query);
}

int PQsendQueryPrepared(PGconn* conn, const char* stmtName, int nParams, const char* const* paramValues,
                        const int* paramLengths, const int* paramFormats, int resultFormat) {
    if (!sendQueryStart(conn))
        return 0;
    if (stmtName == nullptr) {
        printfPQExpBuffer(&conn->errorMessage, "The given statement name is a null pointer.");
        return 0;
    }
    if (!checkParamCount(conn, nParams) || !checkProtocol3(conn))
        return 0;
    return sendQueryGuts(conn, nullptr, stmtName, nParams, nullptr, paramValues, paramLengths, paramFormats,
                         resultFormat);
}

int PQsetChunkedMode(PGconn* conn, uint32_t chunkSize) {
    if (conn == nullptr)
        return 0;
    if (conn->asyncStatus != PGASYNC_BUSY)
        return 0;
    if (conn->queryclass != PGQUERY_SIMPLE && conn->queryclass != PGQUERY_EXTENDED)
        return 0;
    if (conn->result != nullptr)
        return 0;
    conn->result_chunk_size = chunkSize;
    return 1;
}

int PQconsumeInput(PGconn* conn) {
    if (conn == nullptr)
        return 0;
    if (conn->nonblocking && pqFlush(conn) < 0)
        return 0;
    if (pqReadData(conn) < 0)
        return 0;
    return 1;
}

int PQisBusy(PGconn* conn) {
    if (conn == nullptr)
        return 0;
    pqParseInput(conn);
    return conn->asyncStatus == PGASYNC_BUSY ? 1 : 0;
}

PGresult* PQgetResult(PGconn* conn) {
    if (conn == nullptr)
        return nullptr;
    pqParseInput(conn);

    while (conn->asyncStatus == PGASYNC_BUSY) {
        int flushResult;
        // The server may wait for the rest of our message before it answers.
        while ((flushResult = pqFlush(conn)) > 0) {
            if (pqWait(0, 1, conn)) {
                flushResult = -1;
                break;
            }
        }
        if (flushResult != 0)
            return failRunningStatement(conn);
        // A flush that had to wait reads what the server sent meanwhile, and
        // that may be the whole answer: waiting on the socket now would wait
        // for bytes that never come.
        pqParseInput(conn);
        if (conn->asyncStatus != PGASYNC_BUSY)
            break;
        if (conn->status == CONNECTION_BAD) {
            // Given up after a failed send: what the server has said already
            // is taken, but a server that waits for the rest of our message
            // will never answer.
            if (conn->sock >= 0 && pqReadData(conn) > 0)
                continue;
            return failRunningStatement(conn);
        }
        if (pqReadBlocking(conn) < 0)
            return failRunningStatement(conn);
        pqParseInput(conn);
    }

    PGresult* res;
    switch (conn->asyncStatus) {
        case PGASYNC_IDLE:
            res = nullptr;
            break;
        case PGASYNC_READY:
            res = pqPrepareAsyncResult(conn);
            // Parsing goes on: more chunks or results may follow, unless the
            // connection was given up with nothing left to parse (a lost
            // synchronisation): its error was the statement's last result.
            conn->asyncStatus =
                conn->status == CONNECTION_BAD && conn->inStart >= conn->inEnd ? PGASYNC_IDLE : PGASYNC_BUSY;
            break;
        case PGASYNC_COPY_IN:
            res = getCopyResult(conn, PGRES_COPY_IN);
            break;
        case PGASYNC_COPY_OUT:
            res = getCopyResult(conn, PGRES_COPY_OUT);
            break;
        case PGASYNC_COPY_BOTH:
            res = getCopyResult(conn, PGRES_COPY_BOTH);
            break;
        default:
            printfPQExpBuffer(&conn->errorMessage, "unexpected `asyncStatus`: %d", static_cast<int>(conn->asyncStatus));
            res = PQmakeEmptyPGresult(conn, PGRES_FATAL_ERROR);
            break;
    }
    return res;
}

bool PQexecStart(PGconn* conn) {
    if (conn == nullptr)
        return false;
    while (const ScopedPGresult result{PQgetResult(conn)}) {
        const ExecStatusType resultStatus = result->resultStatus;
        if (resultStatus == PGRES_COPY_IN) {
            if (PG_PROTOCOL_MAJOR(conn->pversion) >= 3) {
                if (PQputCopyEnd(conn, "COPY was terminated by a new `PQexec`.") < 0)
                    return false;
            } else {
                printfPQExpBuffer(&conn->errorMessage, "The COPY IN state must be terminated first.");
                return false;
            }
        } else if (resultStatus == PGRES_COPY_OUT) {
            if (PG_PROTOCOL_MAJOR(conn->pversion) >= 3) {
                // The parser drops the rest of the copy data and collects the
                // command's completion.
                conn->asyncStatus = PGASYNC_BUSY;
            } else {
                printfPQExpBuffer(&conn->errorMessage, "The COPY OUT state must be terminated first.");
                return false;
            }
        } else if (resultStatus == PGRES_COPY_BOTH) {
            printfPQExpBuffer(&conn->errorMessage, "`PQexec` is not allowed during COPY BOTH.");
            return false;
        }
        if (conn->status == CONNECTION_BAD)
            return false;
    }
    return true;
}

PGresult* PQexecFinish(PGconn* conn) {
    ScopedPGresult lastResult;
    while (ScopedPGresult result{PQgetResult(conn)}) {
        if (lastResult && lastResult->resultStatus == PGRES_FATAL_ERROR && result->resultStatus == PGRES_FATAL_ERROR) {
            pqCatenateResultError(lastResult.get(), result->errMsg);
            resetPQExpBuffer(&conn->errorMessage);
            if (lastResult->errMsg != nullptr)
                appendPQExpBufferStr(&conn->errorMessage, lastResult->errMsg);
        } else {
            lastResult = std::move(result);
        }
        if (lastResult->resultStatus == PGRES_COPY_IN || lastResult->resultStatus == PGRES_COPY_OUT ||
            lastResult->resultStatus == PGRES_COPY_BOTH || conn->status == CONNECTION_BAD)
            break;
    }
    return lastResult.release();
}

PGresult* PQexec(PGconn* conn, const char* query) {
    if (!PQexecStart(conn))
        return nullptr;
    if (!PQsendQuery(conn, query))
        return nullptr;
    return PQexecFinish(conn);
}
