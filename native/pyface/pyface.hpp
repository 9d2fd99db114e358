// pyface: the pieces that let C++ code look, from Python, like the Python
// module it stands for.
//
//   * function objects with the attributes of a Python function
//     (__name__, __qualname__, __defaults__, __annotations__, __dict__,
//     __signature__, descriptor binding) and CPython-like argument binding,
//     including the exact-type entry checks of typed parameters;
//   * classes built on ordinary Python bases through their metaclass, as a
//     class statement would build them;
//   * C++20 coroutine generators exposed as lazy Python iterators;
//   * helpers: unpacking with CPython/Cython messages, string building with
//     format(value, ""), imports, module globals read at call time, and the
//     translation of C++ exceptions at every entry point.
//
// All references are held by nanobind handles (nb::object); raw reference
// bookkeeping lives inside the kit's .cpp files only.
//
// This header is what module code may use. The kit's internals are in
// pyface/detail/ (and in namespace pyface::detail): module code does not
// name them.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "pyface/detail/args.hpp"
#include "pyface/detail/runtime.hpp"

#include <array>
#include <coroutine>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pyface {

namespace nb = nanobind;

// ---------------------------------------------------------------- errors

// Sets a Python exception of `type` with a printf-style message (PyErr_Format
// rules) and throws it as nb::python_error.
[[noreturn, gnu::cold]] void raise(PyObject *type, const char *fmt, ...);

// Throws the pending Python exception (there must be one).
[[noreturn, gnu::cold]] void throw_error();

// Raises the exception instance `exc` as `raise exc` does: the same object,
// with the traceback it already carries. TypeError if `exc` is not an
// exception instance.
[[noreturn, gnu::cold]] void raise_object(nb::handle exc);

// Wraps a new reference; throws the pending Python error when it is null.
inline nb::object owned(PyObject *p) {
    if (!p) [[unlikely]]
        throw_error();
    return nb::steal(p);
}

// bool(o), raising what __bool__/__len__ raise.
inline bool truthy(nb::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0) [[unlikely]]
        throw_error();
    return r == 1;
}

// Inside a catch block: turns the active C++ exception into a Python error
// and returns nullptr. A python_error is restored unchanged (the same
// exception object); anything else goes through nanobind's chain of
// exception translators, which holds the kit's own translator (bad_alloc
// and length_error -> MemoryError, bad_cast -> TypeError, a non-standard
// exception -> SystemError) and any that a module registers.
PyObject *translate_current_exception() noexcept;

// The module entry point (PYFACE_MODULE) runs its body under this guard.
using detail::guard_int;

// ---------------------------------------------------------------- strings

// One piece of a message: literal UTF-8 text, or a Python object that is
// formatted as format(value, "") does.
struct Piece {
    Piece(const char *s) : text(s) {}
    Piece(std::string_view s) : text(s) {}
    Piece(const std::string &s) : text(s) {}
    Piece(nb::handle h) : obj(nb::borrow(h)), is_obj(true) {}
    Piece(const nb::object &h) : obj(h), is_obj(true) {}
    template <class Policy>
    Piece(const nb::detail::accessor<Policy> &a) : obj(a), is_obj(true) {}
    std::string_view text{};
    nb::object obj{};
    bool is_obj = false;
};

// Concatenates pieces into a str.
nb::str cat(std::initializer_list<Piece> pieces);

// format(value, "")
nb::str format(nb::handle value);

// The UTF-8 text of a str (its cached encoding; valid while the str lives).
std::string_view utf8_view(nb::handle str);

// The global `name` of the namespace `globals`, then the builtin, read now as
// a Python function body would; NameError when neither exists. Generator
// bodies, which outlive their Call, use it on their module's dict.
nb::object lookup_global(nb::handle globals, nb::handle name);
nb::object lookup_global(nb::handle globals, const char *name);

// Name of the type of `o`, as the interpreter spells it (str, NoneType, ...).
const char *type_name_of(nb::handle o);

// Raises TypeError("Expected <what>, got <type>") unless `o` is None or
// exactly of type `tp`.
void expect_exact_or_none(nb::handle o, PyTypeObject *tp, const char *what);

