// The extended protocol: Parse does the work a statement needs before it runs
// (split, classify, rewrite, prepare) once, and Bind, Describe and Execute use
// what Parse kept.
#include "kelvod/protocol/extended_protocol.h"

#include "kelvod/engine/engine_errors.h"
#include "kelvod/sql/statement_tokens.h"
#include "kelvod/values/value_encoding.h"

namespace kelvod {

void ExtendedProtocol::Handle(const Request& request) {
    if (auto* p = std::get_if<ParseMessage>(&request)) {
        Parse(*p);
    } else if (auto* b = std::get_if<BindMessage>(&request)) {
        Bind(*b);
    } else if (auto* d = std::get_if<DescribeMessage>(&request)) {
        Describe(*d);
    } else if (auto* e = std::get_if<ExecuteMessage>(&request)) {
        Execute(*e);
    } else if (auto* c = std::get_if<CloseMessage>(&request)) {
        Close(*c);
    }
}

void ExtendedProtocol::Parse(const ParseMessage& message) {
    if (!message.name.empty() && m_prepared.count(message.name))
        throw SqlError("42P05", "The prepared statement \"" + message.name + "\" already exists.");
    if (message.name.empty() && ReuseUnnamed(message)) {
        m_context.Writer().ParseComplete();
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
        prepared->tag = CommandTagFor(*s);
        RefuseInFailedBlock(prepared->tag);
        prepared->command = ClassifyStatement(*s);
        prepared->savepoint = IsSavepointStatement(*s);
        // Statements the engine runs are prepared now, so that a bad one fails at Parse.
        if (std::holds_alternative<EngineStatement>(prepared->command)) {
            prepared->plan = m_runner.Plan(*s, message.paramTypes);
            prepared->readsCatalog = RewriteReadsCatalog(*s);
            prepared->foldsSettings = FoldsSettings(*s);
        }
    }
    m_prepared[message.name] = std::move(prepared);
    m_context.Writer().ParseComplete();
}

bool ExtendedProtocol::ReuseUnnamed(const ParseMessage& message) {
    // Clients that send each statement through the unnamed statement send the same
    // text again and again: its plan stands while nothing it was made from changed
    // (the engine itself binds it again after a change of the tables it reads).
    auto it = m_prepared.find("");
    if (it == m_prepared.end())
        return false;
    PreparedStatement& last = *it->second;
    if (last.sql != message.sql || last.paramTypes != message.paramTypes || !last.plan || last.readsCatalog ||
        last.foldsSettings || last.plan->namesGeneration != m_context.NamesGeneration())
        return false;
    RefuseInFailedBlock(last.tag);
    return true;
}

void ExtendedProtocol::Bind(const BindMessage& message) {
    auto it = m_prepared.find(message.statement);
    if (it == m_prepared.end())
        throw SqlError("26000", "The prepared statement \"" + message.statement + "\" does not exist.");
    for (int16_t f : message.paramFormats) {
        if (f != 0)
            throw SqlError("0A000", "Parameters must be sent in the text format.");
    }
    for (const auto& p : message.params) {
        if (p && !IsValidUtf8(*p))
            throw SqlError("22021", "invalid byte sequence for encoding \"UTF8\"");
        // Text ends at a NUL for every client that reads it back.
        if (p && p->find('\0') != std::string::npos)
            throw SqlError("22021", "invalid byte sequence for encoding \"UTF8\": 0x00");
    }
    for (int16_t f : message.resultFormats) {
        if (f != kTextFormat && f != kBinaryFormat) {
            throw SqlError("0A000", "Result format code " + std::to_string(f) + " is not supported.",
                           "Use 0 for text or 2 for binary.");
        }
    }
    if (!message.portal.empty() && m_portals.count(message.portal))
        throw SqlError("42P03", "The portal \"" + message.portal + "\" already exists.");
    m_portals[message.portal] = Portal{it->second, message.resultFormats, message.params};
    m_context.Writer().BindComplete();
}

void ExtendedProtocol::Describe(const DescribeMessage& message) {
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

void ExtendedProtocol::DescribePrepared(PreparedStatement& prepared, const std::vector<int16_t>& formats,
                                        bool withParameters) {
    if (!prepared.plan) {
        if (withParameters)
            m_context.Writer().ParameterDescription({});
        if (auto* show = std::get_if<ShowCommand>(&prepared.command); show && prepared.statement) {
            m_context.Writer().RowDescription({{show->name, 25, -1, -1, FormatFor(formats, 0)}});
        } else {
            m_context.Writer().NoData();
        }
        return;
    }
    const EnginePlan& plan = m_runner.CurrentPlan(prepared);
    if (withParameters) {
        // A type the client declared at Parse stands, as the client will send it.
        std::vector<uint32_t> types = plan.parameterOids;
        for (size_t i = 0; i < types.size() && i < prepared.paramTypes.size(); ++i)
            types[i] = prepared.paramTypes[i] ? prepared.paramTypes[i] : types[i];
        m_context.Writer().ParameterDescription(types);
    }
    if (!plan.returnsRows) {
        m_context.Writer().NoData();
        return;
    }
    std::vector<ColumnDescription> columns = plan.columns;
    for (size_t i = 0; i < columns.size(); ++i)
        columns[i].format = FormatFor(formats, i);
    m_context.Writer().RowDescription(columns);
}

void ExtendedProtocol::Execute(const ExecuteMessage& message) {
    auto it = m_portals.find(message.portal);
    if (it == m_portals.end())
        throw SqlError("34000", "The portal \"" + message.portal + "\" does not exist.");
    if (message.maxRows > 0)
        throw SqlError("0A000", "Execute with a row limit is not supported.", "Ask for all rows (limit 0).");
    Portal portal = std::move(it->second);
    m_portals.erase(it);
    PreparedStatement& prepared = *portal.prepared;
    // An Execute right before Sync runs alone, committed as the engine does outside
    // a block; any other shares the batch's implicit transaction.
    if (m_context.Reader().NextType() != 'S')
        m_runner.BeginBatch();
    if (!prepared.statement) {
        m_context.Writer().EmptyQueryResponse();
    } else {
        m_runner.RunPortal(prepared, portal.resultFormats, portal.params);
    }
}

void ExtendedProtocol::Close(const CloseMessage& message) {
    if (message.kind == 'S') {
        m_prepared.erase(message.name);
    } else {
        m_portals.erase(message.name);
    }
    m_context.Writer().CloseComplete();
}

void ExtendedProtocol::Sync() {
    m_portals.erase("");
    m_context.Writer().ReadyForQuery(m_context.Transaction());
    m_context.Flush();
}

void ExtendedProtocol::RefuseInFailedBlock(const std::string& tag) const {
    if (m_context.Transaction() != TransactionStatus::FailedBlock)
        return;
    if (tag != "COMMIT" && tag != "ROLLBACK")
        throw SqlError("25P02", "current transaction is aborted, commands ignored until end of transaction block");
}

}  // namespace kelvod
