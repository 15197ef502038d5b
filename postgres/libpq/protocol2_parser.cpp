// Protocol 2.0 message parsing. Without length words nothing can be skipped:
// an unexpected message discards all buffered input, as the old protocol
// leaves no way to find the next message.
#include "postgres/libpq/protocol2_parser.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "postgres/libpq/message_io.h"
#include "postgres/libpq/result_record.h"
#include "postgres/port/portability.h"

namespace {

// The transaction state follows the command tags.
void checkXactStatus(PGconn* conn, const char* cmdTag) {
    if (strcmp(cmdTag, "BEGIN") == 0 || strcmp(cmdTag, "START TRANSACTION") == 0)
        conn->xactStatus = PQTRANS_INTRANS;
    else if (strcmp(cmdTag, "COMMIT") == 0 || strcmp(cmdTag, "ROLLBACK") == 0)
        conn->xactStatus = PQTRANS_IDLE;
    else if (strcmp(cmdTag, "*ABORT STATE*") == 0)
        conn->xactStatus = PQTRANS_INERROR;
}

int getNotify2(PGconn* conn) {
    int be_pid;
    if (pqGetInt(&be_pid, 4, conn))
        return EOF;
    // Parsed and dropped: nothing reads notifications.
    if (pqGets(&conn->workBuffer, conn))
        return EOF;
    return 0;
}

int getRowDescriptions2(PGconn* conn) {
    int nfields;
    PGresult* result = PQmakeEmptyPGresult(conn, PGRES_TUPLES_OK);
    if (result == nullptr)
        goto advance_and_error;

    if (pqGetInt(&nfields, 2, conn))
        goto eof_exit;
    if (nfields > 0) {
        result->attDescs = static_cast<PGresAttDesc*>(
            pqResultAlloc(result, static_cast<size_t>(nfields) * sizeof(PGresAttDesc), true));
        if (result->attDescs == nullptr)
            goto advance_and_error;
        memset(result->attDescs, 0, static_cast<size_t>(nfields) * sizeof(PGresAttDesc));
    }
    result->numAttributes = nfields;
    for (int i = 0; i < nfields; ++i) {
        int typid, typlen, atttypmod;
        if (pqGets(&conn->workBuffer, conn) || pqGetInt(&typid, 4, conn) || pqGetInt(&typlen, 2, conn) ||
            pqGetInt(&atttypmod, 4, conn))
            goto eof_exit;
        PGresAttDesc& desc = result->attDescs[i];
        desc.name = pqResultStrdup(result, conn->workBuffer.data);
        if (desc.name == nullptr)
            goto advance_and_error;
        desc.tableid = 0;
        desc.columnid = 0;
        desc.format = 0;
        desc.typid = static_cast<Oid>(typid);
        desc.typlen = static_cast<int16_t>(typlen);
        desc.atttypmod = atttypmod;
    }
    conn->result = result;
    conn->inStart = conn->inCursor;
    return 0;

advance_and_error:
    // Without lengths the rest of the message cannot be found: drop the input.
    PQclear(result);
    pqClearAsyncResult(conn);
    pqSaveErrorText(conn, "out of memory for query result\n");
    conn->asyncStatus = PGASYNC_READY;
    conn->inStart = conn->inEnd;
    return 0;

eof_exit:
    PQclear(result);
    return EOF;
}

// A 'D' (text) or 'B' (binary) row: a bitmap with one bit per column, set
// for non-NULL values, then each non-NULL value with its Int32 length
// (counting itself for text rows).
int getAnotherTuple2(PGconn* conn, bool binary) {
    PGresult* result = conn->result;
    const int nfields = result->numAttributes;
    const size_t nbytes = (static_cast<size_t>(nfields) + 7) / 8;
    std::vector<unsigned char> bitmap(nbytes);
    const char* errmsg = nullptr;

    if (result->ntups == 0 && nfields > 0) {
        // The first row tells whether the result is binary.
        result->binary = binary ? 1 : 0;
        for (int i = 0; i < nfields; ++i)
            result->attDescs[i].format = binary ? 1 : 0;
    }
    if (nbytes > 0 && pqGetnchar(reinterpret_cast<char*>(bitmap.data()), nbytes, conn))
        return EOF;

    if (nfields > conn->rowBufLen) {
        auto* grown = static_cast<PGdataValue*>(realloc(conn->rowBuf, nfields * sizeof(PGdataValue)));
        if (grown == nullptr) {
            errmsg = nullptr;
            goto set_error_result;
        }
        conn->rowBuf = grown;
        conn->rowBufLen = nfields;
    }
    for (int i = 0; i < nfields; ++i) {
        const bool present = (bitmap[i / 8] & (0x80 >> (i % 8))) != 0;
        if (!present) {
            conn->rowBuf[i].len = -1;
            conn->rowBuf[i].value = nullptr;
            continue;
        }
        int vlen;
        if (pqGetInt(&vlen, 4, conn))
            return EOF;
        // A text field's length counts its own length word; a length below
        // that (down to INT_MIN) reads as an empty value.
        if (!binary)
            vlen = vlen < 4 ? 0 : vlen - 4;
        if (vlen < 0)
            vlen = 0;
        conn->rowBuf[i].len = vlen;
        conn->rowBuf[i].value = conn->inBuffer + conn->inCursor;
        if (vlen > 0 && pqSkipnchar(static_cast<size_t>(vlen), conn))
            return EOF;
    }
    conn->inStart = conn->inCursor;

    if (result->resultStatus == PGRES_FATAL_ERROR)
        return 0;  // rows of a failed statement
    if (pqRowProcessor(conn, &errmsg))
        return 0;

set_error_result:
    pqClearAsyncResult(conn);
    printfPQExpBuffer(&conn->errorMessage, "%s\n", errmsg != nullptr ? errmsg : "out of memory for query result");
    pqSaveErrorResult(conn);
    conn->inStart = conn->inCursor;
    return 0;
}

}  // namespace

