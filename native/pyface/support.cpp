// Errors, strings, unpacking, modules and classes.
#include "pyface.hpp"

#include <cstdarg>
#include <exception>
#include <new>
#include <stdexcept>
#include <typeinfo>

namespace pyface {

using namespace nb::literals;

// ---------------------------------------------------------------- errors

void raise(PyObject *type, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    PyErr_FormatV(type, fmt, ap);
    va_end(ap);
    throw nb::python_error();
}

void throw_error() {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
    throw nb::python_error();
}

void raise_object(nb::handle exc) {
    if (!PyExceptionInstance_Check(exc.ptr()))
        raise(PyExc_TypeError, "exceptions must derive from BaseException");
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    throw nb::python_error();
}

namespace {

// The kit's link in nanobind's chain of exception translators (tried before
// nanobind's own, which maps the other standard exceptions: runtime_error to
// RuntimeError, out_of_range to IndexError, ...).
void kit_translator(const std::exception_ptr &p, void *) {
    try {
        std::rethrow_exception(p);
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::length_error &e) {
        // a container asked for more than it can ever hold: a size the caller chose
        PyErr_Format(PyExc_MemoryError, "%s", e.what());
    } catch (const std::bad_cast &) {
        PyErr_SetString(PyExc_TypeError, "could not convert a Python object");
    } catch (const std::exception &) {
        throw; // for the next translator
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

// Sets the Python error for `e` through nanobind's translator chain: a
// nanobind function that rethrows `e` is called, and nanobind's dispatcher
// translates what escapes it.
[[gnu::cold, gnu::noinline]] void translate_with_nanobind(std::exception_ptr e) noexcept {
    // a stale error indicator would be taken for the call's own; the C++
    // exception is what the caller sees, as a translated one replaces it
    PyErr_Clear();
    try {
        nb::object rethrow = nb::cpp_function([e]() { std::rethrow_exception(e); });
        Py_XDECREF(PyObject_CallNoArgs(rethrow.ptr())); // always fails
    } catch (...) {
        // the function could not be made (memory); the fallback below
    }
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
}

} // namespace

PyObject *translate_current_exception() noexcept {
    try {
        throw;
    } catch (nb::python_error &e) {
        e.restore(); // the same exception object, traceback included
    } catch (const std::bad_cast &) {
        // a failed cast may have set the Python error that says why
        if (!PyErr_Occurred())
            translate_with_nanobind(std::current_exception());
    } catch (...) {
        translate_with_nanobind(std::current_exception());
    }
    return nullptr;
}

namespace detail {

void raise_table_mismatch(const char *function, const char *param) {
    raise(PyExc_SystemError, "%s(): its body reads parameter '%s' from another function's table",
          function, param);
}

void run_module(nb::handle module, void (*body)(Module &)) {
    // Once per interpreter, by the first module of the kit that loads: the
    // chain is tried from the last translator added, so the kit's, which
    // takes every non-standard exception, must come after any that a module
    // adds for its own types. The mark lives in the interpreter's dict,
    // which every module binary sees.
    PyObject *state = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!state)
        throw_error();
    const char *mark = "tavrin.pyface.exception_translator";
    PyObject *added = PyDict_GetItemString(state, mark);
    if (!added) {
        nb::register_exception_translator(kit_translator);
        if (PyDict_SetItemString(state, mark, Py_True) < 0)
            throw_error();
    }
    Module m(module);
    body(m);
}

} // namespace detail

// ---------------------------------------------------------------- strings

std::string_view utf8_view(nb::handle str) {
    Py_ssize_t size = 0;
    const char *p = PyUnicode_AsUTF8AndSize(str.ptr(), &size);
    if (!p)
        throw_error();
    return std::string_view(p, (size_t)size);
}

nb::str format(nb::handle value) {
    if (PyUnicode_CheckExact(value.ptr()))
        return nb::borrow<nb::str>(value);
    return nb::steal<nb::str>(owned(PyObject_Format(value.ptr(), nullptr)).release());
}

nb::str cat(std::initializer_list<Piece> pieces) {
    nb::object parts = owned(PyTuple_New((Py_ssize_t)pieces.size()));
    Py_ssize_t i = 0;
    for (const Piece &p : pieces) {
        nb::object s;
        if (p.is_obj)
            s = format(p.obj);
        else
            s = owned(PyUnicode_DecodeUTF8(p.text.data(), (Py_ssize_t)p.text.size(), "strict"));
        PyTuple_SET_ITEM(parts.ptr(), i++, s.release().ptr());
    }
    nb::object empty = owned(PyUnicode_FromStringAndSize("", 0));
    return nb::steal<nb::str>(owned(PyUnicode_Join(empty.ptr(), parts.ptr())).release());
}

const char *type_name_of(nb::handle o) { return Py_TYPE(o.ptr())->tp_name; }

void expect_exact_or_none(nb::handle o, PyTypeObject *tp, const char *what) {
    if (o.ptr() == Py_None || Py_TYPE(o.ptr()) == tp)
        return;
    raise(PyExc_TypeError, "Expected %s, got %.200s", what, type_name_of(o));
}

void raise_arg_type(const char *name, const char *expected, nb::handle got) {
    raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
          name, expected, type_name_of(got));
}

// ---------------------------------------------------------------- unpacking

std::vector<nb::object> unpack(nb::handle iterable, size_t n) {
    std::vector<nb::object> out;
    out.reserve(n);
    PyObject *o = iterable.ptr();
    if (PyTuple_CheckExact(o) || PyList_CheckExact(o)) {
        size_t size = (size_t)PySequence_Fast_GET_SIZE(o);
        if (size > n)
            raise(PyExc_ValueError, "too many values to unpack (expected %zd)", (Py_ssize_t)n);
        if (size < n)
            raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", (Py_ssize_t)size,
                  size == 1 ? "" : "s");
        PyObject **items = PySequence_Fast_ITEMS(o);
        for (size_t i = 0; i < n; ++i)
            out.push_back(nb::borrow(items[i]));
        return out;
    }
    nb::object it = owned(PyObject_GetIter(o));
    for (size_t i = 0; i < n; ++i) {
        PyObject *item = PyIter_Next(it.ptr());
        if (!item) {
            if (PyErr_Occurred())
                throw_error();
            raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", (Py_ssize_t)i,
                  i == 1 ? "" : "s");
        }
        out.push_back(nb::steal(item));
    }
    PyObject *extra = PyIter_Next(it.ptr());
    if (extra) {
        Py_DECREF(extra);
        raise(PyExc_ValueError, "too many values to unpack (expected %zd)", (Py_ssize_t)n);
    }
    if (PyErr_Occurred())
        throw_error();
    return out;
}

