// Gives a variable a value for one scope and restores the old one on every way
// out, so that a session flag cannot stay set after a thrown error.
#pragma once

#include <utility>

namespace kelvod {

template <typename T>
class ScopedValue {
public:
    ScopedValue(T& variable, T value) : m_variable(variable), m_old(std::exchange(variable, std::move(value))) {}
    ~ScopedValue() { m_variable = std::move(m_old); }
    ScopedValue(const ScopedValue&) = delete;
    ScopedValue& operator=(const ScopedValue&) = delete;

private:
    T& m_variable;
    T m_old;
};

}  // namespace kelvod