// Raises the entry-check TypeError of a typed parameter.
[[noreturn, gnu::cold]] void raise_arg_type(const char *name, const char *expected,
                                 nb::handle got);

// ---------------------------------------------------------------- unpacking

// Unpacks an iterable into exactly n values, with the messages
// "too many values to unpack (expected n)" and
// "need more than k value(s) to unpack".
std::vector<nb::object> unpack(nb::handle iterable, size_t n);

template <size_t N> std::array<nb::object, N> unpack(nb::handle iterable) {
    std::vector<nb::object> v = unpack(iterable, N);
    std::array<nb::object, N> out;
    for (size_t i = 0; i < N; ++i)
        out[i] = std::move(v[i]);
    return out;
}

// ---------------------------------------------------------------- functions

enum class Kind : uint8_t { Positional, VarArgs, KwOnly, VarKw };

// Entry checks. Auto derives the check from the annotation string:
// "str", "int", "list", "dict", "float", "List[...]", "Dict[...]" and
// their Optional[...] forms; anything else is not checked.
enum class Check : uint8_t { Auto, None, Str, Int, List, Dict, Float };

struct Default {
    enum class Type : uint8_t { Missing, None, False, True, Int, Str, Float, Global };
    Type type = Type::Missing;
    long long i = 0;
    double f = 0.0;
    const char *s = nullptr;
};

struct Param {
    const char *name = nullptr;
    const char *annotation = nullptr;
    Kind kind = Kind::Positional;
    Check check = Check::Auto;
    int8_t none_ok = -1; // -1: from the annotation (Optional[...])
    Default def{};

    constexpr Param none() const { Param p = *this; p.def.type = Default::Type::None; return p; }
    constexpr Param dflt(bool b) const {
        Param p = *this; p.def.type = b ? Default::Type::True : Default::Type::False; return p;
    }
    constexpr Param dflt(int v) const { Param p = *this; p.def.type = Default::Type::Int; p.def.i = v; return p; }
    constexpr Param dflt(long long v) const { Param p = *this; p.def.type = Default::Type::Int; p.def.i = v; return p; }
    constexpr Param dflt(double v) const { Param p = *this; p.def.type = Default::Type::Float; p.def.f = v; return p; }
    constexpr Param dflt(const char *v) const { Param p = *this; p.def.type = Default::Type::Str; p.def.s = v; return p; }
    // default: the module global of that name, read when the function is made
    constexpr Param dflt_global(const char *v) const {
        Param p = *this; p.def.type = Default::Type::Global; p.def.s = v; return p;
    }
    constexpr Param kwonly() const { Param p = *this; p.kind = Kind::KwOnly; return p; }
    constexpr Param checked(Check c) const { Param p = *this; p.check = c; return p; }
    constexpr Param nocheck() const { return checked(Check::None); }
    constexpr Param or_none(bool ok = true) const { Param p = *this; p.none_ok = ok ? 1 : 0; return p; }
};

constexpr Param arg(const char *name, const char *annotation = nullptr) {
    Param p; p.name = name; p.annotation = annotation; return p;
}
constexpr Param varargs(const char *name, const char *annotation = nullptr) {
    Param p = arg(name, annotation); p.kind = Kind::VarArgs; p.check = Check::None; return p;
}
constexpr Param varkw(const char *name, const char *annotation = nullptr) {
    Param p = arg(name, annotation); p.kind = Kind::VarKw; p.check = Check::None; return p;
}

// A parameter table, declared once per function as a constexpr object:
//
//     constexpr pf::Params run_params{pf::arg("self"), pf::arg("json_path", "str")};
//     nb::object run(pf::Call &c) {
//         auto [self, json_path] = c.args<run_params, "self", "json_path">();
//         ...
//     }
//     const pf::FuncDef run_def{.name = "run", .params = run_params, .body = run};
//
// The body names the parameters it reads; the compiler turns each name into
// its position in the table (a name the table lacks does not compile), so
// reordering or inserting parameters cannot hand a body the wrong value.
template <size_t N> struct Params {
    std::array<Param, N> list;
    template <class... P> constexpr Params(P... p) : list{p...} {}
    static constexpr size_t size() { return N; }
    operator std::vector<Param>() const { return std::vector<Param>(list.begin(), list.end()); }
};
template <class... P> Params(P...) -> Params<sizeof...(P)>;

