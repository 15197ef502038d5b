// The handle templates of the C interface for objects that share a
// connection. A connection lives as long as its own handle or any rowset or
// inserter handle made from it: each handle holds one share.
//
// kelvo_connection_t (over kelvoapi::Connection) derives from
// kelvo_external_ptr; kelvo_rowset_t and kelvo_inserter_t derive from
// kelvo_connection_dependent_ptr. Releasing any of them is `delete` through
// the virtual destructor.
#pragma once

#include <memory>
#include <utility>

struct kelvo_connection_t;

template <typename T>
struct kelvo_external_ptr {
    using element_type = T;
    using inner_ptr = std::shared_ptr<T>;

    kelvo_external_ptr() = default;
    explicit kelvo_external_ptr(inner_ptr inner) noexcept : m_inner(std::move(inner)) {}
    kelvo_external_ptr(const kelvo_external_ptr&) = default;
    kelvo_external_ptr& operator=(const kelvo_external_ptr&) = default;
    virtual ~kelvo_external_ptr() = default;

    T& Get() const noexcept { return *m_inner; }

    inner_ptr m_inner;
};

// ConnectionHandle is kelvo_connection_t everywhere but in tests; it is a
// parameter so that this header needs no connection type.
template <typename T, typename ConnectionHandle = kelvo_connection_t>
struct kelvo_connection_dependent_ptr : kelvo_external_ptr<T> {
    using connection_handle = ConnectionHandle;

    kelvo_connection_dependent_ptr(typename kelvo_external_ptr<T>::inner_ptr inner, const ConnectionHandle& connection)
        : kelvo_external_ptr<T>(std::move(inner)), m_connection(connection) {}

    // The inner object goes first, while this handle's connection share still
    // keeps the connection alive: closing a rowset or finishing an insertion
    // may still talk to the server and mark the connection ready again.
    ~kelvo_connection_dependent_ptr() override { this->m_inner.reset(); }

    const ConnectionHandle m_connection;
};

namespace kelvoapi {

// Creates the inner object of a dependent handle in one shared allocation
// from the connection's inner object, and a handle over it that holds a copy
// of `connection`; stores the new handle in `*handle` only when all of it was
// made. Handle must be constructible from (inner_ptr, const connection_handle&).
template <typename Handle>
void make_external(Handle** handle, const typename Handle::connection_handle& connection) {
    auto inner = std::make_shared<typename Handle::element_type>(*connection.m_inner);
    *handle = new Handle(std::move(inner), connection);
}

}  // namespace kelvoapi
