// See startup_packet.h.
#include "postgres/libpq/startup_packet.h"

#include <strings.h>
#include <cstdlib>
#include <cstring>

#include <new>

#include "infra/options_value.h"
#include "postgres/libpq/protocol2_startup.h"

namespace {

void AppendInt32(std::string& out, uint32_t value) {
    const char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                           static_cast<char>(value >> 8), static_cast<char>(value)};
    out.append(bytes, 4);
}

void AppendPair(std::string& out, const char* name, const char* value) {
    if (value == nullptr || value[0] == '\0')
        return;
    out.append(name).push_back('\0');
    out.append(value).push_back('\0');
}

int PortNumber(const char* port) { return port != nullptr && port[0] != '\0' ? atoi(port) : 5432; }

}  // namespace

std::string pqStartupOptions(const PGconn* conn) {
    std::string options = conn->pgoptions != nullptr ? conn->pgoptions : "";
    if (conn->session_identifier != nullptr && options.find("session_identifier=") == std::string::npos)
        options += " session_identifier=" + kelvoapi::EscapeAndQuoteOptionsValue(conn->session_identifier);
    if (conn->failedConnectionAttempts.len > 0) {
        options +=
            " failed_connection_attempts=" + kelvoapi::EscapeAndQuoteOptionsValue(conn->failedConnectionAttempts.data);
    }
    return options;
}

std::string pqBuildStartupPacket(const PGconn* conn) {
    const std::string options = pqStartupOptions(conn);
    std::string packet;
    if (PG_PROTOCOL_MAJOR(conn->pversion) < 3) {
        int length = 0;
        char* old = pqBuildStartupPacket2(const_cast<PGconn*>(conn), &length, options.c_str());
        if (old == nullptr)
            throw std::bad_alloc();
        AppendInt32(packet, static_cast<uint32_t>(length + 4));
        packet.append(old, static_cast<size_t>(length));
        free(old);
        return packet;
    }
    std::string body;
    AppendInt32(body, conn->pversion);
    AppendPair(body, "user", conn->pguser);
    AppendPair(body, "database", conn->dbName);
    AppendPair(body, "replication", conn->replication);
    AppendPair(body, "options", options.c_str());
    if (conn->send_appname)
        AppendPair(body, "application_name", conn->appname != nullptr ? conn->appname : conn->fbappname);
    AppendPair(body, "client_encoding", conn->client_encoding_initial);
    static const std::pair<const char*, const char*> environment[] = {
        {"PGDATESTYLE", "datestyle"}, {"PGTZ", "timezone"}, {"PGGEQO", "geqo"}};
    for (const auto& [variable, name] : environment) {
        const char* value = getenv(variable);
        if (value != nullptr && strcasecmp(value, "default") != 0)
            AppendPair(body, name, value);
    }
    body.push_back('\0');
    AppendInt32(packet, static_cast<uint32_t>(body.size() + 4));
    return packet + body;
}

void pqRecordFailedAttempt(PGconn* conn) {
    if (conn->whichhost < 0 || conn->whichhost >= conn->nconnhost)
        return;
    const pg_conn_host& entry = conn->connhost[conn->whichhost];
    std::string item;
    const int port = PortNumber(entry.port);
    switch (entry.type) {
        case CHT_UNIX_SOCKET:
            item = std::string(entry.host != nullptr && entry.host[0] != '\0' ? entry.host : "/tmp") + "/.s.PGSQL." +
                   std::to_string(port);
            break;
        case CHT_HOST_NAME:
            item = std::string(entry.host != nullptr ? entry.host : "") + ":" + std::to_string(port);
            break;
        case CHT_HOST_ADDRESS:
            item = std::string(entry.hostaddr != nullptr ? entry.hostaddr : "") + ":" + std::to_string(port);
            break;
    }
    if (conn->failedConnectionAttempts.len > 0)
        appendPQExpBufferChar(&conn->failedConnectionAttempts, ',');
    appendPQExpBufferStr(&conn->failedConnectionAttempts, item.c_str());
}
