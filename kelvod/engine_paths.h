// Where the engine may reach files. External access is off in the engine, and
// only the database directory and a directory of this server's own (its spill
// files, and links to the directories of databases clients name elsewhere) are
// open to it. The engine compares paths as text, so each path is resolved
// (symbolic links followed) before it is compared or handed over. Owned by the
// server state; the attachments and the database commands ask it for the path
// under which the engine opens a database file.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace kelvod {

class EnginePaths {
public:
    // `databaseDirectory` may be empty: then the main database's directory is
    // open to the engine, and with no main database only the server's own.
    // Creates the server's directory under `<directory>/kelvod_spill`, or under
    // the system's temporary directory when that cannot be written.
    EnginePaths(const std::string& databaseDirectory, const std::string& mainDatabase);
    // Removes the server's directory (the links in it, not what they point to).
    ~EnginePaths();
    EnginePaths(const EnginePaths&) = delete;
    EnginePaths& operator=(const EnginePaths&) = delete;

    // The directories the engine may reach, each ending in '/'.
    std::vector<std::string> AllowedDirectories() const;
    const std::string& SpillDirectory() const { return m_spill; }
    // The path under which the engine opens the database file `resolved` (a
    // path from ResolveDatabasePath). Outside the open directories it is reached through a
    // link to its directory, made on first use, so that its write-ahead log
    // stays beside it (the engine then reaches that directory, not only the
    // file). Throws SqlError 42501 for a path inside the server's own directory
    // or in the root directory.
    std::string ForEngine(const std::string& resolved);

private:
    std::string m_open;   // the database directory, resolved, ending in '/'; may be empty
    std::string m_own;    // this server's directory, ending in '/'
    std::string m_spill;  // the engine's temporary directory, inside m_own
    std::string m_links;  // links to directories of databases elsewhere, inside m_own
    std::mutex m_mutex;
    std::map<std::string, std::string> m_linked;  // directory -> its link
};

}  // namespace kelvod
