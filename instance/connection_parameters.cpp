// Connection parameter defaults.
#include "instance/connection_parameters.h"

namespace kelvoapi {

ConnectionParameters::ConnectionParameters(const KelvoProcess* process) {
    Set("dbname", "[]");
    Set("user", "pellory_internal_user");
    Set("result_format_code", "KelvoBinary");
    Set("requested_protocol_version", "1");
    Set("extra_float_digits", "2");
    Set("two_digit_year_threshold", "40");
    Set("allow_redirects", "true");
    if (process != nullptr)
        Set("endpoint", process->GetConnectionDescriptor());
}

}  // namespace kelvoapi
