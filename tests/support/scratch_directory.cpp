// See scratch_directory.h.
#include "scratch_directory.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace kelvotest {

ScratchDirectory::ScratchDirectory() : m_path(m_dir.path().string()) {}

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
