// pyface internals: the compile-time part of reading arguments by name.
// Not for module code; use Params and Call::args() from pyface.hpp.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>

namespace pyface {
struct Param;
}

namespace pyface::detail {

// A parameter name as a template argument: c.args<table, "json_path">().
template <size_t N> struct Name {
    char text[N]{};
    consteval Name(const char (&s)[N]) { std::copy_n(s, N, text); }
};

constexpr bool same_name(const char *a, const char *b) {
    if (!a || !b)
        return false;
    while (*a && *a == *b)
        ++a, ++b;
    return *a == *b;
}

inline constexpr size_t not_found = ~size_t(0);

// True if the parameter name `a` is `name`. Stops at the first difference,
// so neither string is read past its end. (No null test: in a constant
// expression, sanitizer builds refuse comparing these addresses with null,
// and a declared parameter always has a name.)
template <size_t N> consteval bool is_name(const char *a, const Name<N> &name) {
    for (size_t k = 0; k < N; ++k)
        if (a[k] != name.text[k])
            return false;
    return true;
}

// Position of `name` in the parameter table `params`, worked out by the
// compiler; not_found when the table has no such parameter.
template <const auto &params, Name name> consteval size_t position() {
    for (size_t i = 0; i < params.size(); ++i)
        if (is_name(params.list[i].name, name))
            return i;
    return not_found;
}

// The SystemError of a body reading a table that is not its function's.
[[noreturn, gnu::cold]] void raise_table_mismatch(const char *function, const char *param);

} // namespace pyface::detail
