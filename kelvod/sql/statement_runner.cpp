// The statement runner: classifies a statement, rewrites it for the engine,
// runs it and encodes its result in one pass, or hands it to the database
// commands and the loader.
#include "kelvod/sql/statement_runner.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "kelvod/engine/engine_errors.h"
#include "kelvod/protocol/scoped_value.h"
#include "kelvod/sql/chunk_prefetcher.h"
#include "kelvod/sql/insert_select.h"
#include "kelvod/sql/memory_limit_setting.h"
#include "kelvod/sql/statement_tokens.h"
#include "kelvod/values/value_encoding.h"

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

// SET of the engine's schema or search path; other settings leave names where they are.
bool SetsSearchPath(const Statement& statement) {
    Tokens t = statement.Significant();
    size_t i = IsWord(t, 1, "session") || IsWord(t, 1, "local") || IsWord(t, 1, "global") ? 2 : 1;
    if (!IsName(t, i))
        return true;
    std::string name = t[i]->value;
    for (char& c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name == "search_path" || name == "schema";
}

bool ChangesRows(duckdb_statement_type type) {
    return type == DUCKDB_STATEMENT_TYPE_INSERT || type == DUCKDB_STATEMENT_TYPE_UPDATE ||
           type == DUCKDB_STATEMENT_TYPE_DELETE;
}

}  // namespace

void StatementRunner::RunSimple(const Statement& statement) {
    Command command = ClassifyStatement(statement);
    std::string tag = CommandTagFor(statement);
    Run({statement, command, tag, IsSavepointStatement(statement)}, {m_context.DefaultFormat()}, true, {}, nullptr,
        true);
}

void StatementRunner::RunPortal(PreparedStatement& prepared, const std::vector<int16_t>& formats,
                                const std::vector<std::optional<std::string>>& params) {
    Run({*prepared.statement, prepared.command, prepared.tag, prepared.savepoint}, formats, false, params, &prepared,
        false);
}

void StatementRunner::Run(const Classified& classified, const std::vector<int16_t>& formats, bool sendDescription,
                          const std::vector<std::optional<std::string>>& params, PreparedStatement* prepared,
                          bool simpleQuery) {
    const Statement& statement = classified.statement;
    const std::string& tag = classified.tag;
    if (classified.savepoint && m_context.Transaction() == TransactionStatus::Idle)
        throw SqlError("25P01", "Savepoints can only be used in transaction blocks.");
    if (m_context.Transaction() == TransactionStatus::FailedBlock) {
        // ROLLBACK TO would end the block; the refusal keeps it failed.
        if (auto* refused = std::get_if<RefusedCommand>(&classified.command); refused && classified.savepoint)
            throw SqlError(refused->sqlstate, refused->message);
        return EndFailedBlock(tag);
    }
    if (!JoinBatch(tag, classified.command))
        return;
    if (!std::holds_alternative<EngineStatement>(classified.command))
        return RunServerCommand(classified.command, formats, sendDescription, simpleQuery);
    if (InterceptEngineStatement(statement, tag, formats, sendDescription, params))
        return;
    // Only SET and RESET touch the memory limit.
    if (tag == "SET" || tag == "RESET") {
        RefuseUnsafeMemoryLimit(statement);
        if (ResetMemoryLimit(m_context.Connection(), statement)) {
            m_context.Writer().CommandComplete(tag);
            return;
        }
    }
    if (prepared)
        return RunEngineStatement(statement, tag, CurrentPlan(*prepared), formats, sendDescription, params);
    if (simpleQuery) {
        std::optional<EnginePlan> once;
        return RunEngineStatement(statement, tag, KeptPlan(statement, once), formats, sendDescription, params);
    }
    EnginePlan plan = Plan(statement);
    RunEngineStatement(statement, tag, plan, formats, sendDescription, params);
}

void StatementRunner::EndFailedBlock(const std::string& tag) {
    // Whatever failed, the block's earlier writes must not be committed: the
    // engine keeps its transaction alive after some errors, so it is ended here.
    if (tag != "COMMIT" && tag != "ROLLBACK")
        throw SqlError("25P02", "current transaction is aborted, commands ignored until end of transaction block");
    RollbackEngine(m_context.Connection());
    m_context.EndBlock();
    m_context.Writer().CommandComplete("ROLLBACK");
}

