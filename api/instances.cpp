// C entry points of instances and of connection parameter sets.
#include <cstring>
#include <memory>
#include <new>
#include <system_error>

#include "error/context_ids.h"
#include "error/frame.h"
#include "error/invalid_argument.h"
#include "error/system_error_sqlstate.h"
#include "instance/connection_parameters.h"
#include "instance/instance.h"
#include "instance/server_location.h"
#include "kelvo/instance.h"

namespace {

using kelvoapi::ContextId;
using kelvoapi::Error;

constexpr const char* kStartFailedMessage = "Failed to start a new Kelvo instance.";

kelvoapi::Instance* AsInstance(kelvo_instance_t* instance) { return static_cast<kelvoapi::Instance*>(instance); }

const kelvoapi::Instance* AsInstance(const kelvo_instance_t* instance) {
    return static_cast<const kelvoapi::Instance*>(instance);
}

std::unique_ptr<kelvoapi::Instance> StartInstance(const char* kelvo_path, const kelvo_telemetry_t& telemetry,
                                                  const kelvo_parameters_t* parameters) {
    auto instance = std::make_unique<kelvoapi::Instance>();
    const std::filesystem::path directory = kelvo_path == nullptr || *kelvo_path == '\0'
                                                ? kelvoapi::FindKelvoDirectory()
                                                : std::filesystem::path(kelvo_path);
    std::unique_ptr<kelvoapi::Parameters> startParameters;
    if (parameters != nullptr) {
        startParameters = std::make_unique<kelvoapi::Parameters>(*static_cast<const kelvoapi::Parameters*>(parameters));
    } else {
        startParameters = std::make_unique<kelvoapi::InstanceParameters>(true);
    }
    // A C caller may pass any int; it is read as one, never as the enum.
    int telemetryValue = 0;
    std::memcpy(&telemetryValue, &telemetry, sizeof telemetryValue);
    if (telemetryValue == KELVO_ENABLE_TELEMETRY)
        startParameters->Set("telemetry_opt_in", "");

    auto process = std::make_unique<kelvoapi::KelvoProcess>(directory);
    process->Start(*startParameters);
    instance->m_kelvoServerProcess = std::move(process);
    kelvoapi::Instance::RegisterEndpoint(instance->m_kelvoServerProcess->GetConnectionDescriptor());
    return instance;
}

// Takes the instance's endpoint out of the registry before its process, which
// holds the text, goes away.
void Unregister(kelvoapi::Instance& instance) {
    if (instance.m_kelvoServerProcess)
        kelvoapi::Instance::UnregisterEndpoint(instance.m_kelvoServerProcess->GetConnectionDescriptor());
}

}  // namespace

kelvo_error_t* kelvo_instance_create(const char* kelvo_path, kelvo_telemetry_t telemetry,
                                     const kelvo_parameters_t* parameters, kelvo_instance_t** instance_) {
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            // Refused before anything starts: a server started for nobody would
            // only be shut down again.
            kelvoapi::ThrowIfNull(instance_, "instance_", kelvoapi::ContextIds::InstanceCreate);
            try {
                *instance_ = StartInstance(kelvo_path, telemetry, parameters).release();
            } catch (Error& e) {
                Error error(kelvo::make_error_code(kelvo::Sqlstate::SystemError), kStartFailedMessage,
                            kelvoapi::ContextIds::StartFailed);
                error.SetCause(std::move(e));
                throw error;
            } catch (const std::system_error& e) {
                Error error(kelvo::make_error_code(kelvo::mapToSqlstate(e.code(), kelvo::Sqlstate::SystemError)),
                            kStartFailedMessage, kelvoapi::ContextIds::StartFailedSystem);
                error.SetCause(kelvoapi::MakeError(e, kelvoapi::ContextIds::StartFailedSystemCause));
                throw error;
            } catch (const std::runtime_error& e) {
                throw Error(kelvo::make_error_code(kelvo::Sqlstate::SystemError), e.what(),
                            kelvoapi::ContextIds::StartFailedRuntime);
            }
        },
        kelvoapi::ContextIds::InstanceCreate);
}

const char* kelvo_instance_get_endpoint_descriptor(const kelvo_instance_t* instance_) {
    const auto* instance = AsInstance(instance_);
    if (instance == nullptr)
        return "";
    return instance->m_kelvoServerProcess ? instance->m_kelvoServerProcess->GetConnectionDescriptor().c_str() : "";
}

bool kelvo_instance_get_exit_code(kelvo_instance_t* instance_, int* exit_code) {
    // No frame here: nothing may leave this function as an exception.
    try {
        auto* instance = AsInstance(instance_);
        if (instance == nullptr || exit_code == nullptr || !instance->m_kelvoServerProcess)
            return false;
        const std::optional<int> code = instance->m_kelvoServerProcess->getExitCode();
        if (!code)
            return false;
        *exit_code = *code;
        return true;
    } catch (...) {
        return false;
    }
}

kelvo_error_t* kelvo_instance_shutdown(kelvo_instance_t* instance_, int timeoutMs) {
    std::unique_ptr<kelvoapi::Instance> instance(AsInstance(instance_));
    if (!instance)
        return nullptr;
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            Unregister(*instance);
            if (instance->m_kelvoServerProcess)
                instance->Shutdown(std::chrono::milliseconds(timeoutMs));
        },
        kelvoapi::ContextIds::InstanceShutdown);
}

void kelvo_instance_close(kelvo_instance_t* instance_) {
    std::unique_ptr<kelvoapi::Instance> instance(AsInstance(instance_));
    if (!instance)
        return;
    try {
        Unregister(*instance);
    } catch (...) {
    }
}

kelvo_error_t* kelvo_create_connection_parameters(const kelvo_instance_t* instance_, kelvo_parameters_t** parameters) {
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(parameters, "parameters", kelvoapi::ContextIds::CreateConnectionParameters);
            const kelvoapi::KelvoProcess* process = nullptr;
            if (instance_ != nullptr) {
                process = AsInstance(instance_)->m_kelvoServerProcess.get();
                if (process == nullptr) {
                    throw Error(kelvo::make_error_code(kelvo::Sqlstate::InvalidParameterValue),
                                "The given instance is not valid.", kelvoapi::ContextIds::InvalidInstance);
                }
            }
            *parameters = std::make_unique<kelvoapi::ConnectionParameters>(process).release();
        },
        kelvoapi::ContextIds::CreateConnectionParameters);
}
