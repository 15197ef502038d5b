// Protocol 3.0 message parsing. Each message is framed first (type byte and
// length word); while its handler runs, conn->inEnd is set to the message's
// end so that no handler can read into the next message or past the bytes
// received, whatever the message claims.
#include "postgres/libpq/protocol3_parser.h"

#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "error/tagged_text.h"
#include "postgres/libpq/buffer_space.h"
#include "postgres/libpq/error_text.h"
#include "postgres/libpq/message_io.h"
#include "postgres/libpq/parameter_status.h"
#include "postgres/libpq/result_record.h"
#include "postgres/libpq/scoped_result.h"
#include "postgres/port/portability.h"

void pqHandleSyncLoss(PGconn* conn, char id, int msgLength) {
    char primary[96];
    snprintf(primary, sizeof primary, "lost synchronization with server: got message type \"%c\", length %d", id,
             msgLength);
    printfPQExpBuffer(&conn->errorMessage, "%s\n",
                      kelvoapi::TaggedText().Sqlstate("08P01").Primary("%s", primary).c_str());
    pqSaveErrorResult(conn);
    // The library reads a result's error from its fields.
    if (conn->result != nullptr && conn->result->errFields == nullptr) {
        pqSaveMessageField(conn->result, 'C', "08P01");
        pqSaveMessageField(conn->result, 'M', primary);
    }
    conn->asyncStatus = PGASYNC_READY;
    pqDropConnection(conn, true);
    conn->status = CONNECTION_BAD;
}

