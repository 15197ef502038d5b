// The C entry points of connections: connect, disconnect, cancel, ping, the
// status queries and the settings. The queries and setters answer a null
// handle as they would a closed connection instead of crashing.
#include <cstring>
#include <string>

#include "api/connection.h"
#include "error/context_ids.h"
#include "error/frame.h"
#include "error/invalid_argument.h"
#include "error/sqlstate.h"
#include "instance/instance.h"
#include "kelvo/connection.h"
#include "postgres/libpq/parameter_status.h"

namespace {

// The caller's set with the client identification that the server logs.
kelvoapi::Parameters WithClientIdentification(const kelvoapi::Parameters& parameters) {
    kelvoapi::Parameters copy(parameters);
    copy.Set("dorvane_api", "1");
    copy.Set("user_agent", "External API");
    std::string language(copy.Get("api_language"));
    if (language.empty()) {
        language = "C";
    }
    copy.Set("client_info", language + ",Linux," + kelvoapi::LibraryVersion);
    copy.Erase("api_language");
    return copy;
}
}  // namespace

kelvo_error_t* kelvo_connect(const kelvo_parameters_t* parameters, kelvo_connection_t** connection,
                             kelvo_create_mode_t mode) {
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(parameters, "parameters", kelvoapi::ContextIds::Connect);
            kelvoapi::ThrowIfNull(connection, "connection", kelvoapi::ContextIds::Connect);
            const auto& given = *static_cast<const kelvoapi::Parameters*>(parameters);
            const std::string_view endpoint = given.Get("endpoint");
            if (endpoint.empty()) {
                throw kelvoapi::Error(kelvo::make_error_code(kelvo::Sqlstate::SqlclientUnableToEstablishSqlconnection),
                                      "Missing endpoint parameter", kelvoapi::ContextIds::MissingEndpoint);
            }
            if (!kelvoapi::Instance::isLocalEndpoint(endpoint)) {
                throw kelvoapi::Error(
                    kelvo::make_error_code(kelvo::Sqlstate::SqlclientUnableToEstablishSqlconnection),
                    "Could not connect to the Kelvo server: The given endpoint doesn't belong to a started "
                    "KelvoProcess",
                    kelvoapi::ContextIds::ForeignEndpoint);
            }
            // Read as an integer: a value outside the enumeration must reach
            // the mode check, not be loaded as an enumerator.
            int modeValue = 0;
            std::memcpy(&modeValue, &mode, sizeof modeValue);
            auto inner = std::make_shared<kelvoapi::Connection>(WithClientIdentification(given), modeValue);
            *connection = new kelvo_connection_t(std::move(inner));
        },
        kelvoapi::ContextIds::Connect);
}

void kelvo_disconnect(kelvo_connection_t* connection) { delete connection; }

kelvo_error_t* kelvo_cancel(kelvo_connection_t* connection) {
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(connection, "connection", kelvoapi::ContextIds::Cancel);
            connection->Get().Cancel();
        },
        kelvoapi::ContextIds::Cancel);
}

kelvo_error_t* kelvo_ping(const kelvo_parameters_t* parameters, kelvo_ping_status_t* ping_status) {
    return kelvoapi::WrapErrorThrowingBlock(
        [&] {
            kelvoapi::ThrowIfNull(parameters, "parameters", kelvoapi::ContextIds::Ping);
            kelvoapi::ThrowIfNull(ping_status, "ping_status", kelvoapi::ContextIds::Ping);
            *ping_status =
                static_cast<kelvo_ping_status_t>(kelvoapi::Ping(*static_cast<const kelvoapi::Parameters*>(parameters)));
        },
        kelvoapi::ContextIds::Ping);
}

kelvo_connection_status_t kelvo_connection_status(kelvo_connection_t* connection) {
    return connection == nullptr ? KELVO_CONNECTION_BAD : connection->Get().GetStatus();
}

bool kelvo_connection_is_ready(kelvo_connection_t* connection) {
    return connection != nullptr && connection->Get().IsReady();
}

const char* kelvo_connection_parameter_status(const kelvo_connection_t* connection, const char* parameter_name) {
    if (connection == nullptr || parameter_name == nullptr) {
        return nullptr;
    }
    return PQparameterStatus(connection->Get().GetPGconn(), parameter_name);
}

void kelvo_set_chunked_mode(kelvo_connection_t* connection, bool chunked_mode) {
    if (connection != nullptr) {
        connection->Get().SetChunkedMode(chunked_mode);
    }
}

void kelvo_set_prefetch_threshold(kelvo_connection_t* connection, size_t prefetch_threshold) {
    if (connection != nullptr) {
        connection->Get().SetPrefetchThreshold(prefetch_threshold);
    }
}

kelvo_notice_receiver_t kelvo_set_notice_receiver(kelvo_connection_t* connection, kelvo_notice_receiver_t receiver,
                                                  void* context) {
    return connection == nullptr ? nullptr : connection->Get().SetNoticeReceiver(receiver, context);
}
