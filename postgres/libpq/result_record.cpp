// The result record: block storage, construction, copying, accessors and the
// client's own notices. The chunk-cutting row processor is in
// row_processor.cpp.
#include "postgres/libpq/result_record.h"

#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "postgres/libpq/connection_record.h"
#include "postgres/libpq/scoped_result.h"

namespace {

bool checkField(const PGresult* res, int field_num) {
    if (res == nullptr)
        return false;
    if (field_num < 0 || field_num >= res->numAttributes) {
        pqInternalNotice(&res->noticeHooks, "The given column number %d is not in the range 0..%d.", field_num,
                         res->numAttributes - 1);
        return false;
    }
    return true;
}

bool checkTupleField(const PGresult* res, int tup_num, int field_num) {
    if (res == nullptr)
        return false;
    if (tup_num < 0 || tup_num >= res->ntups) {
        pqInternalNotice(&res->noticeHooks, "The given row number %d is not in the range 0..%d.", tup_num,
                         res->ntups - 1);
        return false;
    }
    return checkField(res, field_num);
}

// Large result memory is written from start to end right away: one call
// maps its pages instead of one fault per 4 KiB page. Only whole pages are
// asked for; a refusal (an older kernel) changes nothing but speed.
void populate(void* start, size_t bytes) {
    static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t from = (reinterpret_cast<uintptr_t>(start) + page - 1) & ~(page - 1);
    const uintptr_t to = (reinterpret_cast<uintptr_t>(start) + bytes) & ~(page - 1);
    if (to > from)
        (void)madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
}

// Field arrays from this size on are mappings of their own, which grow by
// moving their pages (mremap) instead of copying them: a whole result of
// millions of rows would otherwise copy, and fault in, every array again at
// each doubling.
constexpr size_t kMappedArrayBytes = 1024 * 1024;

// Grows `array` (of `mapped` bytes when mapped, else from malloc) to
// `bytes`, keeping its first `used` bytes; null on failure, with the array
// as it was.
void* growFieldArray(void* array, size_t& mapped, size_t used, size_t bytes) {
    if (mapped == 0 && bytes < kMappedArrayBytes)
        return realloc(array, bytes);
    void* grown;
    if (mapped != 0) {
        grown = mremap(array, mapped, bytes, MREMAP_MAYMOVE);
    } else {
        grown = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (grown != MAP_FAILED && array != nullptr) {
            memcpy(grown, array, used);
            free(array);
        }
    }
    if (grown == MAP_FAILED)
        return nullptr;
    mapped = bytes;
    return grown;
}

void freeFieldArray(void* array, size_t mapped) {
    if (mapped != 0) {
        munmap(array, mapped);
    } else {
        free(array);
    }
}

}  // namespace

// Grows the field arrays by doubling the rows they hold; on failure returns
// false with *errmsgp set when the failure has a text of its own. An array
// that grew before another failed keeps its new size.
bool pqGrowTupleArray(PGresult* res, const char** errmsgp, int minRows) {
    int newSize;
    if (res->tupArrSize == INT_MAX) {
        *errmsgp = "PGresult cannot support more than INT_MAX tuples";
        return false;
    }
    if (res->tupArrSize == 0) {
        newSize = 128;
    } else if (res->tupArrSize > INT_MAX / 2) {
        newSize = INT_MAX;
    } else {
        newSize = res->tupArrSize * 2;
    }
    if (newSize < minRows)
        newSize = minRows;
    // Rows without columns still need an array that is not null.
    const size_t fields =
        static_cast<size_t>(newSize) * static_cast<size_t>(res->numAttributes > 0 ? res->numAttributes : 1);
    const size_t used = static_cast<size_t>(res->tupArrSize) * (fields / static_cast<size_t>(newSize));
    void* values =
        growFieldArray(res->fieldValues, res->valuesMapped, used * sizeof(uint8_t*), fields * sizeof(uint8_t*));
    if (values == nullptr)
        return false;
    res->fieldValues = static_cast<uint8_t**>(values);
    void* lengths = growFieldArray(res->fieldLengths, res->lengthsMapped, used * sizeof(int), fields * sizeof(int));
    if (lengths == nullptr)
        return false;
    res->fieldLengths = static_cast<int*>(lengths);
    // Counted as one 8-byte slot per row, whatever the arrays take.
    res->tupAllocSize += 8 * (static_cast<int64_t>(newSize) - res->tupArrSize);
    res->tupArrSize = newSize;
    return true;
}

