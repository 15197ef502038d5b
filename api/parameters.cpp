// C entry points of parameter sets.
#include <new>

#include "error/context_ids.h"
#include "error/frame.h"
#include "error/invalid_argument.h"
#include "instance/parameters.h"

namespace {

kelvoapi::Parameters& AsParameters(kelvo_parameters_t* parameters) {
    return *static_cast<kelvoapi::Parameters*>(parameters);
}

const kelvoapi::Parameters& AsParameters(const kelvo_parameters_t* parameters) {
    return *static_cast<const kelvoapi::Parameters*>(parameters);
}

}  // namespace

kelvo_error_t* kelvo_create_instance_parameters(kelvo_parameters_t** parameters, bool use_defaults) {
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(parameters, "parameters", kelvoapi::ContextIds::CreateInstanceParameters);
            *parameters = new kelvoapi::InstanceParameters(use_defaults);
        },
        kelvoapi::ContextIds::CreateInstanceParameters);
}

kelvo_parameters_t* kelvo_parameters_copy(const kelvo_parameters_t* parameters_) {
    if (parameters_ == nullptr)
        return nullptr;
    try {
        return new kelvoapi::Parameters(AsParameters(parameters_));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

kelvo_error_t* kelvo_parameters_set(kelvo_parameters_t* parameters, const char* key, const char* value) {
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(parameters, "parameters", kelvoapi::ContextIds::ParametersSet);
            kelvoapi::ThrowIfNull(key, "key", kelvoapi::ContextIds::ParametersSet);
            kelvoapi::ThrowIfNull(value, "value", kelvoapi::ContextIds::ParametersSet);
            AsParameters(parameters).Set(key, value);
        },
        kelvoapi::ContextIds::ParametersSet);
}

void kelvo_parameters_destroy(kelvo_parameters_t* parameters_) {
    delete static_cast<kelvoapi::Parameters*>(parameters_);
}
