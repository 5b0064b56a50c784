// std::expected and std::unexpected: the standard library's where it has them,
// else a small stand-in with the same names and the part of the interface this
// program uses. Clang before 16 cannot compile libstdc++ 12's <expected> (it
// needs the concepts of C++20 in full), so a clang 14 build gets the stand-in.
#pragma once

#include <version>

#if defined(__cpp_lib_expected)
#include <expected>
#else

#include <exception>
#include <initializer_list>
#include <type_traits>
#include <utility>
#include <variant>

namespace std {

template <class E>
class unexpected {
public:
    template <class G = E>
        requires(!is_same_v<remove_cvref_t<G>, unexpected> && !is_same_v<remove_cvref_t<G>, in_place_t> &&
                 is_constructible_v<E, G>)
    constexpr explicit unexpected(G&& error) : error_(std::forward<G>(error)) {}

    constexpr const E& error() const& noexcept { return error_; }
    constexpr E& error() & noexcept { return error_; }
    constexpr E&& error() && noexcept { return std::move(error_); }

    friend constexpr bool operator==(const unexpected& a, const unexpected& b) { return a.error_ == b.error_; }

private:
    E error_;
};

template <class E>
unexpected(E) -> unexpected<E>;

template <class E>
class bad_expected_access : public exception {
public:
    explicit bad_expected_access(E error) : error_(std::move(error)) {}
    const char* what() const noexcept override { return "bad access to std::expected without expected value"; }
    const E& error() const& noexcept { return error_; }

private:
    E error_;
};

// A value of T or an error of E, held by index so that T and E may be alike.
template <class T, class E>
class expected {
public:
    using value_type = T;
    using error_type = E;

    constexpr expected()
        requires is_default_constructible_v<T>
        : state_(in_place_index<0>) {}

    template <class U = T>
        requires(!is_same_v<remove_cvref_t<U>, expected> && !is_same_v<remove_cvref_t<U>, in_place_t> &&
                 !is_same_v<remove_cvref_t<U>, unexpected<E>> && is_constructible_v<T, U>)
    constexpr expected(U&& value) : state_(in_place_index<0>, std::forward<U>(value)) {}

    template <class G>
        requires is_constructible_v<E, const G&>
    constexpr expected(const unexpected<G>& error) : state_(in_place_index<1>, error.error()) {}

    template <class G>
        requires is_constructible_v<E, G>
    constexpr expected(unexpected<G>&& error) : state_(in_place_index<1>, std::move(error).error()) {}

    template <class... Args>
    constexpr explicit expected(in_place_t, Args&&... args) : state_(in_place_index<0>, std::forward<Args>(args)...) {}

    constexpr bool has_value() const noexcept { return state_.index() == 0; }
    constexpr explicit operator bool() const noexcept { return has_value(); }

    constexpr const T& operator*() const& noexcept { return std::get<0>(state_); }
    constexpr T& operator*() & noexcept { return std::get<0>(state_); }
    constexpr T&& operator*() && noexcept { return std::get<0>(std::move(state_)); }
    constexpr const T* operator->() const noexcept { return &std::get<0>(state_); }
    constexpr T* operator->() noexcept { return &std::get<0>(state_); }

    constexpr const T& value() const& {
        if (!has_value()) throw bad_expected_access<E>(error());
        return **this;
    }
    constexpr T& value() & {
        if (!has_value()) throw bad_expected_access<E>(error());
        return **this;
    }
    constexpr T&& value() && {
        if (!has_value()) throw bad_expected_access<E>(error());
        return std::move(**this);
    }

    constexpr const E& error() const& noexcept { return std::get<1>(state_); }
    constexpr E& error() & noexcept { return std::get<1>(state_); }
    constexpr E&& error() && noexcept { return std::get<1>(std::move(state_)); }

    template <class U>
    constexpr T value_or(U&& fallback) const& {
        return has_value() ? **this : static_cast<T>(std::forward<U>(fallback));
    }
    template <class U>
    constexpr T value_or(U&& fallback) && {
        return has_value() ? std::move(**this) : static_cast<T>(std::forward<U>(fallback));
    }

    template <class... Args>
    constexpr T& emplace(Args&&... args) {
        return state_.template emplace<0>(std::forward<Args>(args)...);
    }

private:
    variant<T, E> state_;
};

// Success carries nothing.
template <class E>
class expected<void, E> {
public:
    using value_type = void;
    using error_type = E;

    constexpr expected() noexcept : state_(in_place_index<0>) {}

    template <class G>
        requires is_constructible_v<E, const G&>
    constexpr expected(const unexpected<G>& error) : state_(in_place_index<1>, error.error()) {}

    template <class G>
        requires is_constructible_v<E, G>
    constexpr expected(unexpected<G>&& error) : state_(in_place_index<1>, std::move(error).error()) {}

    constexpr bool has_value() const noexcept { return state_.index() == 0; }
    constexpr explicit operator bool() const noexcept { return has_value(); }
    constexpr void operator*() const noexcept {}

    constexpr void value() const {
        if (!has_value()) throw bad_expected_access<E>(error());
    }

    constexpr const E& error() const& noexcept { return std::get<1>(state_); }
    constexpr E& error() & noexcept { return std::get<1>(state_); }
    constexpr E&& error() && noexcept { return std::get<1>(std::move(state_)); }

private:
    variant<monostate, E> state_;
};

}  // namespace std

#endif
