// COPY ... FROM STDIN WITH (FORMAT KELVOBINARY): the rows of one KLVCPY stream
// go through the engine's appender into a table inside one transaction, so a
// malformed stream leaves nothing behind; or, decoded the same way, into an
// external stream as one batch.
#include <cctype>

#include "kelvod/engine_appender.h"
#include "kelvod/engine_errors.h"
#include "kelvod/klvcpy_decoder.h"
#include "kelvod/session.h"

namespace kelvod {

namespace {

// A COPY into a stream is held in memory until its batch is queued.
constexpr uint64_t kMaxStreamCopyBytes = 256ull << 20;

std::string Joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& p : parts) out += (out.empty() ? "" : ".") + p;
    return out;
}

}  // namespace

void Session::AbandonWrites(bool ownTransaction) {
    try {
        if (ownTransaction) {
            RunEngine(m_connection, "ROLLBACK");
        } else {
            // Rows already handed to the engine must not reach a COMMIT of the
            // caller's transaction block: a failed statement aborts the engine's
            // transaction, as it does in PostgreSQL, so only ROLLBACK remains.
            RunEngine(m_connection, "SELECT error('The transaction is aborted by a failed load.')");
        }
    } catch (...) {
    }
}

void Session::ReceiveCopyData(KlvcpyDecoder& decoder, uint64_t maxBytes) {
    uint64_t received = 0;
    for (;;) {
        auto request = m_reader.TakeRequest();
        if (!request) {
            if (!ReadMore()) throw ConnectionLost("the client left during COPY FROM STDIN");
            continue;
        }
        if (auto* copy = std::get_if<CopyMessage>(&*request)) {
            if (copy->type == 'd') {
                received += copy->data.size();
                if (received > maxBytes)
                    throw SqlError("54000", "The COPY data exceeds " + std::to_string(maxBytes) + " bytes.",
                                   "Send the rows in several smaller COPY statements.");
                decoder.Feed(copy->data.data(), copy->data.size());
                continue;
            }
            if (copy->type == 'c') {
                decoder.Finish();
                return;
            }
            throw SqlError("57014", "COPY from stdin failed: " + copy->data);
        }
        if (std::holds_alternative<TerminateMessage>(*request)) throw ConnectionLost("the client ended the session during COPY");
        // As in PostgreSQL, Flush and Sync mean nothing inside a COPY.
        if (std::holds_alternative<FlushMessage>(*request) || std::holds_alternative<SyncMessage>(*request)) continue;
        throw SqlError("08P01", "Unexpected message during COPY FROM STDIN.",
                       "Only CopyData, CopyDone and CopyFail may follow the CopyInResponse.");
    }
}

Session::LoadTarget Session::ResolveLoadTarget(const std::vector<std::string>& t) {
    // Where the table lies: temporary tables first, then the session's databases and search path.
    SessionNames names = Names();
    LoadTarget target;
    if (t.size() == 3) {
        // The alias as the engine spells it, which the catalog functions compare exactly.
        std::string database;
        for (const auto& d : m_databases)
            if (database.empty() && EqualsFolded(d, t[0])) database = d;
        if (database.empty()) throw SqlError("3F000", "The database \"" + t[0] + "\" is not attached to this session.");
        if (t[1] == kTempSchema) target = {"temp", "main", t[2]};
        else target = {database, t[1], t[2]};
    } else if (t.size() == 2) {
        if (t[0] == kTempSchema) target = {"temp", "main", t[1]};
        else if (auto db = ResolveSchema(m_connection, names, t[0])) target = {*db, t[0], t[1]};
        else throw SqlError("3F000", "The schema \"" + t[0] + "\" does not exist.");
    } else {
        auto where = ResolveTable(m_connection, names, t[0]);
        if (!where) throw SqlError("42P01", "The table \"" + t[0] + "\" does not exist.");
        if (where->second == kTempSchema) target = {"temp", "main", t[0]};
        else target = {where->first, where->second, t[0]};
    }
    return target;
}

