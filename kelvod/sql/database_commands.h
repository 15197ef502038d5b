// The statements the session runs itself instead of the engine: database files
// and their aliases (create, attach, detach, drop), schemas, tables whose
// declared types the catalog must remember, and SHOW and SET of the settings
// search_path and external_client_context. Also what keeps the session's
// databases usable: the default database, and a new attachment of one that the
// engine invalidated. Used by the statement runner, the loader and the start-up.
#pragma once

#include <string>

#include "kelvod/protocol/session_context.h"
#include "kelvod/sql/sql_rewriter.h"

namespace kelvod {

class DatabaseCommands {
public:
    explicit DatabaseCommands(SessionContext& context) : m_context(context) {}

    void CreateDatabase(const std::string& path, bool ifNotExists);
    void DropDatabase(const std::string& path, bool ifExists);
    void Attach(const std::string& path, const std::string& alias);
    void Detach(const std::string& alias);
    void DetachAll();
    void CreateSchema(const std::string& database, const std::string& schema, bool ifNotExists);
    void CreateTable(const CreateTableCommand& command);
    // Writes the one DataRow and CommandComplete; the caller sends the RowDescription.
    void Show(const std::string& name);
    void Set(const std::string& name, const std::string& value);
    // Makes the first attached database (its "public" schema) the default, or the memory database.
    void UseFirstDatabase();
    // After an error that says a database of this session is invalidated: attach it anew.
    void RecoverInvalidated(const SqlError& error);

private:
    SessionContext& m_context;
};

}  // namespace kelvod