PGresultFields pqResultFields(const PGresult* res) { return {res->fieldValues, res->fieldLengths}; }

PGresult* PQmakeEmptyPGresult(PGconn* conn, ExecStatusType status) {
    PGresult* result = static_cast<PGresult*>(malloc(sizeof(PGresult)));
    if (result == nullptr)
        return nullptr;
    memset(result, 0, sizeof(PGresult));
    result->resultStatus = status;
    result->null_field[0] = '\0';
    if (conn != nullptr) {
        result->noticeHooks = conn->noticeHooks;
        result->client_encoding = conn->client_encoding;
        switch (status) {
            case PGRES_EMPTY_QUERY:
            case PGRES_COMMAND_OK:
            case PGRES_TUPLES_OK:
            case PGRES_COPY_OUT:
            case PGRES_COPY_IN:
            case PGRES_COPY_BOTH:
            case PGRES_TUPLES_CHUNK:
                break;
            default:
                if (conn->errorMessage.len > 0)
                    pqSetResultError(result, conn->errorMessage.data);
                break;
        }
        // Event procedures are never registered in this system, so results
        // carry none (nEvents 0).
    }
    return result;
}

// Copies column descriptions (and their names) into a result that has none.
static bool copyAttributes(PGresult* res, int numAttributes, const PGresAttDesc* attDescs) {
    if (res->numAttributes > 0)
        return false;
    if (numAttributes <= 0 || attDescs == nullptr)
        return true;
    res->attDescs =
        static_cast<PGresAttDesc*>(pqResultAlloc(res, static_cast<size_t>(numAttributes) * sizeof(PGresAttDesc), true));
    if (res->attDescs == nullptr)
        return false;
    res->numAttributes = numAttributes;
    memcpy(res->attDescs, attDescs, numAttributes * sizeof(PGresAttDesc));
    res->binary = 1;
    for (int i = 0; i < numAttributes; ++i) {
        if (attDescs[i].name != nullptr) {
            res->attDescs[i].name = pqResultStrdup(res, attDescs[i].name);
        } else {
            res->attDescs[i].name = res->null_field;
        }
        if (res->attDescs[i].name == nullptr)
            return false;
        if (res->attDescs[i].format == 0)
            res->binary = 0;
    }
    return true;
}

PGresult* PQcopyResult(const PGresult* src, int flags) {
    if (src == nullptr)
        return nullptr;
    ScopedPGresult dest(PQmakeEmptyPGresult(nullptr, PGRES_TUPLES_OK));
    if (!dest)
        return nullptr;
    dest->client_encoding = src->client_encoding;
    strcpy(dest->cmdStatus, src->cmdStatus);

    if ((flags & (PG_COPYRES_ATTRS | PG_COPYRES_TUPLES)) &&
        !copyAttributes(dest.get(), src->numAttributes, src->attDescs))
        return nullptr;
    if (flags & PG_COPYRES_TUPLES) {
        for (int tup = 0; tup < src->ntups; ++tup) {
            for (int field = 0; field < src->numAttributes; ++field) {
                const size_t i = static_cast<size_t>(tup) * src->numAttributes + field;
                char* value = reinterpret_cast<char*>(src->fieldValues[i]);
                if (!PQsetvalue(dest.get(), tup, field, value, src->fieldLengths[i]))
                    return nullptr;
            }
        }
    }
    if (flags & PG_COPYRES_NOTICEHOOKS)
        dest->noticeHooks = src->noticeHooks;
    // PG_COPYRES_EVENTS: no event procedures exist to copy.
    return dest.release();
}

