// kelvod: the stand-in server the library starts. It reads its command line,
// opens the engine and the main database, listens, calls the library back with
// its endpoint, serves sessions, and stops when the callback connection ends.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "duckdb.h"
#include "kelvod/engine/attachments.h"
#include "kelvod/engine/engine_handles.h"
#include "kelvod/engine/engine_paths.h"
#include "kelvod/engine/engine_version.h"
#include "kelvod/loading/load_feed.h"
#include "kelvod/process/callback.h"
#include "kelvod/process/command_line.h"
#include "kelvod/process/listener.h"
#include "kelvod/process/server_state.h"
#include "kelvod/process/termination_watch.h"
#include "kelvod/sql/catalog.h"
#include "kelvod/sql/file_access.h"
#include "kelvod/sql/memory_limit_setting.h"
#include "kelvod/sql/sql_lexer.h"
#include "kelvod/values/bytea_text.h"
#include "kelvod/values/text_casts.h"

namespace {

enum ExitCode { kClean = 0, kBadArguments = 2, kCannotListen = 3, kCannotCallBack = 4, kInternalError = 5 };

// Diagnostics go to standard error a line at a time; a closed pipe is survived.
void Log(const std::string& line) {
    std::string text = "kelvod: " + line + "\n";
    ssize_t ignored = ::write(2, text.data(), text.size());
    (void)ignored;
}

// Creates the main database file (replacing it with --init=overwrite).
void CreateMainDatabase(duckdb_connection connection, const std::string& path, const std::string& enginePath,
                        bool overwrite) {
    std::error_code ec;
    if (overwrite) {
        // Only a database is replaced: the path may name any file (a device even).
        if (std::filesystem::exists(std::filesystem::symlink_status(path, ec)) && !kelvod::IsDatabaseFile(path))
            throw std::runtime_error("it is not a database and is not replaced");
        std::filesystem::remove(path, ec);
        std::filesystem::remove(path + ".wal", ec);
    }
    bool existed = std::filesystem::exists(path, ec);
    kelvod::RunEngine(connection, "ATTACH " + kelvod::QuoteLiteral(enginePath) + " AS kelvod_main_setup");
    if (!existed)
        kelvod::RunEngine(connection, "CREATE SCHEMA IF NOT EXISTS kelvod_main_setup.public");
    kelvod::PrepareServerSchema(connection, "kelvod_main_setup");
    kelvod::RunEngine(connection, "DETACH kelvod_main_setup");
}

int Serve(const kelvod::CommandLine& cl, kelvod::TerminationWatch& termination) {
    kelvod::Endpoint listenAt, callbackTo;
    try {
        listenAt = kelvod::ParseEndpoint(cl.listenConnection);
        callbackTo = kelvod::ParseEndpoint(cl.callbackConnection);
    } catch (const std::exception& e) {
        Log(std::string("bad endpoint descriptor: ") + e.what());
        return kBadArguments;
    }
    auto setting = [&](const char* name) {
        auto it = cl.settings.find(name);
        return it == cl.settings.end() ? std::string() : it->second;
    };

    const char* engineVersion = duckdb_library_version();
    if (!kelvod::EngineVersionSupported(engineVersion ? engineVersion : "")) {
        Log(std::string("the SQL engine is ") + (engineVersion ? engineVersion : "of unknown version") +
            "; kelvod needs 1.5 or later");
        return kInternalError;
    }
    std::string mainDatabase;
    if (!setting("database").empty())
        mainDatabase = kelvod::ResolveDatabasePath(setting("database"), setting("database_directory"));
    std::unique_ptr<kelvod::EnginePaths> paths;
    try {
        paths = std::make_unique<kelvod::EnginePaths>(setting("database_directory"), mainDatabase);
    } catch (const std::exception& e) {
        Log(e.what());
        return kInternalError;
    }
    // Declared before the server state and the listener, so that the engine
    // closes only after every session and its connection are gone.
    kelvod::DatabaseHandle engine;
    if (duckdb_open(nullptr, engine.Out()) == DuckDBError) {
        Log("cannot open the SQL engine");
        return kInternalError;
    }
    kelvod::ServerState server(engine.Get(), mainDatabase, setting("database_directory"), kelvod::kMaxPendingInput,
                               paths.get());
    kelvod::ConnectionHandle setup;
    try {
        if (duckdb_connect(engine.Get(), setup.Out()) == DuckDBError)
            throw std::runtime_error("no engine connection");
        kelvod::RegisterByteaCast(setup.Get());
        kelvod::RegisterTextCasts(setup.Get());
        kelvod::RegisterLoadFeedFunction(setup.Get());
        kelvod::NoteDefaultMemoryLimit(setup.Get());
        // Loads churn through the engine's allocator on several threads; without
        // its background threads the freed pages stay with the process for a while.
        kelvod::RunEngine(setup.Get(), "SET GLOBAL allocator_background_threads = true");
        // Integer / integer truncates, as PostgreSQL clients expect.
        kelvod::RunEngine(setup.Get(), "SET GLOBAL integer_division = true");
        kelvod::LockEngineDown(setup.Get(), paths->SpillDirectory(), paths->AllowedDirectories(),
                               paths->AllowedFiles());
    } catch (const std::exception& e) {
        Log(std::string("cannot set the SQL engine up: ") + e.what());
        return kInternalError;
    }
    if (!mainDatabase.empty()) {
        try {
            CreateMainDatabase(setup.Get(), mainDatabase, server.EnginePath(mainDatabase),
                               setting("init") == "overwrite");
        } catch (const std::exception& e) {
            Log("cannot create the database " + mainDatabase + ": " + e.what());
            return kInternalError;
        }
    }
    setup.Reset();

    int code = kClean;
    {
        std::unique_ptr<kelvod::Listener> listener;
        try {
            listener = std::make_unique<kelvod::Listener>(listenAt, server);
        } catch (const std::exception& e) {
            Log(std::string("cannot listen: ") + e.what());
            return kCannotListen;
        }
        // Connections are accepted before the library hears of the endpoint.
        listener->Start();
        std::string endpoint = listener->Resolved().ToString();
        try {
            kelvod::Callback callback(callbackTo, endpoint);
            Log("listening on " + endpoint);
            termination.Watch(&callback);
            callback.WaitForClose();
            termination.Watch(nullptr);
            if (termination.Terminated())
                Log("terminated by SIGTERM");
        } catch (const std::exception& e) {
            Log(std::string("cannot call back: ") + e.what());
            code = kCannotCallBack;
        }
        listener->Stop();
    }
    // Closed before the last words, so that what the engine writes as it closes is on disk once "stopped" is said.
    engine.Reset();
    if (code == kClean)
        Log("stopped");
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    // Standard input arrives closed; /dev/null takes its place (and that of any other
    // standard descriptor that is missing), so that no socket becomes descriptor 0, 1 or 2.
    for (;;) {
        int devnull = ::open("/dev/null", O_RDWR);
        if (devnull < 0)
            break;
        if (devnull > 2) {
            ::close(devnull);
            break;
        }
    }
    ::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    kelvod::CommandLine cl;
    try {
        cl = kelvod::ParseCommandLine(args);
    } catch (const std::exception& e) {
        Log(std::string("bad arguments: ") + e.what());
        return kBadArguments;
    }
    kelvod::TerminationWatch termination;
    try {
        return Serve(cl, termination);
    } catch (const std::exception& e) {
        Log(std::string("internal error: ") + e.what());
        return kInternalError;
    }
}
