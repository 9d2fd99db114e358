// pyface internals shared by the kit's own sources and the inline parts of
// pyface.hpp: the guards at every entry point from CPython and the module
// definition behind PYFACE_MODULE. Not for module code.
#pragma once

#include <nanobind/nanobind.h>

namespace pyface {
class Module;
PyObject *translate_current_exception() noexcept;
}

namespace pyface::detail {

namespace nb = nanobind;

// Runs `f` (returning nb::object) and hands its result to CPython; nothing
// C++ escapes. The error path is translate_current_exception(), out of line.
template <class F> PyObject *guard(F &&f) noexcept {
    try {
        return f().release().ptr();
    } catch (...) {
        return translate_current_exception();
    }
}
template <class F> int guard_int(F &&f) noexcept {
    try {
        f();
        return 0;
    } catch (...) {
        translate_current_exception();
        return -1;
    }
}

// The body of a module definition: adds the kit's exception translator to
// nanobind's chain (once per module binary) and runs `body` on the module.
// Exceptions propagate to NB_MODULE, which reports them as nanobind does.
void run_module(nb::handle module, void (*body)(Module &));

} // namespace pyface::detail