// ---------------------------------------------------------------- modules

nb::object lookup_global(nb::handle globals, nb::handle name) {
    PyObject *v = PyDict_GetItemWithError(globals.ptr(), name.ptr());
    if (!v && !PyErr_Occurred()) {
        PyObject *builtins = PyEval_GetBuiltins();
        v = builtins ? PyDict_GetItemWithError(builtins, name.ptr()) : nullptr;
        if (!v && !PyErr_Occurred())
            raise(PyExc_NameError, "name '%U' is not defined", name.ptr());
    }
    if (!v)
        throw_error();
    return nb::borrow(v);
}

nb::object lookup_global(nb::handle globals, const char *name) {
    return lookup_global(globals, owned(PyUnicode_InternFromString(name)));
}

Module::Module(nb::handle m) : m_(m), dict_(PyModule_GetDict(m.ptr())) {}

nb::str Module::name() const {
    return nb::borrow<nb::str>(nb::handle(PyDict_GetItemString(dict_.ptr(), "__name__")));
}

nb::object Module::import(const char *module, const char *as) {
    nb::object leaf = owned(PyImport_ImportModule(module));
    if (as) {
        set(as, leaf);
        return leaf;
    }
    std::string_view full(module);
    std::string top(full.substr(0, full.find('.')));
    nb::object top_mod = owned(PyImport_ImportModule(top.c_str()));
    set(top.c_str(), top_mod);
    return top_mod;
}

namespace {
nb::object import_name(const char *module, const char *name) {
    nb::object mod = owned(PyImport_ImportModule(module));
    PyObject *v = PyObject_GetAttrString(mod.ptr(), name);
    if (v)
        return nb::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw_error();
    PyErr_Clear();
    // `from package import submodule`
    std::string sub = std::string(module) + "." + name;
    PyObject *m = PyImport_ImportModule(sub.c_str());
    if (m)
        return nb::steal(m);
    if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError))
        throw_error();
    PyErr_Clear();
    nb::object file = nb::getattr(mod, "__file__", nb::str("unknown location"));
    PyObject *msg = PyUnicode_FromFormat("cannot import name '%s' from '%s' (%S)", name, module,
                                         file.ptr());
    if (!msg)
        throw_error();
    nb::object msg_o = nb::steal(msg);
    nb::object exc = owned(PyObject_CallOneArg(PyExc_ImportError, msg_o.ptr()));
    nb::setattr(exc, "name", nb::str(module));
    PyErr_SetObject(PyExc_ImportError, exc.ptr());
    throw nb::python_error();
}
} // namespace

