// The statement runner: classifies a statement, rewrites it for the engine,
// runs it and encodes its result in one pass, or hands it to the database
// commands and the loader.
#include "kelvod/session.h"

#include <algorithm>
#include <cstring>

#include "kelvod/chunk_prefetcher.h"
#include "kelvod/engine_errors.h"
#include "kelvod/scoped_value.h"
#include "kelvod/statement_tokens.h"
#include "kelvod/value_encoding.h"

namespace kelvod {

namespace {

constexpr size_t kRowsFlushThreshold = 512 * 1024;

std::string ChangedRowsTag(duckdb_statement_type type, const std::string& fallback, int64_t count) {
    switch (type) {
        case DUCKDB_STATEMENT_TYPE_INSERT:
            return "INSERT 0 " + std::to_string(count);
        case DUCKDB_STATEMENT_TYPE_UPDATE:
            return "UPDATE " + std::to_string(count);
        case DUCKDB_STATEMENT_TYPE_DELETE:
            return "DELETE " + std::to_string(count);
        default:
            return fallback + " " + std::to_string(count);
    }
}

bool ChangesRows(duckdb_statement_type type) {
    return type == DUCKDB_STATEMENT_TYPE_INSERT || type == DUCKDB_STATEMENT_TYPE_UPDATE ||
           type == DUCKDB_STATEMENT_TYPE_DELETE;
}

}  // namespace

void Session::RunStatement(const Statement& statement, const std::vector<int16_t>& formats, bool sendDescription,
                           const std::vector<std::optional<std::string>>& params, PreparedStatement* prepared) {
    Command command = prepared ? prepared->command : ClassifyStatement(statement);
    if (m_transaction == kFailedBlock) {
        // Whatever failed, the block's earlier writes must not be committed: the
        // engine keeps its transaction alive after some errors, so it is ended here.
        std::string tag = CommandTagFor(statement);
        if (tag != "COMMIT" && tag != "ROLLBACK")
            throw SqlError("25P02", "current transaction is aborted, commands ignored until end of transaction block");
        try {
            RunEngine(m_connection, "ROLLBACK");
        } catch (const SqlError& e) {
            // A failed COMMIT has ended the engine's transaction already.
            if (std::string_view(e.what()).find("no transaction is active") == std::string_view::npos)
                throw;
        }
        m_transaction = kIdle;
        m_writer.CommandComplete("ROLLBACK");
        return;
    }
    if (std::holds_alternative<EngineStatement>(command)) {
        if (InterceptEngineStatement(statement, formats, sendDescription, params))
            return;
        if (prepared)
            return RunEngineStatement(statement, CurrentPlan(*prepared), formats, sendDescription, params);
        EnginePlan plan = PlanFor(statement);
        return RunEngineStatement(statement, plan, formats, sendDescription, params);
    }
    // What the server runs itself may change the names a rewrite resolves.
    ++m_namesGeneration;
    std::visit(
        [&](auto& c) {
            using T = std::decay_t<decltype(c)>;
            if constexpr (std::is_same_v<T, EngineStatement>) {
            } else if constexpr (std::is_same_v<T, CreateDatabaseCommand>) {
                CreateDatabase(c.path, c.ifNotExists);
                m_writer.CommandComplete("CREATE DATABASE");
            } else if constexpr (std::is_same_v<T, DropDatabaseCommand>) {
                DropDatabase(c.path, c.ifExists);
                m_writer.CommandComplete("DROP DATABASE");
            } else if constexpr (std::is_same_v<T, AttachDatabaseCommand>) {
                Attach(c.path, c.alias);
                m_writer.CommandComplete("ATTACH DATABASE");
            } else if constexpr (std::is_same_v<T, DetachDatabaseCommand>) {
                if (c.all)
                    DetachAll();
                else
                    Detach(c.alias);
                m_writer.CommandComplete("DETACH DATABASE");
            } else if constexpr (std::is_same_v<T, CreateSchemaCommand>) {
                CreateSchema(c.database, c.schema, c.ifNotExists);
                m_writer.CommandComplete("CREATE SCHEMA");
            } else if constexpr (std::is_same_v<T, CreateTableCommand>) {
                CreateTable(c);
                m_writer.CommandComplete("CREATE TABLE");
            } else if constexpr (std::is_same_v<T, ShowCommand>) {
                if (sendDescription)
                    m_writer.RowDescription({{c.name, 25, -1, -1, FormatFor(formats, 0)}});
                Show(c.name);
            } else if constexpr (std::is_same_v<T, SetCommand>) {
                Set(c.name, c.value);
                m_writer.CommandComplete("SET");
            } else if constexpr (std::is_same_v<T, CopyToStdoutCommand>) {
                CopyToStdout(c.query, c.binary);
            } else if constexpr (std::is_same_v<T, CopyFromStdinCommand>) {
                CopyFromStdin(c);
            } else if constexpr (std::is_same_v<T, CreateStreamCommand>) {
                CreateStream(c);
                m_writer.CommandComplete("CREATE EXTERNAL STREAM");
            } else if constexpr (std::is_same_v<T, CloseStreamCommand>) {
                CloseStream(c);
                m_writer.CommandComplete("CLOSE EXTERNAL STREAM");
            } else if constexpr (std::is_same_v<T, DropStreamCommand>) {
                DropStream(c);
                m_writer.CommandComplete("DROP EXTERNAL STREAM");
            } else if constexpr (std::is_same_v<T, InsertBulkCommand>) {
                InsertBulk(c);
            } else if constexpr (std::is_same_v<T, RefusedCommand>) {
                throw SqlError(c.sqlstate, c.message);
            }
        },
        command);
}

void Session::RunEngineStatement(const Statement& statement, EnginePlan& plan, const std::vector<int16_t>& formats,
                                 bool sendDescription, const std::vector<std::optional<std::string>>& params) {
    RunningStatement running(*this);
    BindTextParameters(plan, params);
    duckdb_statement_type type = plan.type;
    PendingResultHandle pending;
    if (duckdb_pending_prepared_streaming(plan.prepared.Get(), pending.Out()) == DuckDBError) {
        const char* error = duckdb_pending_error(pending.Get());
        ErrorFields e = EngineErrorFields(error ? error : "");
        throw SqlError(e.sqlstate, e.message, e.hint);
    }
    ResultHandle result;
    duckdb_state state = duckdb_execute_pending(pending.Get(), result.Out());
    pending.Reset();
    if (state == DuckDBError) {
        ThrowIfCancelled();
        ErrorFields e = EngineErrorFields(duckdb_result_error(&result.Get()));
        SqlError error(e.sqlstate, e.message, e.hint);
        if (CommandTagFor(statement) == "COMMIT" && CommittedDespite(error)) {
            ErrorFields warning = e;
            warning.severity = "WARNING";
            m_writer.Notice(warning);
            m_transaction = kIdle;
            m_writer.CommandComplete("COMMIT");
            RecoverInvalidated(error);
            return;
        }
        throw error;
    }
    ThrowIfCancelled();
    std::string tag = CommandTagFor(statement);
    if (tag == "BEGIN")
        m_transaction = kInBlock;
    else if (tag == "COMMIT" || tag == "ROLLBACK")
        m_transaction = kIdle;
    // After these the names in a prepared statement may mean other tables.
    else if (tag == "USE" || tag == "SET" || tag == "RESET")
        ++m_namesGeneration;  // names may resolve elsewhere now

    duckdb_result_type returned = duckdb_result_return_type(result.Get());
    if (returned == DUCKDB_RESULT_TYPE_CHANGED_ROWS) {
        int64_t count = 0;
        DataChunkHandle chunk(duckdb_fetch_chunk(result.Get()));
        if (chunk && duckdb_data_chunk_get_size(chunk.Get()) > 0) {
            duckdb_vector v = duckdb_data_chunk_get_vector(chunk.Get(), 0);
            std::memcpy(&count, duckdb_vector_get_data(v), sizeof count);
        }
        m_writer.CommandComplete(ChangedRowsTag(type, tag, count));
        return;
    }
    if (returned != DUCKDB_RESULT_TYPE_QUERY_RESULT) {
        if (m_copy)
            throw SqlError("0A000", "COPY TO STDOUT needs a query that returns rows.");
        m_writer.CommandComplete(tag);
        return;
    }
    uint64_t rows = SendRows(result.Get(), formats, sendDescription);
    if (m_copy) {
        m_writer.CopyDone();
        m_writer.CommandComplete("COPY " + std::to_string(rows));
        return;
    }
    if (type == DUCKDB_STATEMENT_TYPE_SELECT)
        m_writer.CommandComplete("SELECT " + std::to_string(rows));
    else if (ChangesRows(type))
        m_writer.CommandComplete(ChangedRowsTag(type, tag, static_cast<int64_t>(rows)));
    else
        m_writer.CommandComplete(tag);
}

void Session::RunEngineStatement(const Statement& statement, const std::string& text,
                                 const std::vector<int16_t>& formats, bool sendDescription,
                                 const std::vector<std::optional<std::string>>& params) {
    EnginePlan plan = PrepareEnginePlan(m_connection, statement, text, m_namesGeneration);
    RunEngineStatement(statement, plan, formats, sendDescription, params);
}

uint64_t Session::SendRows(duckdb_result& result, const std::vector<int16_t>& formats, bool sendDescription) {
    idx_t columns = duckdb_column_count(&result);
    if (formats.size() > 1 && formats.size() != columns)
        throw SqlError("08P01", "The Bind message has " + std::to_string(formats.size()) +
                                    " result formats but the query has " + std::to_string(columns) + " columns.");
    std::vector<ColumnEncoder> encoders;
    std::vector<ColumnDescription> descriptions;
    std::vector<int16_t> columnFormats;
    for (idx_t i = 0; i < columns; ++i) {
        LogicalTypeHandle type(duckdb_column_logical_type(&result, i));
        encoders.emplace_back(type.Get(), ExtraFloatDigits());
        columnFormats.push_back(FormatFor(formats, i));
        const char* name = duckdb_column_name(&result, i);
        descriptions.push_back(encoders.back().Describe(name ? name : "?column?", columnFormats.back()));
    }
    if (m_copy) {
        m_writer.CopyOutResponse(m_copy->binary, static_cast<int16_t>(columns));
        if (m_copy->binary)
            m_writer.CopyData(std::string("KLVCPY") + std::string(13, '\0'));
    } else if (sendDescription) {
        m_writer.RowDescription(descriptions);
    }
    bool wholeVectors = !m_copy;
    for (idx_t c = 0; c < columns; ++c)
        wholeVectors &= encoders[c].EncodesVectors(columnFormats[c]);
    uint64_t rows = 0;
    std::vector<duckdb_vector> vectors(columns);
    std::vector<uint64_t> rowSizes;
    std::vector<char*> cursors;
    ChunkPrefetcher chunks(result);
    for (;;) {
        DataChunkHandle chunk = chunks.Next();
        if (!chunk) {
            const char* error = duckdb_result_error(&result);
            ThrowIfCancelled();
            if (error && *error) {
                ErrorFields e = EngineErrorFields(error);
                throw SqlError(e.sqlstate, e.message, e.hint);
            }
            return rows;
        }
        idx_t n = duckdb_data_chunk_get_size(chunk.Get());
        for (idx_t c = 0; c < columns; ++c)
            vectors[c] = duckdb_data_chunk_get_vector(chunk.Get(), c);
        if (wholeVectors) {
            // Each row's size first, then every row's room at once, then the fields column by column.
            rowSizes.assign(n, 7);  // type byte, length, field count
            idx_t encodable = n;
            for (idx_t c = 0; c < columns; ++c)
                encodable =
                    std::min(encodable, encoders[c].AddFieldSizes(vectors[c], n, columnFormats[c], rowSizes.data()));
            uint64_t bytes = 0;
            for (idx_t r = 0; r < encodable; ++r)
                bytes += rowSizes[r];
            char* p = m_writer.Buffer().Extend(bytes);
            cursors.resize(encodable);
            for (idx_t r = 0; r < encodable; ++r) {
                auto length = static_cast<uint32_t>(rowSizes[r] - 1);
                char header[7] = {'D',
                                  static_cast<char>(length >> 24),
                                  static_cast<char>(length >> 16),
                                  static_cast<char>(length >> 8),
                                  static_cast<char>(length),
                                  static_cast<char>(columns >> 8),
                                  static_cast<char>(columns)};
                std::memcpy(p, header, sizeof header);
                cursors[r] = p + sizeof header;
                p += rowSizes[r];
            }
            for (idx_t c = 0; c < columns; ++c)
                encoders[c].WriteFields(vectors[c], encodable, columnFormats[c], cursors.data());
            rows += encodable;
            if (encodable < n) {
                // The row with a value that cannot be encoded is not sent: its encoding says why.
                ProtocolWriter scratch;
                for (idx_t c = 0; c < columns; ++c)
                    encoders[c].Write(scratch, vectors[c], encodable, columnFormats[c]);
                throw SqlError("XX000", "A value of row " + std::to_string(rows + 1) + " cannot be encoded.");
            }
        } else {
            for (idx_t r = 0; r < n && m_copy; ++r)
                CopyRow(encoders, vectors, columnFormats, descriptions, r);
            for (idx_t r = 0; r < n && !m_copy; ++r) {
                // A value that cannot be encoded ends the statement; its row is not sent half-written.
                size_t rowStart = m_writer.Buffer().size();
                try {
                    m_writer.BeginDataRow(static_cast<int16_t>(columns));
                    for (idx_t c = 0; c < columns; ++c)
                        encoders[c].Write(m_writer, vectors[c], r, columnFormats[c]);
                    m_writer.EndDataRow();
                } catch (...) {
                    m_writer.Buffer().Truncate(rowStart);
                    throw;
                }
            }
            rows += n;
        }
        // Rows go out in large writes; a client that stops reading blocks this
        // thread in send, and the engine fetches no more than a few chunks ahead.
        if (m_writer.Buffer().size() > kRowsFlushThreshold)
            Flush();
        ThrowIfCancelled();
    }
}

int Session::ExtraFloatDigits() const {
    auto it = m_settings.find("extra_float_digits");
    if (it == m_settings.end())
        return 1;
    try {
        return std::stoi(it->second);
    } catch (const std::exception&) {
        return 1;
    }
}

bool Session::InterceptEngineStatement(const Statement& statement, const std::vector<int16_t>& formats,
                                       bool sendDescription, const std::vector<std::optional<std::string>>& params) {
    std::string tag = CommandTagFor(statement);
    if (tag == "SET" || tag == "RESET") {
        // The engine's settings are locked, and a locked one reads the same as one
        // that does not exist; clients tell the two apart.
        Tokens t = statement.Significant();
        size_t i = IsWord(t, 1, "session") || IsWord(t, 1, "local") || IsWord(t, 1, "global") ? 2 : 1;
        if (IsName(t, i) && !IsSymbol(t, i + 1, ".") && !IsWord(t, i, "variable") && !IsWord(t, i, "all") &&
            QueryText(m_connection,
                      "SELECT 1 FROM duckdb_settings() WHERE lower(name) = lower(" + QuoteLiteral(t[i]->value) + ")")
                .empty())
            throw SqlError("42704", "unrecognized configuration parameter \"" + t[i]->value + "\"");
        return false;
    }
    if (tag != "PREPARE" && tag != "DEALLOCATE")
        return false;
    Tokens t = statement.Significant();
    size_t i = 1;
    if (tag == "DEALLOCATE" && IsWord(t, i, "prepare"))
        ++i;
    if (tag == "DEALLOCATE" && IsWord(t, i, "all") && i + 1 == t.size()) {
        for (const auto& name : m_sqlPrepared)
            RunEngine(m_connection, "DEALLOCATE " + QuoteIdentifier(name));
        m_sqlPrepared.clear();
        m_prepared.clear();
        m_writer.CommandComplete("DEALLOCATE ALL");
        return true;
    }
    if (!IsName(t, i) || (tag == "DEALLOCATE" && i + 1 != t.size()))
        return false;  // the engine judges it
    std::string name = t[i]->value;
    std::string folded = name;
    for (char& c : folded)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (tag == "PREPARE") {
        if (m_sqlPrepared.count(folded) || m_prepared.count(name))
            throw SqlError("42P05", "The prepared statement \"" + name + "\" already exists.");
        EnginePlan plan = PlanFor(statement);
        RunEngineStatement(statement, plan, formats, sendDescription, params);
        m_sqlPrepared.insert(folded);
        return true;
    }
    if (m_prepared.erase(name)) {
        m_writer.CommandComplete("DEALLOCATE");
        return true;
    }
    if (!m_sqlPrepared.count(folded))
        throw SqlError("26000", "The prepared statement \"" + name + "\" does not exist.");
    EnginePlan plan = PlanFor(statement);
    RunEngineStatement(statement, plan, formats, sendDescription, params);
    m_sqlPrepared.erase(folded);
    return true;
}

EnginePlan Session::PlanFor(const Statement& statement) {
    return PrepareEnginePlan(m_connection, statement, RewriteForEngine(statement, m_connection, Names()),
                             m_namesGeneration);
}

void Session::CopyToStdout(const Statement& query, bool binary) {
    // The query's rows are re-framed as COPY data row by row, so a large copy
    // streams as a query does.
    CopyTarget target{binary};
    ScopedValue<CopyTarget*> copying(m_copy, &target);
    EnginePlan plan = PlanFor(query);
    RunEngineStatement(query, plan, {binary ? kBinaryFormat : kTextFormat}, true, {});
}

void Session::CopyRow(const std::vector<ColumnEncoder>& encoders, const std::vector<duckdb_vector>& vectors,
                      const std::vector<int16_t>& formats, const std::vector<ColumnDescription>& columns, idx_t row) {
    // Each field is encoded as for a DataRow (Int32 length, then the bytes) and re-framed.
    ProtocolWriter scratch;
    std::string line;
    for (size_t c = 0; c < encoders.size(); ++c) {
        scratch.Clear();
        encoders[c].Write(scratch, vectors[c], row, formats[c]);
        std::string_view b = scratch.Buffer().View();
        int32_t len = static_cast<int32_t>((uint32_t(uint8_t(b[0])) << 24) | (uint32_t(uint8_t(b[1])) << 16) |
                                           (uint32_t(uint8_t(b[2])) << 8) | uint32_t(uint8_t(b[3])));
        if (m_copy->binary) {
            if (len < 0) {
                line.push_back(1);
                continue;
            }
            line.push_back(0);
            if (columns[c].typeLength < 0) {
                auto u = static_cast<uint32_t>(len);
                line.append(reinterpret_cast<const char*>(&u), 4);
            }
            line.append(b, 4, static_cast<size_t>(len));
            continue;
        }
        if (c)
            line.push_back('\t');
        if (len < 0) {
            line += "\\N";
            continue;
        }
        for (size_t k = 4; k < b.size(); ++k) {
            char ch = b[k];
            if (ch == '\\')
                line += "\\\\";
            else if (ch == '\t')
                line += "\\t";
            else if (ch == '\n')
                line += "\\n";
            else if (ch == '\r')
                line += "\\r";
            else
                line.push_back(ch);
        }
    }
    if (!m_copy->binary)
        line.push_back('\n');
    m_writer.CopyData(line);
}

}  // namespace kelvod