void Session::CopyFromStdin(const CopyFromStdinCommand& command) {
    if (!m_inSimpleQuery) throw SqlError("0A000", "COPY FROM STDIN can be run only as a simple query.");
    if (auto stream = FindStream(command.target)) {
        CopyIntoStream(*stream, command);
        return;
    }
    const auto& t = command.target;
    LoadTarget target = ResolveLoadTarget(t);
    auto columnRows = QueryText(m_connection, "SELECT column_name, is_nullable FROM duckdb_columns() WHERE "
                                              "database_name = " + QuoteLiteral(target.catalog) +
                                              " AND schema_name = " + QuoteLiteral(target.schema) +
                                              " AND table_name = " + QuoteLiteral(target.table) +
                                              " ORDER BY column_index");
    if (columnRows.empty()) throw SqlError("42P01", "The table \"" + Joined(t) + "\" does not exist.");

    const bool ownTransaction = m_transaction == 'I';
    if (ownTransaction) RunEngine(m_connection, "BEGIN");
    try {
        EngineAppender appender(m_connection, target.catalog, target.schema, target.table);
        std::vector<std::pair<std::string, bool>> columns;  // name, nullable
        if (command.columns.empty()) {
            for (const auto& r : columnRows) columns.emplace_back(r[0].value_or(""), r[1] != std::string("false"));
        } else {
            for (const auto& name : command.columns) {
                const Row* found = nullptr;
                for (const auto& r : columnRows)
                    if (!found && EqualsFolded(r[0].value_or(""), name)) found = &r;
                if (!found)
                    throw SqlError("42703", "The column \"" + name + "\" of the table \"" + target.table +
                                                "\" does not exist.");
                for (const auto& c : columns)
                    if (EqualsFolded(c.first, name)) throw SqlError("42701", "The column \"" + name + "\" is named twice.");
                columns.emplace_back((*found)[0].value_or(""), (*found)[1] != std::string("false"));
                appender.AddColumn(columns.back().first);
            }
        }
        std::vector<CopyColumn> copyColumns;
        for (size_t i = 0; i < columns.size(); ++i) {
            duckdb_logical_type type = appender.ColumnType(i);
            try {
                copyColumns.push_back(DescribeCopyColumn(columns[i].first, type, columns[i].second));
            } catch (...) {
                duckdb_destroy_logical_type(&type);
                throw;
            }
            duckdb_destroy_logical_type(&type);
        }
        KlvcpyDecoder decoder(copyColumns, [&](duckdb_data_chunk& chunk) { appender.Append(chunk); });
        m_writer.CopyInResponse(static_cast<int16_t>(copyColumns.size()));
        Flush();
        ReceiveCopyData(decoder, UINT64_MAX);
        appender.Close();
        if (ownTransaction) CommitOwnTransaction();
        m_writer.CommandComplete("COPY " + std::to_string(decoder.Rows()));
    } catch (...) {
        AbandonWrites(ownTransaction);
        throw;
    }
}

void Session::CopyIntoStream(ExternalStream& stream, const CopyFromStdinCommand& command) {
    if (!command.columns.empty()) {
        bool same = command.columns.size() == stream.Columns().size();
        for (size_t i = 0; same && i < command.columns.size(); ++i)
            same = EqualsFolded(command.columns[i], stream.Columns()[i].name);
        if (!same)
            throw SqlError("0A000", "A COPY into the external stream \"" + stream.DisplayName() +
                                        "\" carries all of its columns in their order.");
    }
    auto refuse = [&](ExternalStream::PushResult r) {
        switch (r) {
        case ExternalStream::PushResult::Full:
            throw SqlError("53400", "The external stream \"" + stream.DisplayName() + "\" is full.",
                           "Send the data again once the insertion has caught up.");
        case ExternalStream::PushResult::Closed:
            throw SqlError("55000", "The external stream \"" + stream.DisplayName() + "\" is closed.");
        case ExternalStream::PushResult::Abandoned:
            throw SqlError("55000", "The external stream \"" + stream.DisplayName() + "\" is no longer read.",
                           "The statement that read it has ended; look at its error.");
        case ExternalStream::PushResult::Queued: return;
        }
    };
    // A full stream refuses the COPY before its data travels.
    refuse(stream.Admission());
    auto batch = std::make_unique<StreamBatch>();
    KlvcpyDecoder decoder(stream.Columns(), [&](duckdb_data_chunk& chunk) { batch->Add(chunk); });
    m_writer.CopyInResponse(static_cast<int16_t>(stream.Columns().size()));
    Flush();
    ReceiveCopyData(decoder, kMaxStreamCopyBytes);
    uint64_t rows = decoder.Rows();
    refuse(stream.Push(batch));
    m_writer.CommandComplete("COPY " + std::to_string(rows));
}

}  // namespace kelvod