namespace {

// A malformed message whose end is known: an error result when it arrived
// while a statement ran; otherwise (idle, copy) a notice, so that no result
// appears that nobody waits for.
void reportMalformed(PGconn* conn, bool duringStatement, const char* text) {
    if (duringStatement) {
        pqSaveErrorText(conn, text);
        conn->asyncStatus = PGASYNC_READY;
    } else {
        pqInternalNotice(&conn->noticeHooks, "%s", text);
    }
}

// Makes sure there is a current result of the given status; false (with an
// error result) when it cannot be made.
bool ensureResult(PGconn* conn, ExecStatusType status) {
    if (conn->result != nullptr)
        return true;
    conn->result = PQmakeEmptyPGresult(conn, status);
    if (conn->result == nullptr) {
        pqSaveErrorText(conn, "out of memory");
        return false;
    }
    return true;
}

// A row description or row that could not be taken in: the statement fails
// with `errmsg` (running out of memory when null) and parsing goes on after
// the message.
int failResultMessage(PGconn* conn, const char* errmsg, int msgEnd) {
    pqClearAsyncResult(conn);
    printfPQExpBuffer(&conn->errorMessage, "%s\n", errmsg != nullptr ? errmsg : "out of memory for query result");
    pqSaveErrorResult(conn);
    conn->inStart = msgEnd;
    return 0;
}

// The count in front of a message's items, each at least `minItemBytes`
// long; false when the message holds neither the count nor that many items,
// so a count it cannot hold is refused before anything is allocated for it.
// The count is unsigned: 65535 items, not -1.
bool getItemCount(PGconn* conn, int minItemBytes, int* count) {
    if (pqGetInt(count, 2, conn))
        return false;
    return static_cast<int64_t>(*count) * minItemBytes <= conn->inEnd - conn->inCursor;
}

// Reads the columns of a 'T' message into result; false with *errmsg (null
// when memory ran out) when the message is short, long or cannot be kept.
bool readRowDescriptions(PGconn* conn, PGresult* result, int msgEnd, const char** errmsg) {
    int nfields;
    // Each column takes at least 19 bytes.
    if (!getItemCount(conn, 19, &nfields)) {
        *errmsg = "insufficient data in \"T\" message";
        return false;
    }
    if (nfields > 0) {
        result->attDescs = static_cast<PGresAttDesc*>(
            pqResultAlloc(result, static_cast<size_t>(nfields) * sizeof(PGresAttDesc), true));
        if (result->attDescs == nullptr)
            return false;
        memset(result->attDescs, 0, static_cast<size_t>(nfields) * sizeof(PGresAttDesc));
    }
    result->numAttributes = nfields;
    result->binary = nfields > 0 ? 1 : 0;

    for (int i = 0; i < nfields; ++i) {
        int tableid, columnid, typid, typlen, atttypmod, format;
        if (pqGets(&conn->workBuffer, conn) || pqGetInt(&tableid, 4, conn) || pqGetInt(&columnid, 2, conn) ||
            pqGetInt(&typid, 4, conn) || pqGetInt(&typlen, 2, conn) || pqGetInt(&atttypmod, 4, conn) ||
            pqGetInt(&format, 2, conn)) {
            *errmsg = "insufficient data in \"T\" message";
            return false;
        }
        // These three are signed 16-bit values on the wire.
        columnid = static_cast<int16_t>(columnid);
        typlen = static_cast<int16_t>(typlen);
        format = static_cast<int16_t>(format);

        PGresAttDesc& desc = result->attDescs[i];
        desc.name = pqResultStrdup(result, conn->workBuffer.data);
        if (desc.name == nullptr)
            return false;
        desc.tableid = static_cast<Oid>(tableid);
        desc.columnid = columnid;
        desc.format = format;
        desc.typid = static_cast<Oid>(typid);
        desc.typlen = typlen;
        desc.atttypmod = atttypmod;
        if (format != 1)
            result->binary = 0;
    }
    if (conn->inCursor != msgEnd) {
        *errmsg = "extraneous data in \"T\" message";
        return false;
    }
    return true;
}

int getRowDescriptions(PGconn* conn, int msgEnd) {
    ScopedPGresult made;
    PGresult* result = conn->result;  // after a ParameterDescription
    if (conn->queryclass != PGQUERY_DESCRIBE || result == nullptr) {
        made.reset(
            PQmakeEmptyPGresult(conn, conn->queryclass == PGQUERY_DESCRIBE ? PGRES_COMMAND_OK : PGRES_TUPLES_OK));
        result = made.get();
    }
    const char* errmsg = nullptr;
    if (result == nullptr || !readRowDescriptions(conn, result, msgEnd, &errmsg))
        return failResultMessage(conn, errmsg, msgEnd);

    if (made)
        conn->result = made.release();
    conn->inStart = msgEnd;
    if (conn->queryclass == PGQUERY_DESCRIBE)
        conn->asyncStatus = PGASYNC_READY;
    return 0;
}

// Reads the parameter types of a 't' message into result; false with
// *errmsg (null when memory ran out) when the message is short or long.
bool readParamDescriptions(PGconn* conn, PGresult* result, int msgEnd, const char** errmsg) {
    int nparams;
    if (!getItemCount(conn, 4, &nparams)) {
        *errmsg = "insufficient data in \"t\" message";
        return false;
    }
    result->numParameters = nparams;
    if (nparams > 0) {
        result->paramDescs = static_cast<PGresParamDesc*>(
            pqResultAlloc(result, static_cast<size_t>(nparams) * sizeof(PGresParamDesc), true));
        if (result->paramDescs == nullptr)
            return false;
    }
    for (int i = 0; i < nparams; ++i) {
        int typid;
        if (pqGetInt(&typid, 4, conn)) {
            *errmsg = "insufficient data in \"t\" message";
            return false;
        }
        result->paramDescs[i].typid = static_cast<Oid>(typid);
    }
    if (conn->inCursor != msgEnd) {
        *errmsg = "extraneous data in \"t\" message";
        return false;
    }
    return true;
}

int getParamDescr(PGconn* conn, int msgEnd) {
    ScopedPGresult result(PQmakeEmptyPGresult(conn, PGRES_COMMAND_OK));
    const char* errmsg = nullptr;
    if (!result || !readParamDescriptions(conn, result.get(), msgEnd, &errmsg)) {
        result.reset();
        printfPQExpBuffer(&conn->errorMessage, "%s\n", errmsg != nullptr ? errmsg : "out of memory");
        pqSaveErrorResult(conn);
        conn->asyncStatus = PGASYNC_READY;
        conn->inStart = msgEnd;
        return 0;
    }
    pqClearAsyncResult(conn);
    conn->result = result.release();
    conn->inStart = msgEnd;
    return 0;
}

int getAnotherTuple(PGconn* conn, int msgEnd) {
    PGresult* result = conn->result;
    const char* errmsg = nullptr;
    int tupnfields;
    int fieldsStart;

    if (result == nullptr || result->resultStatus != PGRES_TUPLES_OK) {
        // The rest of a failed statement's rows are dropped silently.
        if (result == nullptr || result->resultStatus != PGRES_FATAL_ERROR)
            pqSaveErrorText(conn, "server sent data (\"D\" message) without prior row description (\"T\" message)\n");
        conn->inStart = msgEnd;
        return 0;
    }

    // Read against msgEnd, not inEnd: the parser's loop hands rows over
    // without narrowing inEnd to the message.
    if (msgEnd - conn->inCursor < 2) {
        errmsg = "insufficient data in \"D\" message";
        goto advance_and_error;
    }
    uint16_t netCount;
    memcpy(&netCount, conn->inBuffer + conn->inCursor, 2);
    tupnfields = ntohs(netCount);
    fieldsStart = conn->inCursor + 2;
    if (tupnfields != result->numAttributes) {
        errmsg = "unexpected field count in \"D\" message";
        goto advance_and_error;
    }
    if (static_cast<int64_t>(tupnfields) * 4 > msgEnd - fieldsStart) {
        errmsg = "insufficient data in \"D\" message";
        goto advance_and_error;
    }

    // The fields are located and checked in one pass over their copy.
    conn->inStart = msgEnd;
    switch (pqStoreDataRow(conn, conn->inBuffer + fieldsStart, msgEnd - fieldsStart, &errmsg)) {
        case 1:
            return 0;
        case PQ_ROW_TRUNCATED:
            errmsg = "insufficient data in \"D\" message";
            break;
        case PQ_ROW_BAD_LENGTH:
            errmsg = "invalid field length in \"D\" message";
            break;
        case PQ_ROW_EXTRANEOUS:
            errmsg = "extraneous data in \"D\" message";
            break;
        default:
            break;
    }

advance_and_error:
    return failResultMessage(conn, errmsg, msgEnd);
}

// The message is complete: waiting for more data would hang.
int failCopyStartForMemory(PGconn* conn) {
    conn->inCursor = conn->inEnd;
    pqSaveErrorText(conn, "out of memory");
    conn->asyncStatus = PGASYNC_READY;
    return 0;
}

int getCopyStart(PGconn* conn, ExecStatusType copytype) {
    ScopedPGresult result(PQmakeEmptyPGresult(conn, copytype));
    if (!result)
        return failCopyStartForMemory(conn);
    if (pqGetc(&conn->copy_is_binary, conn))
        return EOF;
    result->binary = static_cast<unsigned char>(conn->copy_is_binary);
    int nfields;
    if (pqGetInt(&nfields, 2, conn) || static_cast<int64_t>(nfields) * 2 > conn->inEnd - conn->inCursor)
        return EOF;
    if (nfields > 0) {
        result->attDescs = static_cast<PGresAttDesc*>(
            pqResultAlloc(result.get(), static_cast<size_t>(nfields) * sizeof(PGresAttDesc), true));
        if (result->attDescs == nullptr)
            return failCopyStartForMemory(conn);
        memset(result->attDescs, 0, static_cast<size_t>(nfields) * sizeof(PGresAttDesc));
    }
    result->numAttributes = nfields;
    for (int i = 0; i < nfields; ++i) {
        int format;
        if (pqGetInt(&format, 2, conn))
            return EOF;
        result->attDescs[i].format = format;  // read unsigned, like the count
    }
    pqClearAsyncResult(conn);
    conn->result = result.release();
    return 0;
}

// Notifications are parsed and dropped: nothing in the library reads them,
// and a queue that nobody drains would grow without limit.
int getNotify(PGconn* conn) {
    int be_pid;
    if (pqGetInt(&be_pid, 4, conn))
        return EOF;
    if (pqGets(&conn->workBuffer, conn))
        return EOF;
    if (pqGets(&conn->workBuffer, conn))
        return EOF;
    return 0;
}

int getParameterStatus(PGconn* conn) {
    if (pqGets(&conn->workBuffer, conn))
        return EOF;
    char* name = strdup(conn->workBuffer.data);
    if (name == nullptr) {
        // Skip the value; the pair is lost, nothing else is.
        return pqGets(&conn->workBuffer, conn);
    }
    PQExpBufferData valueBuf;
    initPQExpBuffer(&valueBuf);
    int rc = pqGets(&valueBuf, conn);
    if (rc == 0 && !PQExpBufferBroken(&valueBuf))
        pqSaveParameterStatus(conn, name, valueBuf.data);
    termPQExpBuffer(&valueBuf);
    free(name);
    return rc;
}

int getReadyForQuery(PGconn* conn) {
    char xact_status;
    if (pqGetc(&xact_status, conn))
        return EOF;
    switch (xact_status) {
        case 'I':
            conn->xactStatus = PQTRANS_IDLE;
            break;
        case 'T':
            conn->xactStatus = PQTRANS_INTRANS;
            break;
        case 'E':
            conn->xactStatus = PQTRANS_INERROR;
            break;
        default:
            conn->xactStatus = PQTRANS_UNKNOWN;
            break;
    }
    return 0;
}

int getBackendKeyData(PGconn* conn) {
    if (pqGetInt(&conn->be_pid, 4, conn))
        return EOF;
    if (pqGetInt(&conn->be_key, 4, conn))
        return EOF;
    return 0;
}

int getCommandComplete(PGconn* conn) {
    if (pqGets(&conn->workBuffer, conn))
        return EOF;
    if (!ensureResult(conn, PGRES_COMMAND_OK))
        return 0;
    strlcpy(conn->result->cmdStatus, conn->workBuffer.data, CMDSTATUS_LEN);
    // A partial last chunk carries the tag and ends the statement's rows:
    // its template must not linger as the next statement's current result.
    if (conn->next_result != nullptr) {
        PQclear(conn->next_result);
        conn->next_result = nullptr;
    }
    return 0;
}

// Handles one complete message of a running statement. Returns EOF when the
// body was too short for its contents.
int handleBusyMessage(PGconn* conn, char id, int msgEnd) {
    switch (id) {
        case 'C':
            if (getCommandComplete(conn))
                return EOF;
            conn->asyncStatus = PGASYNC_READY;
            return 0;
        case 'E':
            if (pqGetErrorNotice3(conn, true))
                return EOF;
            conn->asyncStatus = PGASYNC_READY;
            return 0;
        case 'Z':
            if (getReadyForQuery(conn))
                return EOF;
            conn->asyncStatus = PGASYNC_IDLE;
            return 0;
        case 'I':
            ensureResult(conn, PGRES_EMPTY_QUERY);
            conn->asyncStatus = PGASYNC_READY;
            return 0;
        case '1':
            if (conn->queryclass == PGQUERY_PREPARE) {
                ensureResult(conn, PGRES_COMMAND_OK);
                conn->asyncStatus = PGASYNC_READY;
            }
            return 0;
        case 'n':
            if (conn->queryclass == PGQUERY_DESCRIBE) {
                ensureResult(conn, PGRES_COMMAND_OK);
                conn->asyncStatus = PGASYNC_READY;
            }
            return 0;
        case '2':
        case '3':
        case 'c':
            return 0;
        case 'K':
            return getBackendKeyData(conn);
        case 'T':
            if (conn->result != nullptr && conn->result->resultStatus == PGRES_FATAL_ERROR) {
                conn->inStart = msgEnd;  // the statement already failed
                return 0;
            }
            if (conn->result != nullptr && conn->queryclass != PGQUERY_DESCRIBE) {
                // A new result set: the caller takes the current one first.
                conn->asyncStatus = PGASYNC_READY;
                return 1;
            }
            return getRowDescriptions(conn, msgEnd);
        case 't':
            return getParamDescr(conn, msgEnd);
        case 'D':
            return getAnotherTuple(conn, msgEnd);
        case 'G':
        case 'H':
        case 'W': {
            const ExecStatusType copytype = id == 'G' ? PGRES_COPY_IN : id == 'H' ? PGRES_COPY_OUT : PGRES_COPY_BOTH;
            if (getCopyStart(conn, copytype))
                return EOF;
            if (conn->result != nullptr && conn->result->resultStatus == copytype) {
                conn->asyncStatus = id == 'G' ? PGASYNC_COPY_IN : id == 'H' ? PGASYNC_COPY_OUT : PGASYNC_COPY_BOTH;
                if (id != 'G')
                    conn->copy_already_done = 0;
            }
            return 0;
        }
        case 'd':
            // Copy data after the caller left the copy.
            conn->inCursor = msgEnd;
            return 0;
        default:
            printfPQExpBuffer(&conn->errorMessage,
                              "unexpected response from server; first received character was \"%c\"\n", id);
            pqSaveErrorResult(conn);
            conn->asyncStatus = PGASYNC_READY;
            conn->inCursor = msgEnd;
            return 0;
    }
}

// Reads the fields of an error or notice into res (when there is one);
// false when the message is not all there yet.
bool readErrorFields(PGconn* conn, PGresult* res, bool* havePosition) {
    for (;;) {
        char id;
        if (pqGetc(&id, conn))
            return false;
        if (id == '\0')
            return true;
        if (pqGets(&conn->workBuffer, conn))
            return false;
        if (res != nullptr)
            pqSaveMessageField(res, id, conn->workBuffer.data);
        if (id == 'C')
            strlcpy(conn->last_sqlstate, conn->workBuffer.data, sizeof(conn->last_sqlstate));
        if (id == 'P')
            *havePosition = true;
    }
}

}  // namespace

