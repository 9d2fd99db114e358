// tavrin._pyface_selftest: a small module that exercises every part of the
// pyface kit, for the kit's own tests.
#include "pyface/pyface.hpp"

#include <stdexcept>

namespace pf = pyface;
namespace nb = nanobind;
using namespace nb::literals;

namespace {

// def run(self, json_path: str, markdown_path: Optional[str] = None, verbose: bool = False)
nb::object signature_demo(pf::Call &c) {
    return nb::make_tuple(c[0], c[1], c[2], c[3]);
}
const pf::FuncDef signature_demo_def{
    .name = "signature_demo",
    .doc = "Return the bound arguments.",
    .params = {pf::arg("self"), pf::arg("json_path", "str"),
               pf::arg("markdown_path", "Optional[str]").none(),
               pf::arg("verbose", "bool").dflt(false)},
    .body = signature_demo,
};

// def typed(s: str, i: int, l: list, d: dict, f: float, o: Optional[list] = None, *, k: str = "x") -> str
nb::object typed(pf::Call &c) {
    return nb::make_tuple(c[0], c[1], c[2], c[3], c[4], c[5], c[6]);
}
const pf::FuncDef typed_def{
    .name = "typed",
    .params = {pf::arg("s", "str"), pf::arg("i", "int"), pf::arg("l", "list"),
               pf::arg("d", "dict"), pf::arg("f", "float"),
               pf::arg("o", "Optional[list]").none(), pf::arg("k", "str").dflt("x").kwonly()},
    .body = typed,
    .returns = "str",
};

// def collect(a, *args, **kwargs)
nb::object collect(pf::Call &c) { return nb::make_tuple(c[0], c[1], c[2]); }
const pf::FuncDef collect_def{
    .name = "collect",
    .params = {pf::arg("a"), pf::varargs("args"), pf::varkw("kwargs")},
    .body = collect,
};

// def make_adder(n): def adder(x): return x + n; return adder
nb::object adder(pf::Call &c) { return c[0] + c.closure(); }
const pf::FuncDef adder_def{
    .name = "adder",
    .qualname = "make_adder.<locals>.adder",
    .params = {pf::arg("x")},
    .body = adder,
};
nb::object make_adder(pf::Call &c) { return pf::make_function(adder_def, c.globals(), c[0]); }
const pf::FuncDef make_adder_def{
    .name = "make_adder",
    .params = {pf::arg("n")},
    .body = make_adder,
};

// def use_global(): return helper()  -- `helper` read when called
nb::object use_global(pf::Call &c) { return c.global("helper")(); }
const pf::FuncDef use_global_def{.name = "use_global", .body = use_global};

// def pair(obj): a, b = obj; return (b, a)
nb::object pair(pf::Call &c) {
    auto [a, b] = pf::unpack<2>(c[0]);
    return nb::make_tuple(b, a);
}
const pf::FuncDef pair_def{.name = "pair", .params = {pf::arg("obj")}, .body = pair};

// def fail(kind): raises a C++ exception of the given kind, or calls kind()
nb::object fail(pf::Call &c) {
    nb::handle kind = c[0];
    if (nb::isinstance<nb::str>(kind)) {
        std::string k = nb::cast<std::string>(kind);
        if (k == "runtime")
            throw std::runtime_error("boom");
        if (k == "bad_alloc")
            throw std::bad_alloc();
        if (k == "length")
            std::vector<double>(std::vector<double>().max_size() + 1);
        if (k == "int")
            throw 42;
        if (k == "value")
            throw nb::value_error("bad value");
    }
    return kind(); // a Python callee's exception propagates unchanged
}
const pf::FuncDef fail_def{.name = "fail", .params = {pf::arg("kind")}, .body = fail};

const char *concat_doc = "Concatenate like format(value, '') does.";
nb::object concat(pf::Call &c) { return pf::cat({"<", c[0], "|", c[1], ">"}); }
const pf::FuncDef concat_def{.name = "concat", .doc = concat_doc,
                             .params = {pf::arg("a"), pf::arg("b")}, .body = concat};

nb::object expect_unicode(pf::Call &c) {
    pf::expect_exact_or_none(c[0], &PyUnicode_Type, "unicode");
    return nb::borrow(c[0]);
}
const pf::FuncDef expect_unicode_def{.name = "expect_unicode", .params = {pf::arg("v")},
                                     .body = expect_unicode};

// def count(n): for i in range(n): yield i    (as a coroutine)
pf::Generator count_body(long long n, nb::handle sentinel) {
    for (long long i = 0; i < n; ++i) {
        if (i == 3 && sentinel.ptr() != Py_None && nb::cast<std::string>(sentinel) == "raise")
            pf::raise(PyExc_RuntimeError, "stopped at %lld", i);
        co_yield nb::int_(i);
    }
}
nb::object count(pf::Call &c) {
    long long n = nb::cast<long long>(c[0]);
    return pf::make_iterator(count_body(n, c[1]), nb::make_tuple(c[1]));
}
const pf::FuncDef count_def{.name = "count",
                            .params = {pf::arg("n", "int"), pf::arg("mode").none()},
                            .body = count};

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
nb::object trace(pf::Call &c) { return pf::make_iterator(trace_body(c[0]), nb::make_tuple(c[0])); }
const pf::FuncDef trace_def{.name = "trace", .params = {pf::arg("log")}, .body = trace};

// class Shape(abc.ABC)
nb::object shape_area(pf::Call &) { return nb::none(); }
const pf::FuncDef shape_area_def{.name = "area", .params = {pf::arg("self")}, .body = shape_area};

nb::object square_init(pf::Call &c) {
    nb::setattr(c[0], "side", c[1]);
    return nb::none();
}
const pf::FuncDef square_init_def{.name = "__init__",
                                  .params = {pf::arg("self"), pf::arg("side", "float")},
                                  .body = square_init, .returns = "None"};
nb::object square_area(pf::Call &c) {
    nb::object s = c[0].attr("side");
    return s * s;
}
const pf::FuncDef square_area_def{.name = "area", .params = {pf::arg("self")}, .body = square_area};
nb::object square_unit(pf::Call &c) { return c[0](nb::float_(1.0)); }
const pf::FuncDef square_unit_def{.name = "unit", .params = {pf::arg("cls")}, .body = square_unit};
nb::object square_label(pf::Call &c) { return pf::cat({"square of ", c[0].attr("side")}); }
const pf::FuncDef square_label_def{.name = "label", .params = {pf::arg("self")}, .body = square_label};

} // namespace

PYFACE_MODULE(_pyface_selftest, m) {
    m.import("abc");
    m.from("typing", {"NamedTuple", "Optional"});
    m.def(signature_demo_def);
    m.def(typed_def);
    m.def(collect_def);
    m.def(make_adder_def);
    m.def(use_global_def);
    m.def(pair_def);
    m.def(fail_def);
    m.def(concat_def);
    m.def(expect_unicode_def);
    m.def(count_def);
    m.def(trace_def);

    pf::ClassBuilder(m, "Shape", {m.get("abc").attr("ABC")}, "A shape.")
        .abstractmethod(shape_area_def)
        .finish();
    pf::ClassBuilder(m, "Square", {m.get("Shape")})
        .method(square_init_def)
        .method(square_area_def)
        .classmethod(square_unit_def)
        .property(square_label_def)
        .attr("sides", nb::int_(4))
        .finish();
    pf::ClassBuilder(m, "Point", {m.get("NamedTuple")})
        .annotation("x", nb::handle((PyObject *)&PyLong_Type))
        .annotation("y", nb::handle((PyObject *)&PyLong_Type))
        .attr("y", nb::int_(0))
        .finish();
}
