// A temporary directory for files that a test writes (password files,
// service files), removed with everything in it when the object goes: a
// ScopedTempDirectory that also writes files with a chosen mode.
#pragma once

#include <string>

#include "scoped_temp_directory.h"

namespace kelvotest {

class ScratchDirectory {
public:
    ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::string& Path() const { return m_path; }
    // Writes text to Path()/name with the given mode; returns the file's path.
    std::string WriteFile(const std::string& name, const std::string& text, unsigned mode = 0600) const;

private:
    ScopedTempDirectory m_dir;
    std::string m_path;
};

}  // namespace kelvotest