int PQsetvalue(PGresult* res, int tup_num, int field_num, char* value, int len) {
    if (!checkField(res, field_num))
        return 0;
    if (tup_num < 0 || tup_num > res->ntups) {
        pqInternalNotice(&res->noticeHooks, "row number %d is out of range 0..%d", tup_num, res->ntups);
        return 0;
    }
    const int nfields = res->numAttributes;
    if (tup_num == res->ntups) {
        const char* errmsg = nullptr;
        if (res->ntups >= res->tupArrSize && !pqGrowTupleArray(res, &errmsg))
            return 0;
        const size_t first = static_cast<size_t>(res->ntups) * nfields;
        for (int i = 0; i < nfields; ++i) {
            res->fieldValues[first + i] = nullptr;
            res->fieldLengths[first + i] = -1;
        }
        res->ntups++;
    }
    const size_t at = static_cast<size_t>(tup_num) * nfields + field_num;
    if (len == -1 || value == nullptr) {
        res->fieldValues[at] = nullptr;
        res->fieldLengths[at] = -1;
    } else if (len <= 0) {
        res->fieldValues[at] = reinterpret_cast<uint8_t*>(res->null_field);
        res->fieldLengths[at] = 0;
    } else {
        auto* copy = static_cast<uint8_t*>(pqResultAlloc(res, static_cast<size_t>(len) + 1, true));
        if (copy == nullptr)
            return 0;
        memcpy(copy, value, len);
        copy[len] = '\0';
        res->fieldValues[at] = copy;
        res->fieldLengths[at] = len;
    }
    return 1;
}

void* pqResultAlloc(PGresult* res, size_t nBytes, bool isBinary) {
    if (nBytes == 0)
        return res->null_field;
    if (isBinary) {
        int offset = res->curOffset % PGRESULT_ALIGN_BOUNDARY;
        if (offset) {
            res->curOffset += PGRESULT_ALIGN_BOUNDARY - offset;
            res->spaceLeft -= PGRESULT_ALIGN_BOUNDARY - offset;
        }
    }
    if (nBytes <= static_cast<size_t>(res->spaceLeft)) {
        char* space = res->curBlock->space + res->curOffset;
        res->curOffset += static_cast<int>(nBytes);
        res->spaceLeft -= static_cast<int>(nBytes);
        return space;
    }
    // A large request gets a block of its own, linked behind the current
    // block so that the current block keeps its free space.
    if (nBytes >= PGRESULT_SEP_ALLOC_THRESHOLD) {
        if (nBytes > SIZE_MAX - PGRESULT_BLOCK_OVERHEAD)
            return nullptr;
        auto* block = static_cast<PGresult_data*>(malloc(nBytes + PGRESULT_BLOCK_OVERHEAD));
        if (block == nullptr)
            return nullptr;
        char* space = block->space + PGRESULT_BLOCK_OVERHEAD;
        if (res->curBlock != nullptr) {
            block->next = res->curBlock->next;
            res->curBlock->next = block;
        } else {
            block->next = nullptr;
            res->curBlock = block;
            res->spaceLeft = 0;
        }
        return space;
    }
    const int blockSize = res->nextBlockSize > 0 ? res->nextBlockSize : PGRESULT_DATA_BLOCKSIZE;
    auto* block = static_cast<PGresult_data*>(malloc(static_cast<size_t>(blockSize)));
    if (block == nullptr)
        return nullptr;
    if (blockSize >= PGRESULT_POPULATED_BLOCKSIZE)
        populate(block, static_cast<size_t>(blockSize));
    res->nextBlockSize = blockSize < PGRESULT_DATA_BLOCKSIZE_MAX ? 2 * blockSize : blockSize;
    block->next = res->curBlock;
    res->curBlock = block;
    if (isBinary) {
        res->curOffset = PGRESULT_BLOCK_OVERHEAD;
        res->spaceLeft = blockSize - PGRESULT_BLOCK_OVERHEAD;
    } else {
        // The link is 8 bytes, so text can start right after it too.
        res->curOffset = sizeof(PGresult_data);
        res->spaceLeft = blockSize - static_cast<int>(sizeof(PGresult_data));
    }
    char* space = block->space + res->curOffset;
    res->curOffset += static_cast<int>(nBytes);
    res->spaceLeft -= static_cast<int>(nBytes);
    return space;
}

char* pqResultStrdup(PGresult* res, const char* str) {
    size_t len = strlen(str) + 1;
    char* space = static_cast<char*>(pqResultAlloc(res, len, false));
    if (space != nullptr)
        memcpy(space, str, len);
    return space;
}

