// The object behind an instance handle, and the registry of the endpoints of
// the servers this library started: a connection may only be opened to one
// of those.
#pragma once

#include <chrono>
#include <memory>
#include <string_view>

#include "instance/kelvo_process.h"
#include "kelvo/instance.h"

struct kelvo_instance_t {};

namespace kelvoapi {

class Instance : public kelvo_instance_t {
public:
    explicit Instance(std::unique_ptr<KelvoProcess> process = nullptr);

    void Shutdown(std::chrono::milliseconds timeout);

    // Whether a live instance of this process serves on exactly this text.
    static bool isLocalEndpoint(std::string_view endpoint);
    // Adds one registration of the text; equal texts are counted, so that
    // releasing one of two instances leaves the other registered.
    static void RegisterEndpoint(std::string_view endpoint);
    static void UnregisterEndpoint(std::string_view endpoint);

    std::unique_ptr<KelvoProcess> m_kelvoServerProcess;
};

}  // namespace kelvoapi
