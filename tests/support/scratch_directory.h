// A temporary directory for files that a test writes (password files,
// service files), removed with everything in it when the object goes: a
// ScopedTempDirectory that also writes files with a chosen mode.
#pragma once

#include <sys/stat.h>

#include <fstream>
#include <stdexcept>
#include <string>

#include "scoped_temp_directory.h"

namespace kelvotest {

class ScratchDirectory : public ScopedTempDirectory {
public:
    const std::string& Path() const { return m_path; }
    // Writes text to Path()/name with the given mode; returns the file's path.
    std::string WriteFile(const std::string& name, const std::string& text, unsigned mode = 0600) const {
        const std::string file = m_path + "/" + name;
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        if (!(out << text).flush() || chmod(file.c_str(), mode) != 0)
            throw std::runtime_error("cannot write " + file);
        return file;
    }

private:
    std::string m_path = path().string();
};

}  // namespace kelvotest
