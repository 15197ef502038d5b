// What the server-speed programs share: a server started through the library
// with as many connections to one database as a program asks for, and a
// private PostgreSQL 15 cluster's connection as the anchor.
#pragma once

#include <libpq-fe.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "postgres_anchor.h"
#include "side_by_side.h"

namespace serverspeed {

using sidebyside::Check;
using sidebyside::ConnectToPostgres;
using sidebyside::Fail;
using sidebyside::PgCheck;

class Server {
public:
    Server() : m_dir(kelvotest::MakeTempDirectory()) {
        kelvo_parameters_t* parameters = nullptr;
        Check(kelvo_create_instance_parameters(&parameters, true), "instance parameters");
        Check(kelvo_parameters_set(parameters, "use_tcp_port", "off"), "use_tcp_port");
        Check(kelvo_parameters_set(parameters, "log_dir", m_dir.c_str()), "log_dir");
        Check(kelvo_instance_create(KELVO_SERVER_DIR, KELVO_DISABLE_TELEMETRY, parameters, &m_instance), "start");
        kelvo_parameters_destroy(parameters);
    }
    ~Server() {
        for (auto* c : m_connections)
            kelvo_disconnect(c);
        kelvo_instance_close(m_instance);
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // A new connection to the one database; the first creates it.
    kelvo_connection_t* Connect() {
        kelvo_parameters_t* parameters = nullptr;
        Check(kelvo_create_connection_parameters(m_instance, &parameters), "connection parameters");
        const std::string db = m_dir + "/bench.kelvo";
        Check(kelvo_parameters_set(parameters, "dbname", db.c_str()), "dbname");
        kelvo_connection_t* conn = nullptr;
        Check(kelvo_connect(parameters, &conn, m_connections.empty() ? KELVO_CREATE_AND_REPLACE : KELVO_DO_NOT_CREATE),
              "connect");
        kelvo_parameters_destroy(parameters);
        m_connections.push_back(conn);
        return conn;
    }
    void Disconnect(kelvo_connection_t* conn) {
        kelvo_disconnect(conn);
        m_connections.erase(std::find(m_connections.begin(), m_connections.end(), conn));
    }
    const std::string& Directory() const { return m_dir; }

private:
    std::string m_dir;
    kelvo_instance_t* m_instance = nullptr;
    std::vector<kelvo_connection_t*> m_connections;
};

// The value at `share` (0..1) of the sorted values.
inline double Percentile(std::vector<double> values, double share) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(share * static_cast<double>(values.size())))];
}

// Reads a rowset that must hold one row, and closes it.
inline void ReadOneRow(kelvo_rowset_t* rowset, const std::string& what) {
    size_t rows = 0;
    for (;;) {
        kelvo_rowset_chunk_t* chunk = nullptr;
        Check(kelvo_rowset_get_next_chunk(rowset, &chunk), "next chunk");
        if (chunk == nullptr)
            break;
        size_t cols = 0, count = 0;
        const uint8_t* const* values = nullptr;
        const size_t* sizes = nullptr;
        const int8_t* nulls = nullptr;
        Check(kelvo_rowset_chunk_field_values(chunk, &cols, &count, &values, &sizes, &nulls), "field values");
        rows += count;
        kelvo_destroy_rowset_chunk(chunk);
    }
    kelvo_close_rowset(rowset);
    if (rows != 1)
        Fail(what + " gave " + std::to_string(rows) + " rows");
}

}  // namespace serverspeed
