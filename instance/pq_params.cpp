// The translation of a parameter set into wire-protocol keywords, and the
// split of `endpoint` into `host` and `port`.
#include "instance/pq_params.h"
#include "error/context_ids.h"

#include <stdexcept>
#include <utility>

#include "error/error.h"
#include "error/sqlstate.h"
#include "infra/options_value.h"
#include "instance/protocol_keywords.h"

namespace kelvoapi {
namespace {

constexpr char kMaskedValue[] = "********";

[[noreturn]] void ThrowOptionsConflict(std::string_view offending, ContextId contextId) {
    throw Error(kelvo::make_error_code(kelvo::Sqlstate::InvalidParameterValue),
                "The `options` parameter may not be combined with other parameters that represent options. " +
                    std::string(offending),
                contextId);
}

}  // namespace

PQParams::PQParams(std::deque<std::string>&& strings) : m_strings(std::move(strings)) {
    m_keywords.reserve(m_strings.size() / 2 + 1);
    m_values.reserve(m_strings.size() / 2 + 1);
    for (size_t i = 0; i + 1 < m_strings.size(); i += 2) {
        m_keywords.push_back(m_strings[i].c_str());
        m_values.push_back(m_strings[i + 1].c_str());
    }
    m_keywords.push_back(nullptr);
    m_values.push_back(nullptr);
}

PQParams ConvertToPQParams(const Parameters& parameters) {
    Parameters copy(parameters);
    copy.SplitEndpointParameter();

    std::deque<std::string> strings;
    handleDbname(copy, strings);

    std::string options;
    // The items as the conflict error shows them: an error text travels into
    // logs, so an encryption key is masked there as in the sanitized JSON.
    std::string shownOptions;
    bool sawOptionsKey = false;
    for (const auto& [name, value] : copy) {
        if (name == "options") {
            if (!options.empty())
                ThrowOptionsConflict(shownOptions, ContextIds::OptionsAfterSettings);
            sawOptionsKey = true;
            options = value;
            continue;
        }
        std::string_view mapped = mapParameterForCompatibility(name);
        if (isConnectionParameter(mapped)) {
            strings.emplace_back(mapped);
            strings.push_back(value);
            continue;
        }
        if (sawOptionsKey)
            ThrowOptionsConflict(mapped, ContextIds::SettingAfterOptions);
        // Such a name would split into further items or forge a value.
        if (!IsValidOptionsName(mapped)) {
            throw Error(kelvo::make_error_code(kelvo::Sqlstate::InvalidParameterValue),
                        "Invalid parameter name: \"" + std::string(mapped) +
                            "\", a parameter sent as an option must be non-empty and may contain neither white "
                            "space nor '='.",
                        ContextIds::InvalidOptionsName);
        }
        const std::string item = std::string(mapped) + "=";
        const std::string quoted = EscapeAndQuoteOptionsValue(value);
        if (!options.empty()) {
            options.push_back(' ');
            shownOptions.push_back(' ');
        }
        options += item + quoted;
        shownOptions += item + (name == "encryption_key" && !value.empty() ? kMaskedValue : quoted);
    }
    if (!options.empty()) {
        strings.emplace_back("options");
        strings.push_back(std::move(options));
    }
    return PQParams(std::move(strings));
}

void Parameters::SplitEndpointParameter() {
    auto endpoint = m_parameters.find("endpoint");
    if (endpoint == m_parameters.end())
        return;
    try {
        auto [host, port] = ParseEndpointDescriptor(endpoint->second);
        if (!Get("host").empty()) {
            throw Error(kelvo::make_error_code(kelvo::Sqlstate::InvalidParameterValue),
                        "Conflicting parameters: 'endpoint' and 'host' may not be specified at the same time!",
                        ContextIds::EndpointAndHost);
        }
        if (!Get("port").empty()) {
            throw Error(kelvo::make_error_code(kelvo::Sqlstate::InvalidParameterValue),
                        "Conflicting parameters: 'endpoint' and 'port' may not be specified at the same time!",
                        ContextIds::EndpointAndPort);
        }
        Set("host", host);
        Set("port", port);
        m_parameters.erase("endpoint");
    } catch (const Error&) {
        throw;
    } catch (const std::exception& e) {
        throw MakeError(e, ContextIds::SplitEndpointFailed);
    }
}

}  // namespace kelvoapi
