// What the judges share about the executed guidance programs they get back.
#pragma once

#include "pyface/pyface.hpp"

namespace judges {

namespace nb = nanobind;

// A guidance program that fails while it runs (a model request that fails, a
// template error) returns the executed program with the error kept on it
// instead of raising it. Raise that error, so that it reaches the caller as
// itself rather than as a missing program variable.
inline void raise_program_error(nb::handle judgment) {
    nb::object error = nb::getattr(judgment, "_exception", nb::none());
    if (PyExceptionInstance_Check(error.ptr()))
        pyface::raise_object(error);
}

// judgment[name] == "YES": only the exact string YES is a yes.
inline nb::object is_yes(nb::handle judgment, const char *name) {
    nb::object answer = judgment[nb::str(name)];
    return pyface::owned(PyObject_RichCompare(answer.ptr(), nb::str("YES").ptr(), Py_EQ));
}

} // namespace judges
