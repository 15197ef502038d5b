// Where the engine may reach files. External access is off in the engine; open
// to it are only the database directory (without one, the main database's
// directory), the main database itself, and a directory of this server's own
// (the engine's spill files). The engine follows symbolic links before it
// compares a path with these, so they are resolved here the same way. Owned by
// the server's start-up; the attachments and the database commands ask it for
// the path under which the engine opens a database file.
#pragma once

#include <string>
#include <vector>

namespace kelvod {

class EnginePaths {
public:
    // Creates the server's directory under `<directory>/kelvod_spill`, or under
    // the system's temporary directory when that cannot be written. Throws
    // std::runtime_error when neither can.
    EnginePaths(const std::string& databaseDirectory, const std::string& mainDatabase);
    // Removes the server's directory.
    ~EnginePaths();
    EnginePaths(const EnginePaths&) = delete;
    EnginePaths& operator=(const EnginePaths&) = delete;

    // The directories the engine may reach, each ending in '/', and the files.
    std::vector<std::string> AllowedDirectories() const;
    std::vector<std::string> AllowedFiles() const;
    const std::string& SpillDirectory() const { return m_spill; }
    // The path under which the engine opens the database file `resolved` (a
    // path from ResolveDatabasePath). Throws SqlError 42501 for a file the
    // engine may not reach, or one inside the server's own directory.
    std::string ForEngine(const std::string& resolved) const;

private:
    std::string m_open;   // the database directory, resolved, ending in '/'; may be empty
    std::string m_main;   // the main database, resolved; may be empty
    std::string m_own;    // this server's directory, ending in '/'
    std::string m_spill;  // the engine's temporary directory, inside m_own
    int m_lockFd = -1;    // locked while this server runs, so that no other takes m_own for stale
};

}  // namespace kelvod