void pqSetResultError(PGresult* res, const char* msg) {
    if (res == nullptr)
        return;
    res->errMsg = msg != nullptr ? pqResultStrdup(res, msg) : nullptr;
}

void pqCatenateResultError(PGresult* res, const char* msg) {
    if (res == nullptr || msg == nullptr)
        return;
    PQExpBufferData errorBuf;
    initPQExpBuffer(&errorBuf);
    if (res->errMsg != nullptr)
        appendPQExpBufferStr(&errorBuf, res->errMsg);
    appendPQExpBufferStr(&errorBuf, msg);
    if (!PQExpBufferBroken(&errorBuf))
        pqSetResultError(res, errorBuf.data);
    termPQExpBuffer(&errorBuf);
}

void pqSaveMessageField(PGresult* res, char code, const char* value) {
    size_t len = strlen(value);
    auto* pfield = static_cast<PGMessageField*>(pqResultAlloc(res, offsetof(PGMessageField, contents) + len + 1, true));
    if (pfield == nullptr)
        return;
    pfield->code = code;
    memcpy(pfield->contents, value, len + 1);
    pfield->next = res->errFields;
    res->errFields = pfield;
}

void PQclear(PGresult* res) {
    if (res == nullptr)
        return;
    free(res->events);
    PGresult_data* block = res->curBlock;
    while (block != nullptr) {
        PGresult_data* next = block->next;
        free(block);
        block = next;
    }
    freeFieldArray(res->fieldValues, res->valuesMapped);
    freeFieldArray(res->fieldLengths, res->lengthsMapped);
    free(res);
}

void PQfreemem(void* ptr) { free(ptr); }

void pqInternalNotice(const PGNoticeHooks* hooks, const char* fmt, ...) {
    if (hooks->noticeRec == nullptr)
        return;
    char msgBuf[1024];
    va_list args;
    va_start(args, fmt);
    vsnprintf(msgBuf, sizeof(msgBuf), fmt, args);
    va_end(args);

    const ScopedPGresult res(PQmakeEmptyPGresult(nullptr, PGRES_NONFATAL_ERROR));
    if (!res)
        return;
    res->noticeHooks = *hooks;
    pqSaveMessageField(res.get(), 'S', "NOTICE");
    pqSaveMessageField(res.get(), 'V', "NOTICE");
    pqSaveMessageField(res.get(), 'M', msgBuf);
    size_t len = strlen(msgBuf);
    res->errMsg = static_cast<char*>(pqResultAlloc(res.get(), len + 2, false));
    if (res->errMsg != nullptr) {
        memcpy(res->errMsg, msgBuf, len);
        res->errMsg[len] = '\n';
        res->errMsg[len + 1] = '\0';
        res->noticeHooks.noticeRec(res->noticeHooks.noticeRecArg, res.get());
    }
}

ExecStatusType PQresultStatus(const PGresult* res) { return res != nullptr ? res->resultStatus : PGRES_FATAL_ERROR; }

char* PQresultErrorMessage(const PGresult* res) {
    static char empty[1] = "";
    if (res == nullptr || res->errMsg == nullptr)
        return empty;
    return res->errMsg;
}

char* PQresultErrorField(const PGresult* res, int fieldcode) {
    if (res == nullptr)
        return nullptr;
    for (PGMessageField* pfield = res->errFields; pfield != nullptr; pfield = pfield->next) {
        if (pfield->code == fieldcode)
            return pfield->contents;
    }
    return nullptr;
}

int PQresultSize(const PGresult* res) {
    if (res == nullptr)
        return 0;
    return res->tupAllocSize > INT_MAX ? INT_MAX : static_cast<int>(res->tupAllocSize);
}

int PQntuples(const PGresult* res) { return res != nullptr ? res->ntups : 0; }
int PQnfields(const PGresult* res) { return res != nullptr ? res->numAttributes : 0; }

