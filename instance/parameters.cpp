// Parameter sets, their validation and the instance defaults.
#include "instance/parameters.h"
#include "error/context_ids.h"

#include <filesystem>
#include <stdexcept>

#include "error/error.h"
#include "error/sqlstate.h"
#include "instance/client_side_settings.h"
#include "instance/random_string.h"
#include "ipc/connection_descriptor.h"

namespace kelvoapi {

const std::string defaultLogConfig = "file,json,all,kelvod,0";

namespace {

// Only A to Z: the rule must not change with the application's locale.
bool HasCapitalLetter(std::string_view name) {
    for (char c : name) {
        if (c >= 'A' && c <= 'Z')
            return true;
    }
    return false;
}

void ValidateEntry(std::string_view name, std::string_view value) {
    if (name == "endpoint")
        ParseEndpointDescriptor(value);
    if (name.find('-') != std::string_view::npos) {
        throw Error(kelvo::make_error_code(kelvo::Sqlstate::InvalidName),
                    "Invalid parameter name: " + std::string(name) + ", minus '-' is not allowed in parameter names.",
                    ContextIds::NameWithMinus);
    }
    if (HasCapitalLetter(name)) {
        throw Error(
            kelvo::make_error_code(kelvo::Sqlstate::InvalidName),
            "Invalid parameter name: " + std::string(name) + ", capital letters are not allowed in parameter names.",
            ContextIds::NameWithCapital);
    }
    if (name == "log_config" && !value.empty() && value != defaultLogConfig) {
        throw Error(kelvo::make_error_code(kelvo::Sqlstate::InvalidParameterValue),
                    "Only the empty string is supported as value for the \"log_config\" parameter.",
                    ContextIds::LogConfigValue);
    }
}

// The standard library's temporary directory joined with a fresh name.
std::string RandomDatabasePath() {
    return (std::filesystem::temp_directory_path() / ("kelvo_db_" + GenerateRandomPrintableString(8))).string();
}

}  // namespace

std::string_view Parameters::Get(const std::string& name) const {
    auto found = m_parameters.find(name);
    if (found == m_parameters.end())
        return {};
    return found->second;
}

bool Parameters::ContainsKey(const std::string& name) const { return m_parameters.count(name) != 0; }

void Parameters::Set(std::string_view name, std::string_view value) {
    try {
        ValidateEntry(name, value);
        std::string key(name);
        auto found = m_parameters.find(key);
        if (found != m_parameters.end()) {
            found->second.assign(value);
        } else {
            m_parameters.emplace(std::move(key), std::string(value));
        }
    } catch (const Error&) {
        throw;
    } catch (const std::exception& e) {
        throw MakeError(e, ContextIds::ParameterSetFailed);
    }
}

void Parameters::Erase(std::string_view name) {
    auto found = m_parameters.find(std::string(name));
    if (found != m_parameters.end())
        m_parameters.erase(found);
}

InstanceParameters::InstanceParameters(bool useDefaults) {
    if (!useDefaults)
        return;
    Set("init_user", "pellory_internal_user");
    Set("language", "en_US");
    Set("log_config", defaultLogConfig);
    Set("date_style", "MDY");
    Set("init", "overwrite");
    Set("no_password", "true");
    Set("log_dir", std::filesystem::current_path().string());
    Set("database", RandomDatabasePath());
    Set(getClientSideSettingName(ClientSideSetting::AutoDeleteDatabases), "true");
    Set("date_style_lenient", "false");
}

std::pair<std::string, std::string> ParseEndpointDescriptor(std::string_view descriptor) {
    std::unique_ptr<IPC_ConnectionDescriptor> parsed = IPC_ConnectionDescriptor::Parse(descriptor);
    if (auto* tcp = dynamic_cast<const IPC_SocketConnectionDescriptor*>(parsed.get())) {
        return {tcp->GetHostName(), std::to_string(tcp->GetPort())};
    }
    if (auto* domain = dynamic_cast<const IPC_DomainSocketConnectionDescriptor*>(parsed.get())) {
        // The client forms the socket path "<host>/.s.PGSQL.<port>", so the
        // number after the name's last '.' is what reaches the server's socket.
        const std::string& name = domain->GetDomainName();
        const size_t dot = name.rfind('.');
        return {domain->GetDirectoryName(), dot == std::string::npos ? name : name.substr(dot + 1)};
    }
    auto& pipe = dynamic_cast<const IPC_NamedPipeConnectionDescriptor&>(*parsed);
    return {"//" + pipe.GetHostName() + "/pipe/" + pipe.GetPipeName(), std::string()};
}

}  // namespace kelvoapi