int pqGetErrorNotice2(PGconn* conn, bool isError) {
    PQExpBufferData workBuf;
    initPQExpBuffer(&workBuf);
    if (pqGets(&workBuf, conn)) {
        termPQExpBuffer(&workBuf);
        return EOF;
    }

    PGresult* res = PQmakeEmptyPGresult(conn, PGRES_EMPTY_QUERY);
    if (res != nullptr && !PQExpBufferDataBroken(workBuf)) {
        res->resultStatus = isError ? PGRES_FATAL_ERROR : PGRES_NONFATAL_ERROR;
        res->errMsg = pqResultStrdup(res, workBuf.data);
        // "SEVERITY:  primary\n\tdetail..."
        char* startp = workBuf.data;
        char* splitp = strstr(startp, ":  ");
        if (splitp != nullptr) {
            *splitp = '\0';
            pqSaveMessageField(res, 'S', startp);
            startp = splitp + 3;
        }
        splitp = strchr(startp, '\n');
        if (splitp != nullptr) {
            *splitp++ = '\0';
            pqSaveMessageField(res, 'M', startp);
            while (*splitp != '\0' && isspace(static_cast<unsigned char>(*splitp)))
                splitp++;
            if (*splitp != '\0')
                pqSaveMessageField(res, 'D', splitp);
        } else {
            pqSaveMessageField(res, 'M', startp);
        }
    } else if (res != nullptr) {
        PQclear(res);
        res = nullptr;
    }

    if (isError) {
        pqClearAsyncResult(conn);
        conn->result = res;
        resetPQExpBuffer(&conn->errorMessage);
        if (res != nullptr && res->errMsg != nullptr)
            appendPQExpBufferStr(&conn->errorMessage, res->errMsg);
        else
            appendPQExpBufferStr(&conn->errorMessage, "out of memory");
        if (conn->xactStatus == PQTRANS_INTRANS)
            conn->xactStatus = PQTRANS_INERROR;
    } else if (res != nullptr) {
        if (res->noticeHooks.noticeRec != nullptr)
            res->noticeHooks.noticeRec(res->noticeHooks.noticeRecArg, res);
        PQclear(res);
    }
    termPQExpBuffer(&workBuf);
    return 0;
}

