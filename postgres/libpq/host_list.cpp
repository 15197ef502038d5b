// See host_list.h.
#include "postgres/libpq/host_list.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "postgres/libpq/auth.h"
#include "postgres/libpq/conninfo.h"
#include "postgres/libpq/password_file.h"
#include "postgres/mb/encoding.h"
#include "postgres/port/portability.h"

namespace {

bool IsEmpty(const char* text) { return text == nullptr || text[0] == '\0'; }

// Elements of a comma-separated list; an empty element stays an element.
std::vector<std::string> SplitList(const char* list) {
    std::vector<std::string> elements;
    std::string current;
    for (const char* p = list; *p != '\0'; ++p) {
        if (*p == ',') {
            elements.push_back(current);
            current.clear();
        } else {
            current += *p;
        }
    }
    elements.push_back(current);
    return elements;
}

bool Fail(PGconn* conn, const std::string& message) {
    conn->status = CONNECTION_BAD;
    printfPQExpBuffer(&conn->errorMessage, "%s", message.c_str());
    return false;
}

bool OutOfMemory(PGconn* conn) { return Fail(conn, "out of memory"); }

char* CopyOrNull(const std::string& text) { return strdup(text.c_str()); }

bool BuildHostList(PGconn* conn) {
    std::vector<std::string> addrs, hosts, ports;
    if (!IsEmpty(conn->pghostaddr))
        addrs = SplitList(conn->pghostaddr);
    if (!IsEmpty(conn->pghost))
        hosts = SplitList(conn->pghost);
    if (!IsEmpty(conn->pgport))
        ports = SplitList(conn->pgport);
    const size_t count = !addrs.empty() ? addrs.size() : !hosts.empty() ? hosts.size() : 1;

    if (!addrs.empty() && !hosts.empty() && hosts.size() != addrs.size()) {
        return Fail(conn, "Could not match " + std::to_string(hosts.size()) + " host names to " +
                              std::to_string(addrs.size()) + " hostaddr values.");
    }
    if (!ports.empty() && ports.size() != 1 && ports.size() != count) {
        return Fail(conn, "Could not match " + std::to_string(ports.size()) + " port numbers to " +
                              std::to_string(count) + " hosts.");
    }

    auto* entries = static_cast<pg_conn_host*>(calloc(count, sizeof(pg_conn_host)));
    if (entries == nullptr)
        return OutOfMemory(conn);
    pqReleaseConnHosts(conn);
    conn->connhost = entries;
    conn->nconnhost = static_cast<int>(count);
    conn->whichhost = 0;

    for (size_t i = 0; i < count; ++i) {
        pg_conn_host& entry = entries[i];
        if (!addrs.empty() && !(entry.hostaddr = CopyOrNull(addrs[i])))
            return OutOfMemory(conn);
        if (!hosts.empty() && !(entry.host = CopyOrNull(hosts[i])))
            return OutOfMemory(conn);
        if (!ports.empty() && !(entry.port = CopyOrNull(ports[ports.size() == 1 ? 0 : i])))
            return OutOfMemory(conn);

        if (!IsEmpty(entry.hostaddr)) {
            entry.type = CHT_HOST_ADDRESS;
        } else if (!IsEmpty(entry.host)) {
            entry.type = entry.host[0] == '/' ? CHT_UNIX_SOCKET : CHT_HOST_NAME;
        } else {
            free(entry.host);
            if (!(entry.host = strdup("/tmp")))
                return OutOfMemory(conn);
            entry.type = CHT_UNIX_SOCKET;
        }
    }
    return true;
}

bool ReplaceText(char*& field, const char* value) {
    char* copy = strdup(value);
    if (copy == nullptr)
        return false;
    free(field);
    field = copy;
    return true;
}

}  // namespace

std::string pqPasswordFilePath(const PGconn* conn) {
    if (!IsEmpty(conn->pgpassfile))
        return conn->pgpassfile;
    std::string path;
    return pqDefaultPasswordFile(path) ? path : std::string();
}

bool pqBuildHostList(PGconn* conn) {
    try {
        return BuildHostList(conn);
    } catch (const std::bad_alloc&) {
        return OutOfMemory(conn);
    }
}

bool pqCheckConnectionOptions(PGconn* conn) {
    try {
        if (!BuildHostList(conn))
            return false;

        if (IsEmpty(conn->pguser)) {
            PQExpBufferData error;
            initPQExpBuffer(&error);
            char* name = pg_fe_getauthname(&error);
            if (name == nullptr) {
                std::string text = PQExpBufferBroken(&error) ? "out of memory" : error.data;
                termPQExpBuffer(&error);
                return Fail(conn, text);
            }
            termPQExpBuffer(&error);
            free(conn->pguser);
            conn->pguser = name;
        }
        if (IsEmpty(conn->dbName) && !ReplaceText(conn->dbName, conn->pguser))
            return OutOfMemory(conn);

        if (IsEmpty(conn->pgpass)) {
            const std::string passfile = pqPasswordFilePath(conn);
            for (int i = 0; i < conn->nconnhost && !passfile.empty(); ++i) {
                pg_conn_host& entry = conn->connhost[i];
                const char* host = !IsEmpty(entry.host) ? entry.host : entry.hostaddr;
                entry.password = pqPasswordFromFile(host, entry.port, conn->dbName, conn->pguser, passfile.c_str());
            }
        }

        if (conn->sslmode != nullptr) {
            static const char* const known[] = {"disable", "allow", "prefer", "require", "verify-ca", "verify-full"};
            bool valid = false;
            for (const char* mode : known)
                valid = valid || std::strcmp(conn->sslmode, mode) == 0;
            if (!valid)
                return Fail(conn, std::string("The sslmode value \"") + conn->sslmode + "\" is invalid.");
            // There is no TLS: the modes that demand it cannot be met.
            if (conn->sslmode[0] == 'r' || conn->sslmode[0] == 'v') {
                return Fail(conn, std::string("The sslmode value \"") + conn->sslmode +
                                      "\" is invalid when SSL support is not compiled in.");
            }
        } else if (!(conn->sslmode = strdup("disable"))) {
            return OutOfMemory(conn);
        }

        if (conn->client_encoding_initial != nullptr && std::strcmp(conn->client_encoding_initial, "auto") == 0) {
            const char* name = pg_encoding_to_char(pg_get_encoding_from_locale(nullptr, true));
            if (!ReplaceText(conn->client_encoding_initial, name != nullptr ? name : ""))
                return OutOfMemory(conn);
        }

        if (conn->target_session_attrs != nullptr && std::strcmp(conn->target_session_attrs, "any") != 0 &&
            std::strcmp(conn->target_session_attrs, "read-write") != 0) {
            return Fail(
                conn, std::string("The target_session_attrs value \"") + conn->target_session_attrs + "\" is invalid.");
        }

        conn->options_valid = true;
        return true;
    } catch (const std::bad_alloc&) {
        return OutOfMemory(conn);
    }
}
