// Instances and the endpoint registry.
#include "instance/instance.h"

#include <mutex>
#include <string>
#include <unordered_map>

namespace kelvoapi {

namespace {

struct EndpointRegistry {
    std::mutex mutex;
    std::unordered_map<std::string, size_t> counts;
};

// Never destroyed: an instance may be released from an application's static
// destructors, after this library's statics are gone.
EndpointRegistry& Registry() {
    static EndpointRegistry* const registry = new EndpointRegistry;
    return *registry;
}

}  // namespace

Instance::Instance(std::unique_ptr<KelvoProcess> process) : m_kelvoServerProcess(std::move(process)) {}

void Instance::Shutdown(std::chrono::milliseconds timeout) { m_kelvoServerProcess->Shutdown(timeout); }

bool Instance::isLocalEndpoint(std::string_view endpoint) {
    EndpointRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    return registry.counts.count(std::string(endpoint)) != 0;
}

void Instance::RegisterEndpoint(std::string_view endpoint) {
    EndpointRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    ++registry.counts[std::string(endpoint)];
}

void Instance::UnregisterEndpoint(std::string_view endpoint) {
    EndpointRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    const auto found = registry.counts.find(std::string(endpoint));
    if (found != registry.counts.end() && --found->second == 0)
        registry.counts.erase(found);
}

}  // namespace kelvoapi