void Module::from(const char *module, std::initializer_list<const char *> names) {
    for (const char *n : names)
        set(n, import_name(module, n));
}

nb::object Module::from_as(const char *module, const char *name, const char *alias) {
    nb::object v = import_name(module, name);
    set(alias, v);
    return v;
}

void Module::set(const char *name, nb::handle value) {
    if (PyDict_SetItemString(dict_.ptr(), name, value.ptr()) < 0)
        throw_error();
}

void Module::exec(const char *source) {
    nb::object filename = cat({"<", name(), ">"});
    nb::object code = owned(Py_CompileString(source, utf8_view(filename).data(), Py_file_input));
    owned(PyEval_EvalCode(code.ptr(), dict_.ptr(), dict_.ptr()));
}

nb::object Module::get(const char *name) const {
    PyObject *v = PyDict_GetItemString(dict_.ptr(), name);
    if (!v)
        raise(PyExc_NameError, "name '%s' is not defined", name);
    return nb::borrow(v);
}

nb::object Module::def(const FuncDef &d) {
    nb::object f = make_function(d, dict_);
    set(d.name, f);
    return f;
}

// ---------------------------------------------------------------- classes

ClassBuilder::ClassBuilder(Module &m, const char *name, std::initializer_list<nb::handle> bases,
                           const char *doc)
    : mod_(m), name_(name) {
    nb::list b;
    for (nb::handle h : bases)
        b.append(h);
    orig_bases_ = nb::tuple(b);
    nb::module_ types = nb::module_::import_("types");
    bases_ = nb::borrow<nb::tuple>(types.attr("resolve_bases")(orig_bases_));
    nb::object prepared = types.attr("prepare_class")(name, bases_);
    auto [meta, ns, kwds] = unpack<3>(prepared);
    meta_ = meta;
    ns_ = ns;
    ns_[nb::str("__module__")] = mod_.name();
    ns_[nb::str("__qualname__")] = nb::str(name);
    if (doc)
        ns_[nb::str("__doc__")] = nb::str(doc);
}

nb::object ClassBuilder::make(const FuncDef &def) {
    std::string qn = def.qualname ? def.qualname : name_ + "." + def.name;
    return make_function(def, mod_.dict(), nb::handle(), qn.c_str());
}

ClassBuilder &ClassBuilder::method(const FuncDef &def) {
    ns_[nb::str(def.name)] = make(def);
    return *this;
}

ClassBuilder &ClassBuilder::abstractmethod(const FuncDef &def) {
    nb::object f = make(def);
    nb::module_ abc = nb::module_::import_("abc");
    ns_[nb::str(def.name)] = abc.attr("abstractmethod")(f);
    return *this;
}

ClassBuilder &ClassBuilder::classmethod(const FuncDef &def) {
    ns_[nb::str(def.name)] = owned(PyClassMethod_New(make(def).ptr()));
    return *this;
}

ClassBuilder &ClassBuilder::staticmethod(const FuncDef &def) {
    ns_[nb::str(def.name)] = owned(PyStaticMethod_New(make(def).ptr()));
    return *this;
}

ClassBuilder &ClassBuilder::property(const FuncDef &getter) {
    nb::object prop = nb::borrow(reinterpret_cast<PyObject *>(&PyProperty_Type));
    ns_[nb::str(getter.name)] = prop(make(getter));
    return *this;
}

ClassBuilder &ClassBuilder::attr(const char *name, nb::handle value) {
    ns_[nb::str(name)] = value;
    return *this;
}

ClassBuilder &ClassBuilder::annotation(const char *name, nb::handle type) {
    if (!has_annotations_) {
        ns_[nb::str("__annotations__")] = annotations_;
        has_annotations_ = true;
    }
    annotations_[name] = type;
    return *this;
}

nb::object ClassBuilder::finish() {
    if (!orig_bases_.equal(bases_))
        ns_[nb::str("__orig_bases__")] = orig_bases_;
    nb::object cls = meta_(nb::str(name_.c_str()), bases_, ns_);
    mod_.set(name_.c_str(), cls);
    return cls;
}

} // namespace pyface
