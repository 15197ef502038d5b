// The library's client connection to a server this process started: the
// protocol connection, its cancel handle, the settings that query execution
// reads, the notice receiver, and the busy count that serialises statements.
// kelvo_connection_t shares it with every rowset and inserter made from it;
// the last of them to go closes it.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "api/handles.h"
#include "api/table_definition.h"
#include "error/context_id.h"
#include "error/error.h"
#include "instance/parameters.h"
#include "kelvo/connection.h"
#include "postgres/libpq/libpq_types.h"

namespace kelvoapi {

// The version text that ends the client_info value.
extern const char* const LibraryVersion;

struct PGconnDeleter {
    void operator()(PGconn* conn) const;
};
using ScopedPGconn = std::unique_ptr<PGconn, PGconnDeleter>;
struct PGcancelDeleter {
    void operator()(PGcancel* cancel) const;
};
using ScopedPGcancel = std::unique_ptr<PGcancel, PGcancelDeleter>;

class Connection;

// Marks a connection busy for as long as it lives. Leases nest: a rowset the
// bulk insertion opens on its inserter's connection leaves that connection
// busy when it closes, for the inserter still holds its own lease.
class BusyLease {
public:
    explicit BusyLease(Connection& connection);
    BusyLease(const BusyLease&) = delete;
    BusyLease& operator=(const BusyLease&) = delete;
    ~BusyLease();

private:
    Connection& m_connection;
};

// Claims a connection for the calling thread while one call sends a
// statement and, for a statement without a rowset, reads its results. Using
// one connection from two threads at once is outside the contract, but the
// loser must get 55006, not share the protocol connection: the claim and the
// busy check are one step. The same thread may claim again inside its call.
class CallClaim {
public:
    // Throws 55006 while another thread holds a claim or a lease is out.
    explicit CallClaim(Connection& connection);
    CallClaim(const CallClaim&) = delete;
    CallClaim& operator=(const CallClaim&) = delete;

private:
    std::unique_lock<std::recursive_mutex> m_lock;
};

class Connection {
public:
    static constexpr size_t default_prefetch_threshold = 268435456;

    // Logs the parameters, creates the database when `mode` asks for it, and
    // opens the protocol connection; throws kelvoapi::Error. The mode is a
    // kelvo_create_mode_t value kept as an integer: C callers may pass values
    // outside the enumeration, which are refused rather than read as one.
    Connection(const Parameters& parameters, int mode);
    // Not copied or moved: the protocol connection's notice hook points here.
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();

    // How long a cancel, a close's drain or a disconnect waits for a server
    // that sends nothing before giving it up.
    static constexpr int stalled_server_ms = 5000;

    kelvo_connection_status_t GetStatus() const;
    // Sends a cancel request for the running statement; throws on failure.
    // A server that does not act on it within stalled_server_ms fails it
    // with 08006, and a read waiting on that server (on another thread) is
    // ended: the connection is then given up.
    void Cancel();

    void SetChunkedMode(bool chunkedMode) { m_chunkedMode = chunkedMode; }
    bool GetChunkedMode() const { return m_chunkedMode; }
    void SetPrefetchThreshold(size_t threshold) { m_prefetch_threshold = threshold; }
    size_t GetPrefetchThreshold() const { return m_prefetch_threshold; }
    // A null receiver changes nothing; returns the receiver installed before.
    kelvo_notice_receiver_t SetNoticeReceiver(kelvo_notice_receiver_t receiver, void* context);

    // The busy rule: throws 55006 while a rowset or inserter uses the
    // connection, that is while it holds a BusyLease.
    void ThrowIfBusy() const;
    bool IsReady() const { return m_leases == 0; }

    // Null after Close.
    PGconn* GetPGconn() const { return m_pg_connection.get(); }

    // Detaches every database and finishes the protocol connection; errors
    // are logged, never thrown. A second call does nothing.
    void Close();
    // A second connection with the same options and the databases attached
    // since, or null when this one is closed; throws 08001 "Cloning the
    // connection failed.".
    std::unique_ptr<Connection> Clone() const;

    // The databases kelvo_attach_database attached after the connect, which a
    // clone attaches too; the server lets each session see only its own.
    void RememberAttached(std::string path, std::string alias);
    void ForgetAttached(std::string_view alias);
    // After "DETACH DATABASE *" a clone attaches none of the connect's either.
    void ForgetAllAttached();

    // Catalog questions.
    void QualifyTableName(std::string& database, std::string& schema, const std::string& table);
    std::vector<std::string> GetSchemaNames(std::string_view database);
    std::vector<std::string> GetTableNames(std::string_view database, std::string_view schema);
    bool HasTable(std::string_view database, std::string_view schema, std::string_view table);
    std::unique_ptr<TableDefinition> GetTableDefinition(std::string_view database, std::string_view schema,
                                                        std::string_view table);

    static void HandleCreationMode(const Parameters& parameters, int mode);
    static void NoticeReceiver(void* connection, const PGresult* notice);

    // While alive, reads of the connection wait for the server no longer
    // than stalled_server_ms between bytes.
    class StalledServerLimit {
    public:
        explicit StalledServerLimit(Connection& connection);
        StalledServerLimit(const StalledServerLimit&) = delete;
        StalledServerLimit& operator=(const StalledServerLimit&) = delete;
        ~StalledServerLimit();

    private:
        PGconn* m_conn;
    };

private:
    ScopedPGconn m_pg_connection;
    // An eventfd that ends the protocol connection's waits: see Cancel.
    int m_interrupt = -1;
    ScopedPGcancel m_pg_cancel;
    bool m_chunkedMode = true;
    size_t m_prefetch_threshold = default_prefetch_threshold;
    // The receiver may be replaced from another thread while results are
    // read; the pair is read and written together under this mutex.
    mutable std::mutex m_noticeMutex;
    kelvo_notice_receiver_t m_noticeReceiver = nullptr;
    void* m_context = nullptr;
    friend class BusyLease;
    friend class CallClaim;
    // A lease may be returned (a rowset closed) while another thread checks.
    std::atomic<size_t> m_leases{0};
    std::recursive_mutex m_callMutex;
    struct Attached {
        std::string path;
        std::string alias;
    };
    std::vector<Attached> m_attached;
    bool m_detachedAll = false;
};

// An error from the protocol connection's current error text.
Error MakeError(const PGconn* connection, ContextId contextId);

// Asks whether a server answers at the parameters' endpoint.
PGPing Ping(const Parameters& parameters);

}  // namespace kelvoapi

struct kelvo_connection_t : kelvo_external_ptr<kelvoapi::Connection> {
    using kelvo_external_ptr<kelvoapi::Connection>::kelvo_external_ptr;
};
