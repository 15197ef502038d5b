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
#include "postgres/libpq/scoped_result.h"
#include "postgres/port/portability.h"

namespace {

// The transaction state follows the command tags.
void checkXactStatus(PGconn* conn, const char* cmdTag) {
    if (strcmp(cmdTag, "BEGIN") == 0 || strcmp(cmdTag, "START TRANSACTION") == 0) {
        conn->xactStatus = PQTRANS_INTRANS;
    } else if (strcmp(cmdTag, "COMMIT") == 0 || strcmp(cmdTag, "ROLLBACK") == 0) {
        conn->xactStatus = PQTRANS_IDLE;
    } else if (strcmp(cmdTag, "*ABORT STATE*") == 0) {
        conn->xactStatus = PQTRANS_INERROR;
    }
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

// Without lengths the rest of the message cannot be found: drop the input.
int FailRowDescriptionsForMemory(PGconn* conn) {
    pqClearAsyncResult(conn);
    pqSaveErrorText(conn, "out of memory for query result\n");
    conn->asyncStatus = PGASYNC_READY;
    conn->inStart = conn->inEnd;
    return 0;
}

int getRowDescriptions2(PGconn* conn) {
    ScopedPGresult result(PQmakeEmptyPGresult(conn, PGRES_TUPLES_OK));
    if (!result)
        return FailRowDescriptionsForMemory(conn);

    int nfields;
    if (pqGetInt(&nfields, 2, conn))
        return EOF;
    if (nfields > 0) {
        result->attDescs = static_cast<PGresAttDesc*>(
            pqResultAlloc(result.get(), static_cast<size_t>(nfields) * sizeof(PGresAttDesc), true));
        if (result->attDescs == nullptr)
            return FailRowDescriptionsForMemory(conn);
        memset(result->attDescs, 0, static_cast<size_t>(nfields) * sizeof(PGresAttDesc));
    }
    result->numAttributes = nfields;
    for (int i = 0; i < nfields; ++i) {
        int typid, typlen, atttypmod;
        if (pqGets(&conn->workBuffer, conn) || pqGetInt(&typid, 4, conn) || pqGetInt(&typlen, 2, conn) ||
            pqGetInt(&atttypmod, 4, conn))
            return EOF;
        PGresAttDesc& desc = result->attDescs[i];
        desc.name = pqResultStrdup(result.get(), conn->workBuffer.data);
        if (desc.name == nullptr)
            return FailRowDescriptionsForMemory(conn);
        desc.tableid = 0;
        desc.columnid = 0;
        desc.format = 0;
        desc.typid = static_cast<Oid>(typid);
        desc.typlen = static_cast<int16_t>(typlen);
        desc.atttypmod = atttypmod;
    }
    conn->result = result.release();
    conn->inStart = conn->inCursor;
    return 0;
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

    ScopedPGresult res(PQmakeEmptyPGresult(conn, PGRES_EMPTY_QUERY));
    if (res && !PQExpBufferDataBroken(workBuf)) {
        res->resultStatus = isError ? PGRES_FATAL_ERROR : PGRES_NONFATAL_ERROR;
        res->errMsg = pqResultStrdup(res.get(), workBuf.data);
        // "SEVERITY:  primary\n\tdetail..."
        char* startp = workBuf.data;
        char* splitp = strstr(startp, ":  ");
        if (splitp != nullptr) {
            *splitp = '\0';
            pqSaveMessageField(res.get(), 'S', startp);
            startp = splitp + 3;
        }
        splitp = strchr(startp, '\n');
        if (splitp != nullptr) {
            *splitp++ = '\0';
            pqSaveMessageField(res.get(), 'M', startp);
            while (*splitp != '\0' && isspace(static_cast<unsigned char>(*splitp)))
                splitp++;
            if (*splitp != '\0')
                pqSaveMessageField(res.get(), 'D', splitp);
        } else {
            pqSaveMessageField(res.get(), 'M', startp);
        }
    } else {
        res.reset();
    }

    if (isError) {
        pqClearAsyncResult(conn);
        conn->result = res.release();
        resetPQExpBuffer(&conn->errorMessage);
        if (conn->result != nullptr && conn->result->errMsg != nullptr) {
            appendPQExpBufferStr(&conn->errorMessage, conn->result->errMsg);
        } else {
            appendPQExpBufferStr(&conn->errorMessage, "out of memory");
        }
        if (conn->xactStatus == PQTRANS_INTRANS)
            conn->xactStatus = PQTRANS_INERROR;
    } else if (res && res->noticeHooks.noticeRec != nullptr) {
        res->noticeHooks.noticeRec(res->noticeHooks.noticeRecArg, res.get());
    }
    termPQExpBuffer(&workBuf);
    return 0;
}

namespace {

// What one message leaves pqParseInput2 to do.
enum class Parsed2 {
    Consumed,  // the message is read: move past it and parse the next
    Moved,     // the message moved the input start itself: parse the next
    Stop,      // wait for more input, or the caller takes a result first
};

Parsed2 ConsumedUnlessEof(int eof) { return eof ? Parsed2::Stop : Parsed2::Consumed; }

// Only an error (kept as a notice) may arrive while nothing runs.
Parsed2 ParseWhileNotBusy(PGconn* conn, char id) {
    if (conn->asyncStatus != PGASYNC_IDLE)
        return Parsed2::Stop;
    if (id == 'E')
        return ConsumedUnlessEof(pqGetErrorNotice2(conn, false));
    pqInternalNotice(&conn->noticeHooks, "message type 0x%02x arrived from server while idle",
                     static_cast<unsigned char>(id));
    conn->inStart = conn->inEnd;
    return Parsed2::Stop;
}

// Makes the statement's result when it has none yet.
void EnsureResult(PGconn* conn, ExecStatusType status) {
    if (conn->result == nullptr) {
        conn->result = PQmakeEmptyPGresult(conn, status);
        if (conn->result == nullptr)
            pqSaveErrorText(conn, "out of memory");
    }
}

Parsed2 ParseCommandComplete(PGconn* conn) {
    if (pqGets(&conn->workBuffer, conn))
        return Parsed2::Stop;
    EnsureResult(conn, PGRES_COMMAND_OK);
    if (conn->result != nullptr)
        strlcpy(conn->result->cmdStatus, conn->workBuffer.data, CMDSTATUS_LEN);
    if (conn->next_result != nullptr) {
        PQclear(conn->next_result);
        conn->next_result = nullptr;
    }
    checkXactStatus(conn, conn->workBuffer.data);
    conn->asyncStatus = PGASYNC_READY;
    return Parsed2::Consumed;
}

Parsed2 ParseError(PGconn* conn) {
    if (pqGetErrorNotice2(conn, true))
        return Parsed2::Stop;
    conn->asyncStatus = PGASYNC_READY;
    return Parsed2::Consumed;
}

Parsed2 ParseEmptyQuery(PGconn* conn) {
    char next;
    if (pqGetc(&next, conn))
        return Parsed2::Stop;
    if (next != '\0') {
        pqInternalNotice(&conn->noticeHooks, "unexpected character %c following empty query response (\"I\" message)",
                         next);
    }
    EnsureResult(conn, PGRES_EMPTY_QUERY);
    conn->asyncStatus = PGASYNC_READY;
    return Parsed2::Consumed;
}

Parsed2 ParseBackendKey(PGconn* conn) {
    return ConsumedUnlessEof(pqGetInt(&conn->be_pid, 4, conn) || pqGetInt(&conn->be_key, 4, conn));
}

Parsed2 ParseRowDescription(PGconn* conn) {
    if (conn->result == nullptr)
        return getRowDescriptions2(conn) ? Parsed2::Stop : Parsed2::Moved;
    // A new row set: the caller takes the current result first.
    conn->asyncStatus = PGASYNC_READY;
    return Parsed2::Stop;
}

Parsed2 ParseRow(PGconn* conn, bool binary) {
    if (conn->result != nullptr &&
        (conn->result->resultStatus == PGRES_TUPLES_OK || conn->result->resultStatus == PGRES_FATAL_ERROR))
        return getAnotherTuple2(conn, binary) ? Parsed2::Stop : Parsed2::Moved;
    pqSaveErrorText(conn, binary ? "server sent binary data (\"B\" message) without prior row description "
                                   "(\"T\" message)\n"
                                 : "server sent data (\"D\" message) without prior row description (\"T\" "
                                   "message)\n");
    conn->inStart = conn->inEnd;
    return Parsed2::Stop;
}

Parsed2 ParseUnexpected(PGconn* conn, char id) {
    printfPQExpBuffer(&conn->errorMessage, "unexpected response from server; first received character was \"%c\"\n",
                      id);
    pqSaveErrorResult(conn);
    conn->inStart = conn->inEnd;
    conn->asyncStatus = PGASYNC_READY;
    return Parsed2::Stop;
}

Parsed2 SetAsyncStatus(PGconn* conn, PGAsyncStatusType status) {
    conn->asyncStatus = status;
    return Parsed2::Consumed;
}

Parsed2 ParseMessage2(PGconn* conn, char id) {
    if (id == 'A')
        return ConsumedUnlessEof(getNotify2(conn));
    if (id == 'N')
        return ConsumedUnlessEof(pqGetErrorNotice2(conn, false));
    if (conn->asyncStatus != PGASYNC_BUSY)
        return ParseWhileNotBusy(conn, id);
    switch (id) {
        case 'C':
            return ParseCommandComplete(conn);
        case 'E':
            return ParseError(conn);
        case 'Z':
            return SetAsyncStatus(conn, PGASYNC_IDLE);
        case 'I':
            return ParseEmptyQuery(conn);
        case 'K':
            return ParseBackendKey(conn);
        case 'P':
            // A portal name; nothing uses it.
            return ConsumedUnlessEof(pqGets(&conn->workBuffer, conn));
        case 'T':
            return ParseRowDescription(conn);
        case 'D':
        case 'B':
            return ParseRow(conn, id == 'B');
        case 'G':
            return SetAsyncStatus(conn, PGASYNC_COPY_IN);
        case 'H':
            return SetAsyncStatus(conn, PGASYNC_COPY_OUT);
        default:
            return ParseUnexpected(conn, id);
    }
}

}  // namespace

void pqParseInput2(PGconn* conn) {
    for (;;) {
        conn->inCursor = conn->inStart;
        char id;
        if (pqGetc(&id, conn))
            return;
        const Parsed2 parsed = ParseMessage2(conn, id);
        if (parsed == Parsed2::Stop)
            return;
        if (parsed == Parsed2::Consumed)
            conn->inStart = conn->inCursor;
    }
}
