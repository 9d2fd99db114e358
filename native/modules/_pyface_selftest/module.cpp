// tavrin._pyface_selftest: a small module that exercises every part of the
// pyface kit, for the kit's own tests. It is built from two sources, as a
// module split into topic files is (generators.cpp holds the generators).
#include "pyface/pyface.hpp"

#include "generators.hpp"

#include <cstdlib>
#include <stdexcept>

namespace pf = pyface;
namespace nb = nanobind;
using namespace nb::literals;

namespace {

constexpr pf::Params signature_demo_params{
    pf::arg("self"), pf::arg("json_path", "str"), pf::arg("markdown_path", "Optional[str]").none(),
    pf::arg("verbose", "bool").dflt(false)};
nb::object signature_demo(pf::Call &c) {
    auto [self, json_path, markdown_path, verbose] =
        c.args<signature_demo_params, "self", "json_path", "markdown_path", "verbose">();
    return nb::make_tuple(self, json_path, markdown_path, verbose);
}
const pf::FuncDef signature_demo_def{
    .name = "signature_demo",
    .doc = "Return the bound arguments.",
    .params = signature_demo_params,
    .body = signature_demo,
};

// the body names its parameters in another order than the table
constexpr pf::Params typed_params{
    pf::arg("s", "str"), pf::arg("i", "int"), pf::arg("l", "list"), pf::arg("d", "dict"),
    pf::arg("f", "float"), pf::arg("o", "Optional[list]").none(), pf::arg("k", "str").dflt("x").kwonly()};
nb::object typed(pf::Call &c) {
    auto [k, o, f, d, l, i, s] = c.args<typed_params, "k", "o", "f", "d", "l", "i", "s">();
    return nb::make_tuple(s, i, l, d, f, o, k);
}
const pf::FuncDef typed_def{
    .name = "typed",
    .params = typed_params,
    .body = typed,
    .returns = "str",
};

constexpr pf::Params collect_params{pf::arg("a"), pf::varargs("args"), pf::varkw("kwargs")};
nb::object collect(pf::Call &c) {
    auto [a, args, kwargs] = c.args<collect_params, "a", "args", "kwargs">();
    return nb::make_tuple(a, args, kwargs);
}
const pf::FuncDef collect_def{.name = "collect", .params = collect_params, .body = collect};

// a body that reads a table other than its function's: refused when called
nb::object mismatched(pf::Call &c) { return nb::borrow(c.arg<collect_params, "kwargs">()); }
const pf::FuncDef mismatched_def{.name = "mismatched", .params = {pf::arg("x")}, .body = mismatched};

// def make_adder(n): def adder(x): return x + n; return adder
constexpr pf::Params adder_params{pf::arg("x")};
nb::object adder(pf::Call &c) { return c.arg<adder_params, "x">() + c.closure(); }
const pf::FuncDef adder_def{
    .name = "adder",
    .qualname = "make_adder.<locals>.adder",
    .params = adder_params,
    .body = adder,
};
constexpr pf::Params make_adder_params{pf::arg("n")};
nb::object make_adder(pf::Call &c) {
    return pf::make_function(adder_def, c.globals(), c.arg<make_adder_params, "n">());
}
const pf::FuncDef make_adder_def{.name = "make_adder", .params = make_adder_params, .body = make_adder};

// def use_global(): return helper()  -- `helper` read when called
nb::object use_global(pf::Call &c) { return c.global("helper")(); }
const pf::FuncDef use_global_def{.name = "use_global", .body = use_global};

// def pair(obj): a, b = obj; return (b, a)
constexpr pf::Params pair_params{pf::arg("obj")};
nb::object pair(pf::Call &c) {
    auto [a, b] = pf::unpack<2>(c.arg<pair_params, "obj">());
    return nb::make_tuple(b, a);
}
const pf::FuncDef pair_def{.name = "pair", .params = pair_params, .body = pair};

// A C++ exception type with a translator of its own, registered by this
// module in nanobind's chain.
struct Refusal {
    const char *why;
};

// def fail(kind): raises a C++ exception of the given kind, or calls kind()
constexpr pf::Params fail_params{pf::arg("kind")};
nb::object fail(pf::Call &c) {
    nb::handle kind = c.arg<fail_params, "kind">();
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
        if (k == "out_of_range")
            throw std::out_of_range("no such item");
        if (k == "refusal")
            throw Refusal{"not today"};
    }
    return kind(); // a Python callee's exception propagates unchanged
}
const pf::FuncDef fail_def{.name = "fail", .params = fail_params, .body = fail};

