// Run a statement's input through the parser as a caller's result loop would, without a socket.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "postgres/libpq/protocol3_parser.h"
#include "postgres/libpq/result_record.h"
#include "support/connected_record.h"

namespace kelvotest {

// Collects the texts of the notices a record or a result raises.
struct Notices {
    std::vector<std::string> texts;
    static void Receive(void* arg, const PGresult* res) {
        static_cast<Notices*>(arg)->texts.push_back(PQresultErrorMessage(res));
    }
    void Install(PGNoticeHooks& hooks) {
        hooks.noticeRec = Receive;
        hooks.noticeRecArg = this;
    }
};

// Marks a statement as sent (as a sending function would).
inline void BeginStatement(PGconn* conn, uint32_t chunkSize = 0, PGQueryClass queryclass = PGQUERY_SIMPLE,
                           const char* query = nullptr) {
    pqClearAsyncResult(conn);
    resetPQExpBuffer(&conn->errorMessage);
    conn->asyncStatus = PGASYNC_BUSY;
    conn->queryclass = queryclass;
    conn->result_chunk_size = chunkSize;
    free(conn->last_query);
    conn->last_query = query != nullptr ? strdup(query) : nullptr;
}

// Parses what is buffered and takes every ready result, as PQgetResult would, until the statement ends or more input is
// needed.
inline std::vector<ResultPtr> TakeResults(PGconn* conn, void (*parse)(PGconn*) = pqParseInput3) {
    std::vector<ResultPtr> out;
    for (;;) {
        parse(conn);
        if (conn->asyncStatus != PGASYNC_READY)
            return out;
        out.emplace_back(pqPrepareAsyncResult(conn));
        conn->asyncStatus = PGASYNC_BUSY;
    }
}

// A fresh record that has sent a statement and read all of `input`; the results it gave.
inline std::vector<ResultPtr> RunStatement(ConnPtr& conn, const std::string& input, uint32_t chunkSize = 0,
                                           PGQueryClass queryclass = PGQUERY_SIMPLE, const char* query = nullptr) {
    conn = MakeDetachedRecord();
    BeginStatement(conn.get(), chunkSize, queryclass, query);
    FeedInput(conn.get(), input);
    return TakeResults(conn.get());
}

// A compact picture of results: "status:ntups[:tag]" each.
inline std::vector<std::string> Describe(const std::vector<ResultPtr>& results) {
    std::vector<std::string> out;
    for (const ResultPtr& r : results) {
        std::string d = std::to_string(PQresultStatus(r.get())) + ":" + std::to_string(PQntuples(r.get()));
        if (PQcmdStatus(r.get())[0] != '\0')
            d += std::string(":") + PQcmdStatus(r.get());
        out.push_back(d);
    }
    return out;
}

// Every status, tag and value of results, or empty when one of them is an error.
inline std::string DescribeWhole(const std::vector<ResultPtr>& results) {
    std::string out;
    for (const ResultPtr& r : results) {
        if (PQresultStatus(r.get()) == PGRES_FATAL_ERROR || PQresultStatus(r.get()) == PGRES_NONFATAL_ERROR)
            return {};
        out += std::to_string(PQresultStatus(r.get())) + ":" + PQcmdStatus(r.get()) + ":|";
        for (int row = 0; row < PQntuples(r.get()); ++row)
            for (int col = 0; col < PQnfields(r.get()); ++col)
                out += PQgetisnull(r.get(), row, col)
                           ? std::string("-,")
                           : std::string(PQgetvalue(r.get(), row, col), PQgetlength(r.get(), row, col)) + ",";
        out += "|";
    }
    return out;
}

}  // namespace kelvotest
