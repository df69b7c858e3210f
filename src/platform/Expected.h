#pragma once

#include <cassert>
#include <utility>
#include <variant>

namespace tarnwick {

// The error half of an Expected, spelled out at the return site: `return Unexpected(error);`
template <typename E>
class Unexpected {
public:
    explicit Unexpected(E error) : error_(std::move(error)) {}
    const E& error() const& { return error_; }
    E&& error() && { return std::move(error_); }

private:
    E error_;
};

// The result of a call that may fail: either a value or an error that says why.
// A small stand-in for std::expected, which this compiler only offers from C++23.
template <typename T, typename E>
class [[nodiscard]] Expected {
public:
    Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    template <typename G>
    Expected(Unexpected<G> error) : state_(std::in_place_index<1>, std::move(error).error()) {}

    bool hasValue() const { return state_.index() == 0; }
    explicit operator bool() const { return hasValue(); }

    T& value() & { return checkedValue(); }
    const T& value() const& { return const_cast<Expected*>(this)->checkedValue(); }
    T&& value() && { return std::move(checkedValue()); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const E& error() const& {
        assert(!hasValue());
        return std::get<1>(state_);
    }
    E&& error() && {
        assert(!hasValue());
        return std::get<1>(std::move(state_));
    }

private:
    T& checkedValue() {
        assert(hasValue());
        return std::get<0>(state_);
    }

    std::variant<T, E> state_;
};

// Expected<void, E>: success carries nothing.
template <typename E>
class [[nodiscard]] Expected<void, E> {
public:
    Expected() = default;
    template <typename G>
    Expected(Unexpected<G> error) : error_(std::move(error).error()), failed_(true) {}

    bool hasValue() const { return !failed_; }
    explicit operator bool() const { return hasValue(); }
    const E& error() const& {
        assert(failed_);
        return error_;
    }

private:
    E error_{};
    bool failed_ = false;
};

} // namespace tarnwick