void pqParseInput2(PGconn* conn) {
    for (;;) {
        conn->inCursor = conn->inStart;
        char id;
        if (pqGetc(&id, conn))
            return;

        if (id == 'A') {
            if (getNotify2(conn))
                return;
        } else if (id == 'N') {
            if (pqGetErrorNotice2(conn, false))
                return;
        } else if (conn->asyncStatus != PGASYNC_BUSY) {
            if (conn->asyncStatus != PGASYNC_IDLE)
                return;
            if (id == 'E') {
                if (pqGetErrorNotice2(conn, false))
                    return;
            } else {
                pqInternalNotice(&conn->noticeHooks, "message type 0x%02x arrived from server while idle",
                                 static_cast<unsigned char>(id));
                conn->inStart = conn->inEnd;
                return;
            }
        } else {
            switch (id) {
                case 'C':
                    if (pqGets(&conn->workBuffer, conn))
                        return;
                    if (conn->result == nullptr) {
                        conn->result = PQmakeEmptyPGresult(conn, PGRES_COMMAND_OK);
                        if (conn->result == nullptr)
                            pqSaveErrorText(conn, "out of memory");
                    }
                    if (conn->result != nullptr)
                        strlcpy(conn->result->cmdStatus, conn->workBuffer.data, CMDSTATUS_LEN);
                    if (conn->next_result != nullptr) {
                        PQclear(conn->next_result);
                        conn->next_result = nullptr;
                    }
                    checkXactStatus(conn, conn->workBuffer.data);
                    conn->asyncStatus = PGASYNC_READY;
                    break;
                case 'E':
                    if (pqGetErrorNotice2(conn, true))
                        return;
                    conn->asyncStatus = PGASYNC_READY;
                    break;
                case 'Z':
                    conn->asyncStatus = PGASYNC_IDLE;
                    break;
                case 'I': {
                    char next;
                    if (pqGetc(&next, conn))
                        return;
                    if (next != '\0')
                        pqInternalNotice(&conn->noticeHooks,
                                         "unexpected character %c following empty query response (\"I\" message)",
                                         next);
                    if (conn->result == nullptr) {
                        conn->result = PQmakeEmptyPGresult(conn, PGRES_EMPTY_QUERY);
                        if (conn->result == nullptr)
                            pqSaveErrorText(conn, "out of memory");
                    }
                    conn->asyncStatus = PGASYNC_READY;
                    break;
                }
                case 'K':
                    if (pqGetInt(&conn->be_pid, 4, conn))
                        return;
                    if (pqGetInt(&conn->be_key, 4, conn))
                        return;
                    break;
                case 'P':
                    // A portal name; nothing uses it.
                    if (pqGets(&conn->workBuffer, conn))
                        return;
                    break;
                case 'T':
                    if (conn->result == nullptr) {
                        if (getRowDescriptions2(conn))
                            return;
                        continue;  // moved inStart itself
                    }
                    // A new row set: the caller takes the current result first.
                    conn->asyncStatus = PGASYNC_READY;
                    return;
                case 'D':
                case 'B': {
                    const bool binary = id == 'B';
                    if (conn->result != nullptr && (conn->result->resultStatus == PGRES_TUPLES_OK ||
                                                    conn->result->resultStatus == PGRES_FATAL_ERROR)) {
                        if (getAnotherTuple2(conn, binary))
                            return;
                        continue;
                    }
                    pqSaveErrorText(conn, binary
                                              ? "server sent binary data (\"B\" message) without prior row description "
                                                "(\"T\" message)\n"
                                              : "server sent data (\"D\" message) without prior row description (\"T\" "
                                                "message)\n");
                    conn->inStart = conn->inEnd;
                    return;
                }
                case 'G':
                    conn->asyncStatus = PGASYNC_COPY_IN;
                    break;
                case 'H':
                    conn->asyncStatus = PGASYNC_COPY_OUT;
                    break;
                default:
                    printfPQExpBuffer(&conn->errorMessage,
                                      "unexpected response from server; first received character was \"%c\"\n", id);
                    pqSaveErrorResult(conn);
                    conn->inStart = conn->inEnd;
                    conn->asyncStatus = PGASYNC_READY;
                    return;
            }
        }
        conn->inStart = conn->inCursor;
    }
}
