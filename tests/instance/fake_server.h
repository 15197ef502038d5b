// Helpers for tests that start the fake server through the C interface.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "error/error.h"
#include "instance/instance.h"
#include "kelvo/instance.h"
#include "kelvo/parameters.h"
#include "support/error_ptr.h"

namespace kelvotest {

inline const std::string kFakeServerDirectory = FAKE_KELVOD_DIR;

template <typename T, void (*Release)(T*)>
struct Releaser {
    void operator()(T* object) const { Release(object); }
};
using ParametersPtr = std::unique_ptr<kelvo_parameters_t, Releaser<kelvo_parameters_t, kelvo_parameters_destroy>>;
using InstancePtr = std::unique_ptr<kelvo_instance_t, Releaser<kelvo_instance_t, kelvo_instance_close>>;

inline ParametersPtr MakeParameters(const std::map<std::string, std::string>& entries) {
    kelvo_parameters_t* raw = nullptr;
    ErrorPtr error(kelvo_create_instance_parameters(&raw, false));
    EXPECT_EQ(error, nullptr);
    ParametersPtr parameters(raw);
    for (const auto& [name, value] : entries)
        EXPECT_EQ(ErrorPtr(kelvo_parameters_set(raw, name.c_str(), value.c_str())), nullptr) << name;
    return parameters;
}

// "name=value name=value" as parameter entries.
inline std::map<std::string, std::string> Entries(const std::string& text) {
    std::map<std::string, std::string> entries;
    std::istringstream in(text);
    for (std::string item; in >> item;)
        entries[item.substr(0, item.find('='))] = item.substr(item.find('=') + 1);
    return entries;
}

struct StartResult {
    ErrorPtr error;
    InstancePtr instance;
};

// The telemetry value is passed as a C caller would pass it: any int.
inline StartResult Start(const std::map<std::string, std::string>& entries,
                         const std::string& directory = kFakeServerDirectory, int telemetry = 0) {
    using CreateFromC = kelvo_error_t* (*)(const char*, int, const kelvo_parameters_t*, kelvo_instance_t**);
    const auto create = reinterpret_cast<CreateFromC>(&kelvo_instance_create);
    ParametersPtr parameters = MakeParameters(entries);
    auto* sentinel = reinterpret_cast<kelvo_instance_t*>(0x1);
    kelvo_instance_t* instance = sentinel;
    StartResult result;
    result.error.reset(create(directory.c_str(), telemetry, parameters.get(), &instance));
    EXPECT_TRUE(!result.error || instance == sentinel) << "written on failure";
    if (!result.error)
        result.instance.reset(instance);
    return result;
}

inline pid_t ServerPid(kelvo_instance_t* instance) {
    return static_cast<kelvoapi::Instance*>(instance)->m_kelvoServerProcess->GetProcessId();
}

// The lines of the fake server's report, after their "<key> " prefix.
inline std::vector<std::string> ReportLines(const std::filesystem::path& report, const std::string& key) {
    std::vector<std::string> lines;
    std::ifstream in(report);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key + " ", 0) == 0)
            lines.push_back(line.substr(key.size() + 1));
    return lines;
}

// Whether the process is gone (or only a zombie no one waits for).
inline bool ProcessGone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return true;
    const auto close = line.rfind(')');
    return close != std::string::npos && line.size() > close + 2 && line[close + 2] == 'Z';
}

}  // namespace kelvotest
