// What keeps an evaluation run in step with the world (see run_guards.hpp).
#include "run_guards.hpp"

namespace tavrin::evaluation_run {

namespace pf = pyface;

nb::str error_text(nb::handle exc) {
    nb::str text = nb::str(exc);
    if (nb::len(text) == 0)
        return nb::str(nb::handle((PyObject *)Py_TYPE(exc.ptr())).attr("__name__"));
    return text;
}

namespace {

constexpr pf::Params on_sigterm_params{pf::arg("signum"), pf::arg("frame")};
nb::object on_sigterm(pf::Call &c) {
    c.closure().attr("append")(c.arg<on_sigterm_params, "signum">());
    pf::raise(PyExc_KeyboardInterrupt, "SIGTERM");
}

const pf::FuncDef on_sigterm_def{
    .name = "on_sigterm",
    .qualname = "Evaluation.run.<locals>.on_sigterm",
    .params = on_sigterm_params,
    .body = on_sigterm,
};

} // namespace

SigtermGuard::SigtermGuard(nb::handle globals, nb::handle flag) {
    signal_ = nb::module_::import_("signal");
    nb::object handler = pf::make_function(on_sigterm_def, globals, flag);
    try {
        previous_ = signal_.attr("signal")(signal_.attr("SIGTERM"), handler);
        installed_ = true;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError)) // not the main thread: leave signals alone
            throw;
    }
}

SigtermGuard::~SigtermGuard() {
    if (!installed_)
        return;
    in_destructor("restoring the SIGTERM handler", [&] {
        nb::object previous = previous_.is_none() ? signal_.attr("SIG_DFL") : previous_;
        signal_.attr("signal")(signal_.attr("SIGTERM"), previous);
    });
}

JournalGuard::~JournalGuard() {
    if (!journal_.is_valid())
        return;
    in_destructor("closing the evaluation journal", [&] { journal_.attr("close")(); });
}

} // namespace tavrin::evaluation_run
