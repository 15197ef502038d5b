// Parameter sets: the name-to-value tables in which the configuration of a
// server instance and of a database connection travels. The C handle
// kelvo_parameters_t is the Parameters object itself.
//
// Names are validated when they are set (no '-', no capital letter); the
// `endpoint` value must be a valid endpoint descriptor and `log_config` may
// only be empty or the default. Values are arbitrary texts.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "kelvo/parameters.h"

struct kelvo_parameters_t {};

namespace kelvoapi {

// The only non-empty value accepted for `log_config`.
extern const std::string defaultLogConfig;

class Parameters : public kelvo_parameters_t {
public:
    // Sorted by name in byte order; the translations walk it in that order.
    using Representation = std::map<std::string, std::string>;
    using const_iterator = Representation::const_iterator;

    Parameters() = default;
    Parameters(const Parameters&) = default;
    Parameters& operator=(const Parameters&) = default;
    Parameters(Parameters&&) = default;
    Parameters& operator=(Parameters&&) = default;
    // Sets of every kind are freed through a Parameters pointer.
    virtual ~Parameters() = default;

    // The value, or an empty view with a null data pointer when the name is
    // absent (an empty value has a non-null data pointer).
    std::string_view Get(const std::string& name) const;
    bool ContainsKey(const std::string& name) const;
    // Validates, then inserts or replaces; throws kelvoapi::Error and leaves
    // the set unchanged on failure.
    void Set(std::string_view name, std::string_view value);
    void Erase(std::string_view name);

    const_iterator begin() const { return m_parameters.begin(); }
    const_iterator end() const { return m_parameters.end(); }

    // The set as JSON for the log, with secret values masked; reports its own
    // failures inside the returned text.
    std::string ToSanitizedJson() const;
    // Replaces `endpoint` by `host` and `port`; throws kelvoapi::Error.
    void SplitEndpointParameter();

private:
    Representation m_parameters;
};

// An empty set, or the instance defaults with a fresh random database name.
class InstanceParameters : public Parameters {
public:
    explicit InstanceParameters(bool useDefaults);
};

// The wire-protocol client's host and port for an endpoint descriptor; throws
// what IPC_ConnectionDescriptor::Parse throws.
std::pair<std::string, std::string> ParseEndpointDescriptor(std::string_view descriptor);

}  // namespace kelvoapi
