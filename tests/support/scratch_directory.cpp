// See scratch_directory.h.
#include "scratch_directory.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace kelvotest {

ScratchDirectory::ScratchDirectory() {
    char path[] = "/tmp/kelvo-scratch-XXXXXX";
    if (mkdtemp(path) == nullptr)
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    m_path = path;
}

ScratchDirectory::~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string ScratchDirectory::WriteFile(const std::string& name, const std::string& text, unsigned mode) const {
    std::string path = m_path + "/" + name;
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush())
            throw std::runtime_error("cannot write " + path);
    }
    if (chmod(path.c_str(), mode) != 0)
        throw std::runtime_error("chmod " + path + ": " + std::strerror(errno));
    return path;
}

}  // namespace kelvotest