bool StatementRunner::JoinBatch(const std::string& tag, const Command& command) {
    // Database files are attached and detached outside any transaction: what
    // the batch did before one of them is committed first.
    bool outsideBlocks = std::holds_alternative<CreateDatabaseCommand>(command) ||
                         std::holds_alternative<DropDatabaseCommand>(command) ||
                         std::holds_alternative<AttachDatabaseCommand>(command) ||
                         std::holds_alternative<DetachDatabaseCommand>(command);
    if (outsideBlocks) {
        CommitImplicit();
        return true;
    }
    if (m_context.InImplicitBlock() && tag == "BEGIN") {
        // BEGIN inside a batch makes its implicit block explicit, with what it holds.
        m_context.MakeBlockExplicit();
        m_context.Writer().CommandComplete("BEGIN");
        return false;
    }
    if (!m_batch || m_context.Transaction() != TransactionStatus::Idle || tag == "BEGIN" || tag == "COMMIT" ||
        tag == "ROLLBACK")
        return true;
    RunEngine(m_context.Connection(), "BEGIN");
    m_context.BeginImplicitBlock();
    return true;
}

void StatementRunner::CommitImplicit() {
    if (!m_context.InImplicitBlock())
        return;
    m_context.EndBlock();
    try {
        RunEngine(m_context.Connection(), "COMMIT");
    } catch (const EngineError& e) {
        if (!CommittedDespite(e)) {
            RollbackEngine(m_context.Connection());
            throw;
        }
        ErrorFields warning;
        warning.severity = "WARNING";
        warning.sqlstate = e.sqlstate;
        warning.message = e.what();
        m_context.Writer().Notice(warning);
        m_commands.RecoverInvalidated(e);
    }
}

void StatementRunner::EndBatch() {
    m_batch = false;
    CommitImplicit();
}

void StatementRunner::AbandonBatch() {
    m_batch = false;
    if (!m_context.InImplicitBlock())
        return;
    m_context.EndBlock();
    RollbackEngine(m_context.Connection());
}

void StatementRunner::RunServerCommand(const Command& command, const std::vector<int16_t>& formats,
                                       bool sendDescription, bool simpleQuery) {
    // Commands that attach, create or drop what names resolve to, or move the
    // search path, make prepared statements resolve their names again; the others
    // (SHOW, COPY, loads) leave them prepared.
    bool changesNames =
        !std::holds_alternative<ShowCommand>(command) && !std::holds_alternative<CopyToStdoutCommand>(command) &&
        !std::holds_alternative<CopyFromStdinCommand>(command) && !std::holds_alternative<InsertBulkCommand>(command) &&
        !std::holds_alternative<CloseStreamCommand>(command) && !std::holds_alternative<RefusedCommand>(command);
    if (auto* set = std::get_if<SetCommand>(&command); set && set->name == "external_client_context")
        changesNames = false;
    if (changesNames) {
        m_context.NamesChanged();
        // A kept plan must not hold on to a database that is detached or dropped now.
        m_keptPlans.clear();
    }
    ProtocolWriter& writer = m_context.Writer();
    std::visit(
        [&](auto& c) {
            using T = std::decay_t<decltype(c)>;
            if constexpr (std::is_same_v<T, EngineStatement>) {
            } else if constexpr (std::is_same_v<T, CreateDatabaseCommand>) {
                m_commands.CreateDatabase(c.path, c.ifNotExists);
                writer.CommandComplete("CREATE DATABASE");
            } else if constexpr (std::is_same_v<T, DropDatabaseCommand>) {
                m_commands.DropDatabase(c.path, c.ifExists);
                writer.CommandComplete("DROP DATABASE");
            } else if constexpr (std::is_same_v<T, AttachDatabaseCommand>) {
                m_commands.Attach(c.path, c.alias);
                writer.CommandComplete("ATTACH DATABASE");
            } else if constexpr (std::is_same_v<T, DetachDatabaseCommand>) {
                if (c.all) {
                    m_commands.DetachAll();
                } else {
                    m_commands.Detach(c.alias);
                }
                writer.CommandComplete("DETACH DATABASE");
            } else if constexpr (std::is_same_v<T, CreateSchemaCommand>) {
                m_commands.CreateSchema(c.database, c.schema, c.ifNotExists);
                writer.CommandComplete("CREATE SCHEMA");
            } else if constexpr (std::is_same_v<T, CreateTableCommand>) {
                m_commands.CreateTable(c);
                writer.CommandComplete("CREATE TABLE");
            } else if constexpr (std::is_same_v<T, ShowCommand>) {
                if (sendDescription)
                    writer.RowDescription({{c.name, 25, -1, -1, FormatFor(formats, 0)}});
                m_commands.Show(c.name);
            } else if constexpr (std::is_same_v<T, SetCommand>) {
                m_commands.Set(c.name, c.value);
                writer.CommandComplete("SET");
            } else if constexpr (std::is_same_v<T, CopyToStdoutCommand>) {
                CopyToStdout(c.query, c.binary);
            } else if constexpr (std::is_same_v<T, CopyFromStdinCommand>) {
                if (!simpleQuery)
                    throw SqlError("0A000", "COPY FROM STDIN can be run only as a simple query.");
                m_loader.CopyFromStdin(c);
            } else if constexpr (std::is_same_v<T, CreateStreamCommand>) {
                m_loader.CreateStream(c);
                writer.CommandComplete("CREATE EXTERNAL STREAM");
            } else if constexpr (std::is_same_v<T, CloseStreamCommand>) {
                m_loader.CloseStream(c);
                writer.CommandComplete("CLOSE EXTERNAL STREAM");
            } else if constexpr (std::is_same_v<T, DropStreamCommand>) {
                m_loader.DropStream(c);
                writer.CommandComplete("DROP EXTERNAL STREAM");
            } else if constexpr (std::is_same_v<T, InsertBulkCommand>) {
                if (c.stream.empty()) {
                    InsertSelect(c);
                } else {
                    m_loader.InsertFromStream(c);
                }
            } else if constexpr (std::is_same_v<T, RefusedCommand>) {
                throw SqlError(c.sqlstate, c.message);
            }
        },
        command);
}