char* PQfname(const PGresult* res, int field_num) {
    return checkField(res, field_num) ? res->attDescs[field_num].name : nullptr;
}
Oid PQftype(const PGresult* res, int field_num) {
    return checkField(res, field_num) ? res->attDescs[field_num].typid : 0;
}
int PQfmod(const PGresult* res, int field_num) {
    return checkField(res, field_num) ? res->attDescs[field_num].atttypmod : 0;
}

char* PQcmdStatus(PGresult* res) { return res != nullptr ? res->cmdStatus : nullptr; }

char* PQcmdTuples(PGresult* res) {
    static char empty[1] = "";
    if (res == nullptr)
        return empty;
    char* p;
    if (strncmp(res->cmdStatus, "INSERT ", 7) == 0) {
        // "INSERT oid count": skip the object id and its blank.
        p = res->cmdStatus + 7;
        while (*p != '\0' && *p != ' ')
            p++;
        if (*p == '\0')
            goto interpret_error;
        p++;
    } else if (strncmp(res->cmdStatus, "SELECT ", 7) == 0 || strncmp(res->cmdStatus, "DELETE ", 7) == 0 ||
               strncmp(res->cmdStatus, "UPDATE ", 7) == 0) {
        p = res->cmdStatus + 7;
    } else if (strncmp(res->cmdStatus, "FETCH ", 6) == 0) {
        p = res->cmdStatus + 6;
    } else if (strncmp(res->cmdStatus, "MOVE ", 5) == 0 || strncmp(res->cmdStatus, "COPY ", 5) == 0) {
        p = res->cmdStatus + 5;
    } else {
        return empty;
    }
    {
        char* c = p;
        if (*c == '\0')
            goto interpret_error;
        for (; *c != '\0'; ++c) {
            if (*c < '0' || *c > '9')
                goto interpret_error;
        }
        return p;
    }
interpret_error:
    pqInternalNotice(&res->noticeHooks, "could not interpret result from server: %s", res->cmdStatus);
    return empty;
}

char* PQgetvalue(const PGresult* res, int tup_num, int field_num) {
    if (!checkTupleField(res, tup_num, field_num))
        return nullptr;
    uint8_t* value = res->fieldValues[static_cast<size_t>(tup_num) * res->numAttributes + field_num];
    return value != nullptr ? reinterpret_cast<char*>(value) : const_cast<char*>(res->null_field);
}

int PQgetlength(const PGresult* res, int tup_num, int field_num) {
    if (!checkTupleField(res, tup_num, field_num))
        return 0;
    const int len = res->fieldLengths[static_cast<size_t>(tup_num) * res->numAttributes + field_num];
    return len != -1 ? len : 0;
}

int PQgetisnull(const PGresult* res, int tup_num, int field_num) {
    if (!checkTupleField(res, tup_num, field_num))
        return 1;
    return res->fieldLengths[static_cast<size_t>(tup_num) * res->numAttributes + field_num] == -1 ? 1 : 0;
}

void pqClearAsyncResult(PGconn* conn) {
    PQclear(conn->result);
    conn->result = nullptr;
    PQclear(conn->next_result);
    conn->next_result = nullptr;
}

void pqSaveErrorResult(PGconn* conn) {
    if (conn->result != nullptr && conn->result->resultStatus == PGRES_FATAL_ERROR && conn->result->errMsg != nullptr &&
        conn->result->errMsg[0] != '\0') {
        pqCatenateResultError(conn->result, conn->errorMessage.data);
        return;
    }
    pqClearAsyncResult(conn);
    conn->result = PQmakeEmptyPGresult(conn, PGRES_FATAL_ERROR);
}

void pqSaveErrorText(PGconn* conn, const char* text) {
    printfPQExpBuffer(&conn->errorMessage, "%s", text);
    pqSaveErrorResult(conn);
}

PGresult* pqPrepareAsyncResult(PGconn* conn) {
    PGresult* res = conn->result;
    if (res == nullptr) {
        res = PQmakeEmptyPGresult(conn, PGRES_FATAL_ERROR);
    } else {
        // The connection's text always matches the last result handed out.
        resetPQExpBuffer(&conn->errorMessage);
        if (res->errMsg != nullptr)
            appendPQExpBufferStr(&conn->errorMessage, res->errMsg);
    }
    conn->result = conn->next_result;
    conn->next_result = nullptr;
    return res;
}
