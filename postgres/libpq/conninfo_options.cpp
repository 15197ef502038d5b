// The option table and the option arrays built from it: a fresh array, finding
// and storing values, copying them into a connection and out of it
// (PQconninfo), and PQconninfoFree. The parsers and the defaults build on
// this file; the entry points that run them are in conninfo_entry_points.cpp.
#include "postgres/libpq/conninfo.h"

#include "error/tagged_text.h"
#include "postgres/libpq/connection_record.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace {

struct OptionRow {
    const char* keyword;
    const char* envvar;
    const char* compiled;
    const char* label;
    const char* dispchar;
    int dispsize;
    char* pg_conn::*field;  // where a connection keeps the value; none for authtype and service
};

// The order is the order PQconninfo reports and the order defaults are applied.
constexpr OptionRow PQconninfoOptions[kConninfoOptionCount] = {
    {"authtype", "PGAUTHTYPE", "", "Database-Authtype", "D", 20, nullptr},
    {"service", "PGSERVICE", nullptr, "Database-Service", "", 20, nullptr},
    {"user", "PGUSER", nullptr, "Database-User", "", 20, &pg_conn::pguser},
    {"password", "PGPASSWORD", nullptr, "Database-Password", "*", 20, &pg_conn::pgpass},
    {"passfile", "PGPASSFILE", nullptr, "Database-Password-File", "", 64, &pg_conn::pgpassfile},
    {"connect_timeout", "PGCONNECT_TIMEOUT", nullptr, "Connect-timeout", "", 10, &pg_conn::connect_timeout},
    {"dbname", "PGDATABASE", nullptr, "Database-Name", "", 20, &pg_conn::dbName},
    {"host", "PGHOST", nullptr, "Database-Host", "", 40, &pg_conn::pghost},
    {"hostaddr", "PGHOSTADDR", nullptr, "Database-Host-IP-Address", "", 45, &pg_conn::pghostaddr},
    {"port", "PGPORT", "5432", "Database-Port", "", 6, &pg_conn::pgport},
    {"client_encoding", "PGCLIENTENCODING", nullptr, "Client-Encoding", "", 10, &pg_conn::client_encoding_initial},
    {"tty", "PGTTY", "", "Backend-Debug-TTY", "D", 40, &pg_conn::pgtty},
    {"options", "PGOPTIONS", "", "Backend-Debug-Options", "D", 40, &pg_conn::pgoptions},
    {"application_name", "PGAPPNAME", nullptr, "Application-Name", "", 64, &pg_conn::appname},
    {"fallback_application_name", nullptr, nullptr, "Fallback-Application-Name", "", 64, &pg_conn::fbappname},
    {"keepalives", nullptr, nullptr, "TCP-Keepalives", "", 1, &pg_conn::keepalives},
    {"keepalives_idle", nullptr, nullptr, "TCP-Keepalives-Idle", "", 10, &pg_conn::keepalives_idle},
    {"keepalives_interval", nullptr, nullptr, "TCP-Keepalives-Interval", "", 10, &pg_conn::keepalives_interval},
    {"keepalives_count", nullptr, nullptr, "TCP-Keepalives-Count", "", 10, &pg_conn::keepalives_count},
    {"sslmode", "PGSSLMODE", "disable", "SSL-Mode", "", 12, &pg_conn::sslmode},
    {"sslcompression", "PGSSLCOMPRESSION", "0", "SSL-Compression", "", 1, &pg_conn::sslcompression},
    {"sslcert", "PGSSLCERT", nullptr, "SSL-Client-Cert", "", 64, &pg_conn::sslcert},
    {"sslkey", "PGSSLKEY", nullptr, "SSL-Client-Key", "", 64, &pg_conn::sslkey},
    {"sslrootcert", "PGSSLROOTCERT", nullptr, "SSL-Root-Certificate", "", 64, &pg_conn::sslrootcert},
    {"sslcrl", "PGSSLCRL", nullptr, "SSL-Revocation-List", "", 64, &pg_conn::sslcrl},
    {"requirepeer", "PGREQUIREPEER", nullptr, "Require-Peer", "", 10, &pg_conn::requirepeer},
    {"replication", nullptr, nullptr, "Replication", "D", 5, &pg_conn::replication},
    {"target_session_attrs", "PGTARGETSESSIONATTRS", "any", "Target-Session-Attrs", "", 11,
     &pg_conn::target_session_attrs},
};

