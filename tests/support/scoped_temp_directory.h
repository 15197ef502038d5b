// A fresh directory under /tmp for one test (its files: password files, service files, sockets), removed with
// everything in it when the object goes.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace kelvotest {

class ScopedTempDirectory {
public:
    ScopedTempDirectory() {
        std::string pattern = "/tmp/kelvo-test-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        m_path = pattern;
        m_text = pattern;
    }
    ScopedTempDirectory(const ScopedTempDirectory&) = delete;
    ScopedTempDirectory& operator=(const ScopedTempDirectory&) = delete;
    ~ScopedTempDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }

    const std::filesystem::path& path() const { return m_path; }
    const std::string& Path() const { return m_text; }
    // Writes text to Path()/name with the given mode; returns the file's path.
    std::string WriteFile(const std::string& name, const std::string& text, unsigned mode = 0600) const {
        const std::string file = m_text + "/" + name;
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        if (!(out << text).flush() || chmod(file.c_str(), mode) != 0)
            throw std::runtime_error("cannot write " + file);
        return file;
    }

private:
    std::filesystem::path m_path;
    std::string m_text;
};

}  // namespace kelvotest
