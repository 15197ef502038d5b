// One owner type per engine handle the server keeps: the engine (database)
// itself, connections, prepared statements, pending and materialised results,
// data chunks, logical types, values, error data, table functions and client
// contexts free themselves on every path, thrown errors included.
#pragma once

#include <utility>

#include "duckdb.h"

namespace kelvod {

// Owns a handle that the engine frees through `Destroy(&handle)`.
template <typename Handle, void (*Destroy)(Handle*)>
class EngineHandle {
public:
    EngineHandle() = default;
    explicit EngineHandle(Handle handle) : m_handle(handle) {}
    ~EngineHandle() { Reset(); }
    EngineHandle(EngineHandle&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
    EngineHandle& operator=(EngineHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            m_handle = std::exchange(other.m_handle, nullptr);
        }
        return *this;
    }
    EngineHandle(const EngineHandle&) = delete;
    EngineHandle& operator=(const EngineHandle&) = delete;

    Handle Get() const { return m_handle; }
    // Where the engine writes a new handle; the old one is freed first.
    Handle* Out() {
        Reset();
        return &m_handle;
    }
    explicit operator bool() const { return m_handle != nullptr; }
    void Reset() {
        if (m_handle)
            Destroy(&m_handle);
        m_handle = nullptr;
    }
    // Gives the handle up without freeing it: the engine keeps what it holds.
    Handle Release() { return std::exchange(m_handle, nullptr); }

private:
    Handle m_handle = nullptr;
};

using DatabaseHandle = EngineHandle<duckdb_database, duckdb_close>;
using ConnectionHandle = EngineHandle<duckdb_connection, duckdb_disconnect>;

using PreparedStatementHandle = EngineHandle<duckdb_prepared_statement, duckdb_destroy_prepare>;
using PendingResultHandle = EngineHandle<duckdb_pending_result, duckdb_destroy_pending>;
using DataChunkHandle = EngineHandle<duckdb_data_chunk, duckdb_destroy_data_chunk>;
using LogicalTypeHandle = EngineHandle<duckdb_logical_type, duckdb_destroy_logical_type>;
using ValueHandle = EngineHandle<duckdb_value, duckdb_destroy_value>;
using ErrorDataHandle = EngineHandle<duckdb_error_data, duckdb_destroy_error_data>;
using TableFunctionHandle = EngineHandle<duckdb_table_function, duckdb_destroy_table_function>;
using ClientContextHandle = EngineHandle<duckdb_client_context, duckdb_destroy_client_context>;

// A result the engine filled in; the engine frees its contents even after a failure.
class ResultHandle {
public:
    ResultHandle() = default;
    ~ResultHandle() { Reset(); }
    ResultHandle(const ResultHandle&) = delete;
    ResultHandle& operator=(const ResultHandle&) = delete;

    duckdb_result& Get() { return m_result; }
    duckdb_result* Out() {
        Reset();
        m_filled = true;
        return &m_result;
    }
    void Reset() {
        if (m_filled)
            duckdb_destroy_result(&m_result);
        m_filled = false;
        m_result = duckdb_result{};
    }

private:
    duckdb_result m_result{};
    bool m_filled = false;
};

}  // namespace kelvod