class Call;
struct FuncDef;
using Body = nb::object (*)(Call &);

// One function, declared once: names, docstring, parameter table, body.
// Signature stubs (.pyi) are generated from these tables
// (scripts/gen_stubs.py).
struct FuncDef {
    const char *name;
    const char *qualname = nullptr; // default: name, or Class.name in a class
    const char *doc = nullptr;      // nullptr: __doc__ is None
    std::vector<Param> params{};
    Body body = nullptr;
    const char *returns = nullptr;  // return annotation string
};

// The bound arguments of one call, as the body sees them.
class Call {
public:
    // The parameters `names` of the table `params` (the FuncDef's own), in
    // the order named; *args is a tuple and **kwargs a dict.
    template <const auto &params, detail::Name... names>
    std::array<nb::handle, sizeof...(names)> args() const {
        return {arg<params, names>()...};
    }
    template <const auto &params, detail::Name name> nb::handle arg() const {
        constexpr size_t i = detail::position<params, name>();
        static_assert(i != detail::not_found, "the parameter table has no parameter of this name");
        const char *mine = i < def_->params.size() ? def_->params[i].name : nullptr;
        if (mine != params.list[i].name && !detail::same_name(mine, params.list[i].name)) [[unlikely]]
            detail::raise_table_mismatch(def_->name, params.list[i].name);
        return slots_[i];
    }

    // the function object being called
    nb::handle function() const { return func_; }
    // the object the function was made to close over (None if nothing)
    nb::handle closure() const;
    // a module global looked up now (then builtins), NameError if missing
    nb::object global(const char *name) const;
    nb::handle globals() const;

    static constexpr size_t max_params = 16;

private:
    friend struct FunctionAccess;
    nb::handle func_;
    const FuncDef *def_ = nullptr;
    std::array<nb::object, max_params> slots_{};
};

// Makes a function object from `def`, living in the module whose dict is
// `globals`. `closure` is what Call::closure() returns; `qualname`
// overrides def.qualname.
nb::object make_function(const FuncDef &def, nb::handle globals,
                         nb::handle closure = nb::handle(),
                         const char *qualname = nullptr);

// True if `o` is one of our function objects.
bool is_function(nb::handle o);

// ---------------------------------------------------------------- modules

class Module {
public:
    explicit Module(nb::handle m);

    nb::handle module() const { return m_; }
    nb::handle dict() const { return dict_; }
    nb::str name() const;

    // import a.b.c           -> binds `a` (or `as`, bound to a.b.c)
    nb::object import(const char *module, const char *as = nullptr);
    // from module import n1, n2, ...
    void from(const char *module, std::initializer_list<const char *> names);
    // from module import name as alias
    nb::object from_as(const char *module, const char *name, const char *alias);

    void set(const char *name, nb::handle value);
    nb::object get(const char *name) const;
    // Runs Python source in the module's namespace, for the rare helper that
    // must be a Python frame (code that inspects its caller's frame); its
    // file name is "<module name>".
    void exec(const char *source);
    nb::object def(const FuncDef &def);

private:
    nb::handle m_;
    nb::handle dict_;
};

// Builds a class as `class Name(bases...): ...` would: resolves the bases
// (__mro_entries__), prepares the namespace through the metaclass, fills it
// in order and calls the metaclass.
class ClassBuilder {
public:
    ClassBuilder(Module &m, const char *name,
                 std::initializer_list<nb::handle> bases = {},
                 const char *doc = nullptr);

    ClassBuilder &method(const FuncDef &def);
    ClassBuilder &abstractmethod(const FuncDef &def);
    ClassBuilder &classmethod(const FuncDef &def);
    ClassBuilder &staticmethod(const FuncDef &def);
    ClassBuilder &property(const FuncDef &getter);
    ClassBuilder &attr(const char *name, nb::handle value);
    // a class-level annotation (NamedTuple fields); value is stored in
    // __annotations__
    ClassBuilder &annotation(const char *name, nb::handle type);

