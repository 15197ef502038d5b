// The directories and files open to the engine.
#include "kelvod/engine/engine_paths.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "kelvod/sql/sql_lexer.h"

namespace kelvod {

namespace fs = std::filesystem;

namespace {

std::string WithSlash(std::string dir) {
    if (dir.empty() || dir.back() != '/')
        dir.push_back('/');
    return dir;
}

// The directories of servers that are gone (killed, they could not remove their
// own) go. A server holds a lock on its directory's lock file while it runs;
// the lock, unlike a process id, tells across containers that share the directory.
void RemoveStaleDirectories(const fs::path& parent) {
    std::error_code ec;
    for (auto it = fs::directory_iterator(parent, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        if (it->path().filename().string().rfind("server-", 0) != 0)
            continue;
        int fd = ::open((it->path() / "lock").c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            continue;  // one being made, or not a server's
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            std::error_code ignored;
            fs::remove_all(it->path(), ignored);
        }
        ::close(fd);
    }
}

// A fresh directory of this server's own inside `parent`, locked through `lockFd`; "" when it cannot be made.
std::string MakeOwnDirectory(const fs::path& parent, int& lockFd) {
    std::error_code ec;
    // Only the last step is made: a database directory that is missing stays missing.
    fs::create_directory(parent, ec);
    RemoveStaleDirectories(parent);
    std::string pattern = (parent / ("server-" + std::to_string(::getpid()) + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr)
        return "";
    lockFd = ::open((pattern + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd < 0 || ::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        if (lockFd >= 0)
            ::close(lockFd);
        lockFd = -1;
        fs::remove_all(pattern, ec);
        return "";
    }
    return fs::canonical(pattern, ec).string();
}

}  // namespace

EnginePaths::EnginePaths(const std::string& databaseDirectory, const std::string& mainDatabase) : m_main(mainDatabase) {
    std::error_code ec;
    fs::path open = databaseDirectory;
    if (open.empty() && !mainDatabase.empty())
        open = fs::path(mainDatabase).parent_path();
    if (!open.empty()) {
        fs::path resolved = fs::weakly_canonical(fs::absolute(open, ec), ec);
        if (!ec)
            m_open = WithSlash(resolved.string());
    }
    std::string own;
    if (!m_open.empty())
        own = MakeOwnDirectory(fs::path(m_open) / "kelvod_spill", m_lockFd);
    if (own.empty())
        own = MakeOwnDirectory(fs::temp_directory_path(ec) / ("kelvod_spill-" + std::to_string(::getuid())), m_lockFd);
    if (own.empty())
        throw std::runtime_error("cannot make a directory for the engine's temporary files");
    m_own = WithSlash(own);
    m_spill = m_own + "spill";
    fs::create_directory(m_spill, ec);
}

EnginePaths::~EnginePaths() {
    std::error_code ec;
    fs::remove_all(m_own, ec);
    if (m_lockFd >= 0)
        ::close(m_lockFd);
    // The shared parent goes too once no server uses it (removing a directory that is not empty fails).
    fs::remove(fs::path(m_own).parent_path().parent_path(), ec);
}

std::vector<std::string> EnginePaths::AllowedDirectories() const {
    std::vector<std::string> out{m_own};
    if (!m_open.empty())
        out.push_back(m_open);
    return out;
}

std::vector<std::string> EnginePaths::AllowedFiles() const {
    if (m_main.empty())
        return {};
    return {m_main, m_main + ".wal"};
}

std::string EnginePaths::ForEngine(const std::string& resolved) const {
    if (resolved.rfind(m_own, 0) == 0) {
        throw SqlError("42501", "The database \"" + resolved + "\" lies in the server's own directory.",
                       "Keep databases out of \"" + m_own + "\".");
    }
    if (resolved == m_main || (!m_open.empty() && resolved.rfind(m_open, 0) == 0))
        return resolved;
    throw SqlError("42501", "The database \"" + resolved + "\" lies outside the database directory.",
                   m_open.empty() ? "Start the server with a database directory that holds it."
                                  : "Keep databases in \"" + m_open + "\".");
}

}  // namespace kelvod
