// The generators of the self-test module.
#include "generators.hpp"

#include <string>

namespace pf = pyface;
namespace nb = nanobind;

namespace selftest {

namespace {

// def count(n): for i in range(n): yield i    (as a coroutine)
pf::Generator count_body(long long n, nb::handle sentinel) {
    for (long long i = 0; i < n; ++i) {
        if (i == 3 && sentinel.ptr() != Py_None && nb::cast<std::string>(sentinel) == "raise")
            pf::raise(PyExc_RuntimeError, "stopped at %lld", i);
        co_yield nb::int_(i);
    }
}
constexpr pf::Params count_params{pf::arg("n", "int"), pf::arg("mode").none()};
nb::object count(pf::Call &c) {
    auto [n, mode] = c.args<count_params, "n", "mode">();
    return pf::make_iterator(count_body(nb::cast<long long>(n), mode), nb::make_tuple(mode));
}

// def trace(log):
//     log.append("started"); yield 1; log.append("resumed"); yield 2; log.append("finished")
pf::Generator trace_body(nb::handle log) {
    // a reference the frame owns across suspensions: dropped when the frame is
    // destroyed (the GC does not see it, so no cycle may run through it)
    nb::object held = nb::borrow(log);
    held.attr("append")("started");
    co_yield nb::int_(1);
    held.attr("append")("resumed");
    co_yield nb::int_(2);
    held.attr("append")("finished");
}
constexpr pf::Params trace_params{pf::arg("log")};
nb::object trace(pf::Call &c) {
    nb::handle log = c.arg<trace_params, "log">();
    return pf::make_iterator(trace_body(log), nb::make_tuple(log));
}

} // namespace

const pf::FuncDef count_def{.name = "count", .params = count_params, .body = count};
const pf::FuncDef trace_def{.name = "trace", .params = trace_params, .body = trace};

} // namespace selftest
