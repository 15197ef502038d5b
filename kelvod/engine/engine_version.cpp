// The engine version check made at start-up.
#include "kelvod/engine/engine_version.h"

#include <cctype>

namespace kelvod {

bool EngineVersionSupported(const std::string& version) {
    size_t i = !version.empty() && (version[0] == 'v' || version[0] == 'V') ? 1 : 0;
    auto number = [&](long& out) {
        size_t start = i;
        out = 0;
        while (i < version.size() && std::isdigit(static_cast<unsigned char>(version[i])) && out < 100000)
            out = out * 10 + (version[i++] - '0');
        return i > start;
    };
    long major = 0, minor = 0;
    if (!number(major))
        return false;
    if (i >= version.size() || version[i] != '.')
        return false;
    ++i;
    if (!number(minor))
        return false;
    return major > 1 || (major == 1 && minor >= 5);
}

}  // namespace kelvod
