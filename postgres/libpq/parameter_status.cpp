// ParameterStatus handling. The process-wide copies are atomics because
// connections on several threads may report at once.
#include "postgres/libpq/parameter_status.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "postgres/mb/encoding.h"

namespace {

std::atomic<int> last_client_encoding{PG_SQL_ASCII};
std::atomic<bool> last_std_strings{false};

// One decimal number of a version text; values that would overflow are
// clamped, a version text is not trusted to be small.
bool readVersionNumber(const char*& p, int& out) {
    if (*p < '0' || *p > '9')
        return false;
    long value = 0;
    while (*p >= '0' && *p <= '9') {
        if (value < 10000)
            value = value * 10 + (*p - '0');
        ++p;
    }
    out = static_cast<int>(value);
    return true;
}

}  // namespace

int pqParseServerVersion(const char* value) {
    int parts[3] = {0, 0, 0};
    int count = 0;
    const char* p = value;
    while (*p == ' ')
        ++p;
    while (count < 3 && readVersionNumber(p, parts[count])) {
        ++count;
        if (*p != '.')
            break;
        ++p;
    }
    switch (count) {
        case 3:
            return (100 * parts[0] + parts[1]) * 100 + parts[2];
        case 2:
            return parts[0] >= 10 ? 100 * 100 * parts[0] + parts[1] : (100 * parts[0] + parts[1]) * 100;
        case 1:
            return 100 * 100 * parts[0];
        default:
            return 0;
    }
}

void pqSaveParameterStatus(PGconn* conn, const char* name, const char* value) {
    pgParameterStatus* prev = nullptr;
    for (pgParameterStatus* pstatus = conn->pstatus; pstatus != nullptr; pstatus = pstatus->next) {
        if (strcmp(pstatus->name, name) == 0) {
            if (prev != nullptr) {
                prev->next = pstatus->next;
            } else {
                conn->pstatus = pstatus->next;
            }
            free(pstatus);
            break;
        }
        prev = pstatus;
    }

    const size_t namelen = strlen(name) + 1;
    const size_t valuelen = strlen(value) + 1;
    auto* pstatus = static_cast<pgParameterStatus*>(malloc(sizeof(pgParameterStatus) + namelen + valuelen));
    if (pstatus != nullptr) {
        char* ptr = reinterpret_cast<char*>(pstatus + 1);
        pstatus->name = ptr;
        memcpy(ptr, name, namelen);
        ptr += namelen;
        pstatus->value = ptr;
        memcpy(ptr, value, valuelen);
        pstatus->next = conn->pstatus;
        conn->pstatus = pstatus;
    }

    if (strcmp(name, "client_encoding") == 0) {
        int encoding = pg_char_to_encoding(value);
        conn->client_encoding = encoding >= 0 ? encoding : PG_SQL_ASCII;
        last_client_encoding.exchange(conn->client_encoding);
    } else if (strcmp(name, "standard_conforming_strings") == 0) {
        conn->std_strings = strcmp(value, "on") == 0;
        last_std_strings.exchange(conn->std_strings);
    } else if (strcmp(name, "server_version") == 0) {
        conn->sversion = pqParseServerVersion(value);
    }
}

const char* PQparameterStatus(const PGconn* conn, const char* paramName) {
    if (conn == nullptr || paramName == nullptr)
        return nullptr;
    for (const pgParameterStatus* pstatus = conn->pstatus; pstatus != nullptr; pstatus = pstatus->next) {
        if (strcmp(pstatus->name, paramName) == 0)
            return pstatus->value;
    }
    return nullptr;
}

int pqLastClientEncoding() { return last_client_encoding.load(); }
bool pqLastStdStrings() { return last_std_strings.load(); }