int pqGetErrorNotice3(PGconn* conn, bool isError) {
    if (isError)
        pqClearAsyncResult(conn);

    // Made with a status that copies no text from the connection.
    ScopedPGresult res(PQmakeEmptyPGresult(conn, PGRES_EMPTY_QUERY));
    if (res)
        res->resultStatus = isError ? PGRES_FATAL_ERROR : PGRES_NONFATAL_ERROR;

    bool havePosition = false;
    if (!readErrorFields(conn, res.get(), &havePosition)) {
        resetPQExpBuffer(&conn->workBuffer);
        return EOF;
    }
    if (havePosition && conn->last_query != nullptr && res)
        res->errQuery = pqResultStrdup(res.get(), conn->last_query);

    resetPQExpBuffer(&conn->workBuffer);
    pqBuildErrorMessage3(&conn->workBuffer, res.get(), conn->verbosity, conn->show_context);

    if (isError) {
        if (res)
            res->errMsg = pqResultStrdup(res.get(), conn->workBuffer.data);
        pqClearAsyncResult(conn);
        conn->result = res.release();
        if (PQExpBufferDataBroken(conn->workBuffer)) {
            appendPQExpBufferStr(&conn->errorMessage, "out of memory");
        } else {
            appendPQExpBufferStr(&conn->errorMessage, conn->workBuffer.data);
        }
    } else if (res) {
        res->errMsg = pqResultStrdup(res.get(), conn->workBuffer.data);
        if (res->noticeHooks.noticeRec != nullptr)
            res->noticeHooks.noticeRec(res->noticeHooks.noticeRecArg, res.get());
    }
    resetPQExpBuffer(&conn->workBuffer);
    return 0;
}