    // Creates the class and binds it in the module.
    nb::object finish();

private:
    nb::object make(const FuncDef &def);
    Module &mod_;
    std::string name_;
    nb::tuple orig_bases_;
    nb::tuple bases_;
    nb::object meta_;
    nb::object ns_;
    nb::dict annotations_;
    bool has_annotations_ = false;
};

// ---------------------------------------------------------------- generators

// Coroutine type of a generator body:
//     Generator body(nb::handle self) { ...; co_yield obj; ... }
// Parameters are taken by value; Python objects that must outlive the call
// are passed to make_generator() in `keep`, where the GC sees them.
class Generator {
public:
    struct promise_type {
        nb::object value;
        std::exception_ptr error;

        Generator get_return_object() {
            return Generator(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        std::suspend_always yield_value(nb::object v) noexcept {
            value = std::move(v);
            return {};
        }
        void return_void() noexcept {}
        void unhandled_exception() noexcept { error = std::current_exception(); }
    };
    using handle_type = std::coroutine_handle<promise_type>;

    Generator() = default;
    explicit Generator(handle_type h) : h_(h) {}
    Generator(Generator &&o) noexcept : h_(std::exchange(o.h_, {})) {}
    Generator &operator=(Generator &&o) noexcept {
        if (this != &o) { reset(); h_ = std::exchange(o.h_, {}); }
        return *this;
    }
    Generator(const Generator &) = delete;
    Generator &operator=(const Generator &) = delete;
    ~Generator() { reset(); }

    // Runs to the next co_yield. Returns the yielded object, or a null
    // object when the body has finished; rethrows the body's exception.
    nb::object next();
    void reset() noexcept;
    bool done() const noexcept { return !h_ || h_.done(); }

private:
    handle_type h_{};
};

// Wraps a generator as a Python iterator that starts on the first next().
// `keep` holds the objects the body refers to (traversed by the GC).
nb::object make_iterator(Generator g, nb::tuple keep = nb::tuple());

} // namespace pyface

// Module entry point. It follows NB_MODULE step for step (the same module
// definition and interpreter set-up) with one difference: an exception raised
// while the body runs fails the import unchanged, as a Python module's body
// does, where NB_MODULE would replace it by an ImportError("Encountered an
// error while initializing the extension."). A module whose import of a
// dependency fails raises that dependency's error; a test pins this.
#if NB_VERSION_MAJOR != 3 || NB_VERSION_MINOR != 1
#error "PYFACE_MODULE follows NB_MODULE_IMPL of nanobind 3.1 (nb_defs.h): compare the two before moving the pin"
#endif
#define PYFACE_MODULE(name, variable)                                          \
    static void pyface_##name##_body(::pyface::Module &);                      \
    static int pyface_##name##_exec(PyObject *m) {                             \
        nanobind::detail::internals =                                          \
            NB_CALL(nb_module_init)(NB_DOMAIN_STR, m);                         \
        if (!nanobind::detail::internals)                                      \
            return -1;                                                         \
        return ::pyface::guard_int([&] {                                       \
            ::pyface::detail::run_module(m, pyface_##name##_body);             \
        });                                                                    \
    }                                                                          \
    static PyObject *pyface_##name##_def = nullptr;                            \
    extern "C" [[maybe_unused]] NB_EXPORT PyObject *PyInit_##name(void);       \
    extern "C" PyObject *PyInit_##name(void) {                                 \
        nanobind::detail::init_singletons();                                   \
        if (!nanobind::detail::nb_backend_init(#name))                         \
            return nullptr;                                                    \
        if (!pyface_##name##_def)                                              \
            pyface_##name##_def = NB_CALL(module_new)(                         \
                #name, nullptr, (void *)pyface_##name##_exec,                  \
                NB_ABI_MINOR_TAG);                                             \
        return pyface_##name##_def;                                            \
    }                                                                          \
    void pyface_##name##_body(::pyface::Module &variable)