void StatementRunner::InsertSelect(const InsertBulkCommand& command) {
    const Statement insert =
        WithNulCharactersRefused(InsertSelectStatement(command.target, command.columns, command.selectList));
    EnginePlan plan = PrepareEnginePlan(m_context.Connection(), insert,
                                        RewriteForEngine(insert, m_context.Connection(), m_context.Names()),
                                        m_context.NamesGeneration());
    RunEngineStatement(insert, "INSERT", plan, {}, false, {});
}

void StatementRunner::RunEngineStatement(const Statement& statement, const std::string& tag, EnginePlan& plan,
                                         const std::vector<int16_t>& formats, bool sendDescription,
                                         const std::vector<std::optional<std::string>>& params) {
    SessionContext::RunningStatement running(m_context);
    BindTextParameters(plan, params);
    duckdb_statement_type type = plan.type;
    PendingResultHandle pending;
    if (duckdb_pending_prepared_streaming(plan.prepared.Get(), pending.Out()) == DuckDBError)
        throw TextError(duckdb_pending_error(pending.Get()), "");
    ResultHandle result;
    duckdb_state state = duckdb_execute_pending(pending.Get(), result.Out());
    pending.Reset();
    if (state == DuckDBError) {
        m_context.ThrowIfCancelled();
        EngineError error = ResultError(result.Get());
        if (tag == "COMMIT" && CommittedDespite(error)) {
            ErrorFields warning = error.Fields();
            warning.severity = "WARNING";
            m_context.Writer().Notice(warning);
            m_context.EndBlock();
            m_context.Writer().CommandComplete("COMMIT");
            m_commands.RecoverInvalidated(error);
            return;
        }
        throw error;
    }
    m_context.ThrowIfCancelled();
    if (tag == "BEGIN") {
        m_context.BeginBlock();
    } else if (tag == "COMMIT" || tag == "ROLLBACK") {
        m_context.EndBlock();
        // After these the names in a prepared statement may mean other tables.
    } else if (tag == "USE" || tag == "RESET" || (tag == "SET" && SetsSearchPath(statement))) {
        m_context.NamesChanged();  // names may resolve elsewhere now
    }

    duckdb_result_type returned = duckdb_result_return_type(result.Get());
    if (returned == DUCKDB_RESULT_TYPE_CHANGED_ROWS) {
        int64_t count = 0;
        DataChunkHandle chunk(duckdb_fetch_chunk(result.Get()));
        if (chunk && duckdb_data_chunk_get_size(chunk.Get()) > 0) {
            duckdb_vector v = duckdb_data_chunk_get_vector(chunk.Get(), 0);
            std::memcpy(&count, duckdb_vector_get_data(v), sizeof count);
        }
        m_context.Writer().CommandComplete(ChangedRowsTag(type, tag, count));
        return;
    }
    if (returned != DUCKDB_RESULT_TYPE_QUERY_RESULT) {
        if (m_copy)
            throw SqlError("0A000", "COPY TO STDOUT needs a query that returns rows.");
        m_context.Writer().CommandComplete(tag);
        return;
    }
    // A portal's rows must match the columns Describe gave; the engine binds a
    // statement again after its tables change, and may then return others.
    if (!sendDescription && plan.returnsRows && duckdb_column_count(&result.Get()) != plan.columns.size())
        throw SqlError("0A000", "cached plan must not change result type");
    uint64_t rows = SendRows(result.Get(), formats, sendDescription);
    if (m_copy) {
        m_context.Writer().CopyDone();
        m_context.Writer().CommandComplete("COPY " + std::to_string(rows));
        return;
    }
    if (type == DUCKDB_STATEMENT_TYPE_SELECT) {
        m_context.Writer().CommandComplete("SELECT " + std::to_string(rows));
    } else if (ChangesRows(type)) {
        m_context.Writer().CommandComplete(ChangedRowsTag(type, tag, static_cast<int64_t>(rows)));
    } else {
        m_context.Writer().CommandComplete(tag);
    }
}

