// The result record (struct pg_result): one answer of the server or one chunk
// of rows, its block storage, its accessors, and the functions that build and
// copy results. A result holds no reference to its connection: it carries its
// own copy of the notice hooks and stays valid after the connection is gone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "postgres/libpq/libpq_types.h"

typedef struct pgresParamDesc {
    Oid typid;
} PGresParamDesc;

// One error or notice field; contents follow the record in the same block.
typedef struct pgMessageField {
    struct pgMessageField* next;
    char code;
    char contents[1];
} PGMessageField;

// A storage block; its data follows the 8-byte link.
typedef union pgresult_data PGresult_data;
union pgresult_data {
    PGresult_data* next;
    char space[1];
};

#define CMDSTATUS_LEN 64
#define PGRESULT_DATA_BLOCKSIZE 2048
// Blocks double up to this size, so that a large result takes few
// allocations while a small one stays small. Blocks from this size on are
// mapped in one call as they are made.
#define PGRESULT_DATA_BLOCKSIZE_MAX (1024 * 1024)
#define PGRESULT_POPULATED_BLOCKSIZE (256 * 1024)
#define PGRESULT_ALIGN_BOUNDARY 8
#define PGRESULT_BLOCK_OVERHEAD 8
#define PGRESULT_SEP_ALLOC_THRESHOLD (PGRESULT_DATA_BLOCKSIZE / 2)

// PQcopyResult flags.
#define PG_COPYRES_ATTRS 0x01
#define PG_COPYRES_TUPLES 0x02
#define PG_COPYRES_EVENTS 0x04
#define PG_COPYRES_NOTICEHOOKS 0x08

struct pg_result {
    int ntups;
    int numAttributes;
    PGresAttDesc* attDescs;
    // The fields of the rows, row-major (row r, column c at
    // r * numAttributes + c), with room for tupArrSize rows: where each
    // value starts (NUL-terminated after its length) and its length; NULL
    // is a null value of length -1.
    uint8_t** fieldValues;
    int* fieldLengths;
    // Bytes of each array when it is a mapping of its own; 0 when it came
    // from malloc.
    size_t valuesMapped;
    size_t lengthsMapped;
    int tupArrSize;
    // Bytes held by the rows: 8 per row-array slot, 16 per field and
    // length + 1 per non-NULL value. Kept in 64 bits so it cannot wrap;
    // PQresultSize saturates it to INT_MAX.
    int64_t tupAllocSize;
    int numParameters;
    PGresParamDesc* paramDescs;
    ExecStatusType resultStatus;
    char cmdStatus[CMDSTATUS_LEN];
    int binary;
    PGNoticeHooks noticeHooks;
    PGEvent* events;
    int nEvents;
    int client_encoding;
    char* errMsg;
    PGMessageField* errFields;
    char* errQuery;
    char null_field[1];
    PGresult_data* curBlock;
    int curOffset;
    int spaceLeft;
    int nextBlockSize;  // 0 until the first block: then doubling to PGRESULT_DATA_BLOCKSIZE_MAX
};

// Construction, copying, freeing.
PGresult* PQmakeEmptyPGresult(PGconn* conn, ExecStatusType status);
PGresult* PQcopyResult(const PGresult* src, int flags);
int PQsetvalue(PGresult* res, int tup_num, int field_num, char* value, int len);
void PQclear(PGresult* res);
void PQfreemem(void* ptr);

// Accessors; a null result or a bad index gives the neutral value and a
// notice to the result's receiver.
ExecStatusType PQresultStatus(const PGresult* res);
char* PQresultErrorMessage(const PGresult* res);
char* PQresultErrorField(const PGresult* res, int fieldcode);
int PQresultSize(const PGresult* res);
int PQntuples(const PGresult* res);
int PQnfields(const PGresult* res);
char* PQfname(const PGresult* res, int field_num);
Oid PQftype(const PGresult* res, int field_num);
int PQfmod(const PGresult* res, int field_num);
char* PQcmdStatus(PGresult* res);
char* PQcmdTuples(PGresult* res);
char* PQgetvalue(const PGresult* res, int tup_num, int field_num);
int PQgetlength(const PGresult* res, int tup_num, int field_num);
int PQgetisnull(const PGresult* res, int tup_num, int field_num);

// Storage inside a result: aligned for binary data, unaligned for text. A
// request of 0 bytes returns null_field. Null when memory runs out.
void* pqResultAlloc(PGresult* res, size_t nBytes, bool isBinary);
char* pqResultStrdup(PGresult* res, const char* str);
void pqSetResultError(PGresult* res, const char* msg);
void pqCatenateResultError(PGresult* res, const char* msg);
void pqSaveMessageField(PGresult* res, char code, const char* value);

// A client-side notice ("NOTICE", untagged) to the hooks' receiver, if any.
void pqInternalNotice(const PGNoticeHooks* hooks, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Doubles the rows the field arrays hold (128 at first, or `minRows` when
// that is more), counting 8 bytes per row in tupAllocSize. False on failure,
// with *errmsgp set when the failure has a text of its own.
bool pqGrowTupleArray(PGresult* res, const char** errmsgp, int minRows = 0);

// Stores the row in conn->rowBuf into the current result or chunk, cutting
// chunks of conn->result_chunk_size rows. 1 on success; 0 on failure with
// *errmsgp set to a text, or left null for "out of memory".
int pqRowProcessor(PGconn* conn, const char** errmsgp);

// Stores a DataRow's fields (the `length` bytes after its field count, which
// already matched the row description) as pqRowProcessor does: the bytes are
// copied into the result once and checked while the fields are located.
// Returns 1 or 0 as pqRowProcessor does, or one of these for a malformed row
// (nothing stored):
enum { PQ_ROW_TRUNCATED = -1, PQ_ROW_BAD_LENGTH = -2, PQ_ROW_EXTRANEOUS = -3 };
int pqStoreDataRow(PGconn* conn, const char* fields, int length, const char** errmsgp);

// The field arrays of a result, row-major (PQntuples * PQnfields entries),
// valid while the result lives: what a reader of rows takes as the parser
// left it instead of asking PQgetisnull, PQgetlength and PQgetvalue per
// field.
struct PGresultFields {
    const uint8_t* const* values;  // null for NULL
    const int* lengths;            // -1 for NULL
};
PGresultFields pqResultFields(const PGresult* res);

// The connection's pending results.
void pqClearAsyncResult(PGconn* conn);
// Turns the connection's errorMessage into the current error result: appended
// to a current fatal-error result that has text, else replacing the pending
// results.
void pqSaveErrorResult(PGconn* conn);
// Sets errorMessage to `text` and saves it as pqSaveErrorResult does.
void pqSaveErrorText(PGconn* conn, const char* text);
// Takes the current result for handing out, putting the chunk template back
// as the current one.
PGresult* pqPrepareAsyncResult(PGconn* conn);