void pqParseInput3(PGconn* conn) {
    for (;;) {
        conn->inCursor = conn->inStart;
        if (conn->inEnd - conn->inCursor < 5)
            return;
        const char id = conn->inBuffer[conn->inCursor];
        uint32_t netLength;
        memcpy(&netLength, conn->inBuffer + conn->inCursor + 1, 4);
        const int msgLength = static_cast<int>(ntohl(netLength));
        conn->inCursor += 5;

        // A length word above INT_MAX reads as negative and fails here too.
        if (msgLength < 4 || (msgLength > kMaxShortMessageLength && !pqMessageMayBeLong(id))) {
            pqHandleSyncLoss(conn, id, msgLength);
            return;
        }
        const int bodyLength = msgLength - 4;
        if (conn->inEnd - conn->inCursor < bodyLength) {
            // Incomplete: make room for the whole message and wait. Offsets
            // are summed in 64 bits; a message that cannot fit in INT_MAX
            // bytes cannot be read at all.
            if (pqCheckInBufferSpace(static_cast<size_t>(conn->inCursor) + static_cast<size_t>(bodyLength), conn))
                pqHandleSyncLoss(conn, id, msgLength);
            return;
        }
        const int msgEnd = conn->inCursor + bodyLength;
        if (id == 'D' && conn->asyncStatus == PGASYNC_BUSY) {
            // Rows are nearly all of the traffic: straight to the row parser,
            // which reads against msgEnd and always consumes the message.
            getAnotherTuple(conn, msgEnd);
            continue;
        }

        // Notifications, notices and parameter reports may come at any time;
        // a ParameterStatus left unread during a copy would hide the error
        // queued behind it.
        const bool asynchronous = id == 'A' || id == 'N' || id == 'S';
        if (!asynchronous && conn->asyncStatus != PGASYNC_BUSY) {
            // The caller must first take the ready result or finish the copy.
            if (conn->asyncStatus != PGASYNC_IDLE)
                return;
        }

        const bool duringStatement = conn->asyncStatus == PGASYNC_BUSY;
        const int realEnd = conn->inEnd;
        conn->inEnd = msgEnd;
        int rc = 0;
        bool selfConsuming = false;
        if (id == 'A') {
            rc = getNotify(conn);
        } else if (id == 'N') {
            rc = pqGetErrorNotice3(conn, false);
        } else if (id == 'S') {
            rc = getParameterStatus(conn);
        } else if (conn->asyncStatus == PGASYNC_IDLE) {
            if (id == 'E') {
                rc = pqGetErrorNotice3(conn, false);
            } else {
                pqInternalNotice(&conn->noticeHooks, "message type 0x%02x arrived from server while idle",
                                 static_cast<unsigned char>(id));
                conn->inCursor = msgEnd;
            }
        } else {
            selfConsuming = id == 'T' || id == 'D' || id == 't';
            rc = handleBusyMessage(conn, id, msgEnd);
        }
        conn->inEnd = realEnd;

        if (rc == 1)
            return;  // stopped before the message; it stays unread
        if (selfConsuming)
            continue;
        if (rc != 0 || conn->inCursor != msgEnd) {
            char text[96];
            snprintf(text, sizeof(text), "message contents do not agree with length in message type \"%c\"\n", id);
            reportMalformed(conn, duringStatement, text);
        }
        conn->inStart = msgEnd;
    }
}