uint64_t StatementRunner::SendRows(duckdb_result& result, const std::vector<int16_t>& formats, bool sendDescription) {
    idx_t columns = duckdb_column_count(&result);
    if (formats.size() > 1 && formats.size() != columns) {
        throw SqlError("08P01", "The Bind message has " + std::to_string(formats.size()) +
                                    " result formats but the query has " + std::to_string(columns) + " columns.");
    }
    std::vector<ColumnEncoder> encoders;
    std::vector<ColumnDescription> descriptions;
    std::vector<int16_t> columnFormats;
    for (idx_t i = 0; i < columns; ++i) {
        LogicalTypeHandle type(duckdb_column_logical_type(&result, i));
        encoders.emplace_back(type.Get(), m_context.ExtraFloatDigits());
        columnFormats.push_back(FormatFor(formats, i));
        const char* name = duckdb_column_name(&result, i);
        descriptions.push_back(encoders.back().Describe(name ? name : "?column?", columnFormats.back()));
    }
    if (m_copy) {
        m_context.Writer().CopyOutResponse(m_copy->binary, static_cast<int16_t>(columns));
        if (m_copy->binary)
            m_context.Writer().CopyData(std::string("KLVCPY") + std::string(13, '\0'));
    } else if (sendDescription) {
        m_context.Writer().RowDescription(descriptions);
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
            m_context.ThrowIfCancelled();
            if (error && *error)
                throw ResultError(result);
            return rows;
        }
        idx_t n = duckdb_data_chunk_get_size(chunk.Get());
        for (idx_t c = 0; c < columns; ++c)
            vectors[c] = duckdb_data_chunk_get_vector(chunk.Get(), c);
        if (wholeVectors) {
            // Each row's size first, then every row's room at once, then the fields column by column.
            rowSizes.assign(n, 7);  // type byte, length, field count
            idx_t encodable = n;
            for (idx_t c = 0; c < columns; ++c) {
                encodable =
                    std::min(encodable, encoders[c].AddFieldSizes(vectors[c], n, columnFormats[c], rowSizes.data()));
            }
            uint64_t bytes = 0;
            for (idx_t r = 0; r < encodable; ++r)
                bytes += rowSizes[r];
            char* p = m_context.Writer().Buffer().Extend(bytes);
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
                size_t rowStart = m_context.Writer().Buffer().size();
                try {
                    m_context.Writer().BeginDataRow(static_cast<int16_t>(columns));
                    for (idx_t c = 0; c < columns; ++c)
                        encoders[c].Write(m_context.Writer(), vectors[c], r, columnFormats[c]);
                    m_context.Writer().EndDataRow();
                } catch (...) {
                    m_context.Writer().Buffer().Truncate(rowStart);
                    throw;
                }
            }
            rows += n;
        }
        // Rows go out in large writes; a client that stops reading blocks this
        // thread in send, and the engine fetches no more than a few chunks ahead.
        if (m_context.Writer().Buffer().size() > kRowsFlushThreshold)
            m_context.Flush();
        m_context.ThrowIfCancelled();
    }
}