const char *concat_doc = "Concatenate like format(value, '') does.";
constexpr pf::Params concat_params{pf::arg("a"), pf::arg("b")};
nb::object concat(pf::Call &c) {
    auto [a, b] = c.args<concat_params, "a", "b">();
    return pf::cat({"<", a, "|", b, ">"});
}
const pf::FuncDef concat_def{.name = "concat", .doc = concat_doc, .params = concat_params, .body = concat};

constexpr pf::Params expect_unicode_params{pf::arg("v")};
nb::object expect_unicode(pf::Call &c) {
    nb::handle v = c.arg<expect_unicode_params, "v">();
    pf::expect_exact_or_none(v, &PyUnicode_Type, "unicode");
    return nb::borrow(v);
}
const pf::FuncDef expect_unicode_def{.name = "expect_unicode", .params = expect_unicode_params,
                                     .body = expect_unicode};

// class Shape(abc.ABC)
constexpr pf::Params self_only{pf::arg("self")};
nb::object shape_area(pf::Call &) { return nb::none(); }
const pf::FuncDef shape_area_def{.name = "area", .params = self_only, .body = shape_area};

constexpr pf::Params square_init_params{pf::arg("self"), pf::arg("side", "float")};
nb::object square_init(pf::Call &c) {
    auto [self, side] = c.args<square_init_params, "self", "side">();
    nb::setattr(self, "side", side);
    return nb::none();
}
const pf::FuncDef square_init_def{.name = "__init__", .params = square_init_params,
                                  .body = square_init, .returns = "None"};
nb::object square_area(pf::Call &c) {
    nb::object s = c.arg<self_only, "self">().attr("side");
    return s * s;
}
const pf::FuncDef square_area_def{.name = "area", .params = self_only, .body = square_area};
constexpr pf::Params cls_only{pf::arg("cls")};
nb::object square_unit(pf::Call &c) { return c.arg<cls_only, "cls">()(nb::float_(1.0)); }
const pf::FuncDef square_unit_def{.name = "unit", .params = cls_only, .body = square_unit};
nb::object square_label(pf::Call &c) {
    return pf::cat({"square of ", c.arg<self_only, "self">().attr("side")});
}
const pf::FuncDef square_label_def{.name = "label", .params = self_only, .body = square_label};

} // namespace

PYFACE_MODULE(_pyface_selftest, m) {
    nb::register_exception_translator([](const std::exception_ptr &p, void *) {
        try {
            std::rethrow_exception(p);
        } catch (const Refusal &r) {
            PyErr_SetString(PyExc_PermissionError, r.why);
        }
    });
    // a test names a module here to see how a failing import of the body surfaces
    if (const char *dependency = std::getenv("PYFACE_SELFTEST_IMPORT"))
        m.import(dependency);
    m.import("abc");
    m.from("typing", {"NamedTuple", "Optional"});
    m.def(signature_demo_def);
    m.def(typed_def);
    m.def(collect_def);
    m.def(mismatched_def);
    m.def(make_adder_def);
    m.def(use_global_def);
    m.def(pair_def);
    m.def(fail_def);
    m.def(concat_def);
    m.def(expect_unicode_def);
    m.def(selftest::count_def);
    m.def(selftest::trace_def);

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