// A malloc'd copy, or null for null; throws when memory runs out so that a
// half-built array is freed by its owner.
char* CopyText(const char* text) {
    if (text == nullptr)
        return nullptr;
    char* copy = strdup(text);
    if (copy == nullptr)
        throw std::bad_alloc();
    return copy;
}

}  // namespace

void PQconninfoFree(PQconninfoOption* connOptions) {
    if (connOptions == nullptr)
        return;
    for (PQconninfoOption* option = connOptions; option->keyword != nullptr; ++option) {
        free(option->keyword);
        free(option->envvar);
        free(option->compiled);
        free(option->val);
        free(option->label);
        free(option->dispchar);
    }
    free(connOptions);
}

ConninfoOptions pqConninfoInit() {
    // One extra, zeroed entry ends the array.
    auto* raw = static_cast<PQconninfoOption*>(calloc(kConninfoOptionCount + 1, sizeof(PQconninfoOption)));
    if (raw == nullptr)
        throw std::bad_alloc();
    ConninfoOptions options(raw);
    for (int i = 0; i < kConninfoOptionCount; ++i) {
        const OptionRow& row = PQconninfoOptions[i];
        PQconninfoOption& option = options[i];
        // Fill keyword first: PQconninfoFree stops at the first entry without
        // one, so an entry whose later copies fail must already be reachable.
        option.keyword = CopyText(row.keyword);
        option.envvar = CopyText(row.envvar);
        option.compiled = CopyText(row.compiled);
        option.label = CopyText(row.label);
        option.dispchar = CopyText(row.dispchar);
        option.dispsize = row.dispsize;
    }
    return options;
}

PQconninfoOption* pqConninfoFind(PQconninfoOption* options, const char* keyword) {
    for (PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
        if (std::strcmp(option->keyword, keyword) == 0)
            return option;
    }
    return nullptr;
}

const char* pqConninfoValue(const PQconninfoOption* options, const char* keyword) {
    for (const PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
        if (std::strcmp(option->keyword, keyword) == 0)
            return option->val;
    }
    return nullptr;
}

bool pqConninfoStore(PQconninfoOption* options, const char* keyword, const char* value, std::string& errorMessage) {
    PQconninfoOption* option = pqConninfoFind(options, keyword);
    if (option == nullptr) {
        errorMessage = kelvoapi::TaggedText()
                           .Sqlstate("22023")
                           .Primary("The connection option \"%s\" is invalid.", keyword)
                           .c_str();
        return false;
    }
    char* copy = CopyText(value);
    free(option->val);
    option->val = copy;
    return true;
}

bool pqGetHomeDirectory(std::string& home) {
    struct passwd pw;
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr || pw.pw_dir == nullptr)
        return false;
    home = pw.pw_dir;
    return true;
}

bool pqConninfoToConnection(PGconn* conn, const PQconninfoOption* options) {
    for (int i = 0; i < kConninfoOptionCount; ++i) {
        char* pg_conn::*field = PQconninfoOptions[i].field;
        if (field == nullptr || options[i].val == nullptr)
            continue;
        char* copy = strdup(options[i].val);
        if (copy == nullptr)
            return false;
        char*& target = conn->*field;
        if (target != nullptr && field == &pg_conn::pgpass)
            memset(target, 0, std::strlen(target));
        free(target);
        target = copy;
    }
    return true;
}

PQconninfoOption* PQconninfo(PGconn* conn) {
    if (conn == nullptr)
        return nullptr;
    try {
        ConninfoOptions options = pqConninfoInit();
        for (int i = 0; i < kConninfoOptionCount; ++i) {
            char* pg_conn::*field = PQconninfoOptions[i].field;
            if (field != nullptr)
                options[i].val = CopyText(conn->*field);
        }
        return options.release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