bool StatementRunner::InterceptEngineStatement(const Statement& statement, const std::string& tag,
                                               const std::vector<int16_t>& formats, bool sendDescription,
                                               const std::vector<std::optional<std::string>>& params) {
    if (tag == "SET" || tag == "RESET") {
        // The engine's settings are locked, and a locked one reads the same as one
        // that does not exist; clients tell the two apart.
        Tokens t = statement.Significant();
        size_t i = IsWord(t, 1, "session") || IsWord(t, 1, "local") || IsWord(t, 1, "global") ? 2 : 1;
        if (IsName(t, i) && !IsSymbol(t, i + 1, ".") && !IsWord(t, i, "variable") && !IsWord(t, i, "all") &&
            QueryText(m_context.Connection(),
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
            RunEngine(m_context.Connection(), "DEALLOCATE " + QuoteIdentifier(name));
        m_sqlPrepared.clear();
        m_protocolStatements.clear();
        m_context.Writer().CommandComplete("DEALLOCATE ALL");
        return true;
    }
    if (!IsName(t, i) || (tag == "DEALLOCATE" && i + 1 != t.size()))
        return false;  // the engine judges it
    std::string name = t[i]->value;
    std::string folded = name;
    for (char& c : folded)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (tag == "PREPARE") {
        if (m_sqlPrepared.count(folded) || m_protocolStatements.count(name))
            throw SqlError("42P05", "The prepared statement \"" + name + "\" already exists.");
        EnginePlan plan = Plan(statement);
        RunEngineStatement(statement, tag, plan, formats, sendDescription, params);
        m_sqlPrepared.insert(folded);
        return true;
    }
    if (m_protocolStatements.erase(name)) {
        m_context.Writer().CommandComplete("DEALLOCATE");
        return true;
    }
    if (!m_sqlPrepared.count(folded))
        throw SqlError("26000", "The prepared statement \"" + name + "\" does not exist.");
    EnginePlan plan = Plan(statement);
    RunEngineStatement(statement, tag, plan, formats, sendDescription, params);
    m_sqlPrepared.erase(folded);
    return true;
}

EnginePlan StatementRunner::Plan(const Statement& statement, const std::vector<uint32_t>& declaredTypes) {
    return PrepareEnginePlan(
        m_context.Connection(), statement,
        RewriteForEngine(WithNulCharactersRefused(statement), m_context.Connection(), m_context.Names()),
        m_context.NamesGeneration(), declaredTypes);
}

EnginePlan& StatementRunner::CurrentPlan(PreparedStatement& prepared) {
    EnginePlan& plan = *prepared.plan;
    bool namesChanged = plan.namesGeneration != m_context.NamesGeneration();
    if (!prepared.readsCatalog && !namesChanged && !prepared.foldsSettings)
        return plan;
    std::string rewritten =
        RewriteForEngine(WithNulCharactersRefused(*prepared.statement), m_context.Connection(), m_context.Names());
    // The engine binds names when it prepares: after a change of the search path
    // or the attached databases the same text may mean other tables.
    if (namesChanged || prepared.foldsSettings || rewritten != plan.rewritten) {
        plan = PrepareEnginePlan(m_context.Connection(), *prepared.statement, std::move(rewritten),
                                 m_context.NamesGeneration(), prepared.paramTypes);
    }
    return plan;
}

EnginePlan& StatementRunner::KeptPlan(const Statement& statement, std::optional<EnginePlan>& once) {
    constexpr size_t kKeptPlans = 32;
    std::string text;
    for (const auto& t : statement.tokens)
        text += t.text;
    auto it = m_keptPlans.find(text);
    if (it != m_keptPlans.end())
        return CurrentPlan(it->second);
    EnginePlan plan = Plan(statement);
    // Only reads and row changes: what else the engine runs changes state that a plan made before may not see.
    if (plan.type != DUCKDB_STATEMENT_TYPE_SELECT && !ChangesRows(plan.type))
        return once.emplace(std::move(plan));
    if (m_keptPlans.size() >= kKeptPlans)
        m_keptPlans.clear();
    PreparedStatement& kept = m_keptPlans[text];
    kept.statement = statement;
    kept.plan = std::move(plan);
    kept.readsCatalog = RewriteReadsCatalog(statement);
    kept.foldsSettings = FoldsSettings(statement);
    return *kept.plan;
}

void StatementRunner::CopyToStdout(const Statement& query, bool binary) {
    // The query's rows are re-framed as COPY data row by row, so a large copy
    // streams as a query does.
    CopyTarget target{binary};
    ScopedValue<CopyTarget*> copying(m_copy, &target);
    EnginePlan plan = Plan(query);
    RunEngineStatement(query, CommandTagFor(query), plan, {binary ? kBinaryFormat : kTextFormat}, true, {});
}

void StatementRunner::CopyRow(const std::vector<ColumnEncoder>& encoders, const std::vector<duckdb_vector>& vectors,
                              const std::vector<int16_t>& formats, const std::vector<ColumnDescription>& columns,
                              idx_t row) {
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
            if (ch == '\\') {
                line += "\\\\";
            } else if (ch == '\t') {
                line += "\\t";
            } else if (ch == '\n') {
                line += "\\n";
            } else if (ch == '\r') {
                line += "\\r";
            } else {
                line.push_back(ch);
            }
        }
    }
    if (!m_copy->binary)
        line.push_back('\n');
    m_context.Writer().CopyData(line);
}

}  // namespace kelvod
