// The extended protocol: Parse does the work a statement needs before it runs
// (split, classify, rewrite, prepare) once, and Bind, Describe and Execute use
// what Parse kept.
#include "kelvod/session.h"

#include "kelvod/engine_errors.h"
#include "kelvod/statement_tokens.h"

namespace kelvod {

void Session::Parse(const ParseMessage& message) {
    if (!message.name.empty() && m_prepared.count(message.name))
        throw SqlError("42P05", "The prepared statement \"" + message.name + "\" already exists.");
    if (message.name.empty() && ReuseUnnamed(message)) {
        m_writer.ParseComplete();
        return;
    }
    auto prepared = std::make_shared<PreparedStatement>();
    prepared->sql = message.sql;
    prepared->paramTypes = message.paramTypes;
    for (auto& s : SplitStatements(message.sql)) {
        if (s.IsEmpty())
            continue;
        if (prepared->statement)
            throw SqlError("42601", "A prepared statement may hold only one command.");
        prepared->statement = std::move(s);
    }
    if (const Statement* s = prepared->statement ? &*prepared->statement : nullptr) {
        std::string tag = CommandTagFor(*s);
        if (m_transaction == kFailedBlock && tag != "COMMIT" && tag != "ROLLBACK")
            throw SqlError("25P02", "current transaction is aborted, commands ignored until end of transaction block");
        prepared->command = ClassifyStatement(*s);
        // Statements the engine runs are prepared now, so that a bad one fails at Parse.
        if (std::holds_alternative<EngineStatement>(prepared->command)) {
            prepared->plan = PlanFor(*s);
            prepared->readsCatalog = RewriteReadsCatalog(*s);
        }
    }
    m_prepared[message.name] = std::move(prepared);
    m_writer.ParseComplete();
}

bool Session::ReuseUnnamed(const ParseMessage& message) {
    // Clients that send each statement through the unnamed statement send the same
    // text again and again: its plan stands while nothing it was made from changed
    // (the engine itself binds it again after a change of the tables it reads).
    auto it = m_prepared.find("");
    if (it == m_prepared.end())
        return false;
    PreparedStatement& last = *it->second;
    if (last.sql != message.sql || !last.plan || last.readsCatalog || last.plan->namesGeneration != m_namesGeneration)
        return false;
    std::string tag = CommandTagFor(*last.statement);
    if (m_transaction == kFailedBlock && tag != "COMMIT" && tag != "ROLLBACK")
        throw SqlError("25P02", "current transaction is aborted, commands ignored until end of transaction block");
    last.paramTypes = message.paramTypes;
    return true;
}

void Session::Bind(const BindMessage& message) {
    auto it = m_prepared.find(message.statement);
    if (it == m_prepared.end())
        throw SqlError("26000", "The prepared statement \"" + message.statement + "\" does not exist.");
    for (int16_t f : message.paramFormats)
        if (f != 0)
            throw SqlError("0A000", "Parameters must be sent in the text format.");
    for (const auto& p : message.params)
        if (p && !IsValidUtf8(*p))
            throw SqlError("22021", "invalid byte sequence for encoding \"UTF8\"");
    for (int16_t f : message.resultFormats)
        if (f != kTextFormat && f != kBinaryFormat)
            throw SqlError("0A000", "Result format code " + std::to_string(f) + " is not supported.",
                           "Use 0 for text or 2 for binary.");
    if (!message.portal.empty() && m_portals.count(message.portal))
        throw SqlError("42P03", "The portal \"" + message.portal + "\" already exists.");
    m_portals[message.portal] = Portal{it->second, message.resultFormats, message.params};
    m_writer.BindComplete();
}

void Session::Describe(const DescribeMessage& message) {
    if (message.kind == 'S') {
        auto it = m_prepared.find(message.name);
        if (it == m_prepared.end())
            throw SqlError("26000", "The prepared statement \"" + message.name + "\" does not exist.");
        DescribePrepared(*it->second, {}, true);
        return;
    }
    auto it = m_portals.find(message.name);
    if (it == m_portals.end())
        throw SqlError("34000", "The portal \"" + message.name + "\" does not exist.");
    DescribePrepared(*it->second.prepared, it->second.resultFormats, false);
}

void Session::DescribePrepared(PreparedStatement& prepared, const std::vector<int16_t>& formats, bool withParameters) {
    if (!prepared.plan) {
        if (withParameters)
            m_writer.ParameterDescription({});
        if (auto* show = std::get_if<ShowCommand>(&prepared.command); show && prepared.statement)
            m_writer.RowDescription({{show->name, 25, -1, -1, FormatFor(formats, 0)}});
        else
            m_writer.NoData();
        return;
    }
    const EnginePlan& plan = CurrentPlan(prepared);
    if (withParameters)
        m_writer.ParameterDescription(std::vector<uint32_t>(plan.parameterCount, 25));
    if (!plan.returnsRows) {
        m_writer.NoData();
        return;
    }
    std::vector<ColumnDescription> columns = plan.columns;
    for (size_t i = 0; i < columns.size(); ++i)
        columns[i].format = FormatFor(formats, i);
    m_writer.RowDescription(columns);
}

EnginePlan& Session::CurrentPlan(PreparedStatement& prepared) {
    EnginePlan& plan = *prepared.plan;
    bool namesChanged = plan.namesGeneration != m_namesGeneration;
    if (!prepared.readsCatalog && !namesChanged)
        return plan;
    std::string rewritten = RewriteForEngine(*prepared.statement, m_connection, Names());
    // The engine binds names when it prepares: after a change of the search path
    // or the attached databases the same text may mean other tables.
    if (namesChanged || rewritten != plan.rewritten)
        plan = PrepareEnginePlan(m_connection, *prepared.statement, std::move(rewritten), m_namesGeneration);
    return plan;
}

void Session::Execute(const ExecuteMessage& message) {
    auto it = m_portals.find(message.portal);
    if (it == m_portals.end())
        throw SqlError("34000", "The portal \"" + message.portal + "\" does not exist.");
    if (message.maxRows > 0)
        throw SqlError("0A000", "Execute with a row limit is not supported.", "Ask for all rows (limit 0).");
    Portal portal = std::move(it->second);
    m_portals.erase(it);
    PreparedStatement& prepared = *portal.prepared;
    if (!prepared.statement)
        m_writer.EmptyQueryResponse();
    else
        RunStatement(*prepared.statement, portal.resultFormats, false, portal.params, &prepared);
}

void Session::Close(const CloseMessage& message) {
    if (message.kind == 'S')
        m_prepared.erase(message.name);
    else
        m_portals.erase(message.name);
    m_writer.CloseComplete();
}

void Session::Sync() {
    m_skipUntilSync = false;
    m_portals.erase("");
    m_writer.ReadyForQuery(m_transaction);
    Flush();
}

}  // namespace kelvod
