// The function object: a heap type modelled on Python's function, whose body
// is a C++ function and whose parameters come from a FuncDef table.
#include "pyface.hpp"

#include <cstddef>
#include <cstring>
#include <structmember.h>

namespace pyface {

using namespace nb::literals;

// Access to the private parts of Call from this file.
struct FunctionAccess {
    static std::array<nb::object, Call::max_params> &slots(Call &c) { return c.slots_; }
    static void set_function(Call &c, PyObject *f, const FuncDef *def) {
        c.func_ = f;
        c.def_ = def;
    }
};


namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FuncDef *def;
    PyObject *globals;
    PyObject *closure;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *defaults;    // tuple or NULL
    PyObject *kwdefaults;  // dict or NULL
    PyObject *annotations; // dict or NULL
    PyObject *dict;
    PyObject *weakreflist;
    uint8_t n_positional;
    int8_t varargs_index;
    int8_t varkw_index;
    uint8_t n_params;
    Check checks[Call::max_params];
    bool none_ok[Call::max_params];
};

PyTypeObject *function_type = nullptr;

FunctionObject *as_func(PyObject *o) { return reinterpret_cast<FunctionObject *>(o); }

// Derives the entry check of a parameter from its annotation string.
void derive_check(const Param &p, Check &check, bool &none_ok) {
    check = p.check;
    none_ok = false;
    std::string_view a = p.annotation ? p.annotation : "";
    if (a.starts_with("Optional[") && a.ends_with("]")) {
        none_ok = true;
        a = a.substr(9, a.size() - 10);
    }
    if (check == Check::Auto) {
        if (a == "str")
            check = Check::Str;
        else if (a == "int")
            check = Check::Int;
        else if (a == "list" || a.starts_with("List["))
            check = Check::List;
        else if (a == "dict" || a.starts_with("Dict["))
            check = Check::Dict;
        else if (a == "float")
            check = Check::Float;
        else
            check = Check::None;
    }
    if (p.kind == Kind::VarArgs || p.kind == Kind::VarKw)
        check = Check::None;
    if (p.none_ok >= 0)
        none_ok = p.none_ok != 0;
}

nb::object default_value(const Default &d, nb::handle globals) {
    switch (d.type) {
    case Default::Type::None: return nb::none();
    case Default::Type::False: return nb::bool_(false);
    case Default::Type::True: return nb::bool_(true);
    case Default::Type::Int: return owned(PyLong_FromLongLong(d.i));
    case Default::Type::Float: return owned(PyFloat_FromDouble(d.f));
    case Default::Type::Str: return owned(PyUnicode_FromString(d.s));
    case Default::Type::Global: {
        PyObject *v = PyDict_GetItemString(globals.ptr(), d.s);
        if (!v)
            raise(PyExc_NameError, "name '%s' is not defined", d.s);
        return nb::borrow(v);
    }
    case Default::Type::Missing: break;
    }
    return nb::object();
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'" as CPython lists missing names.
std::string name_list(const std::vector<const char *> &names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2)
                out += " and ";
            else if (i + 1 == names.size())
                out += ", and ";
            else
                out += ", ";
        }
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

const char *check_name(Check c) {
    switch (c) {
    case Check::Str: return "str";
    case Check::Int: return "int";
    case Check::List: return "list";
    case Check::Dict: return "dict";
    case Check::Float: return "float";
    default: return "object";
    }
}

void run_check(FunctionObject *f, size_t i, nb::object &slot) {
    Check c = f->checks[i];
    if (c == Check::None)
        return;
    PyObject *v = slot.ptr();
    if (v == Py_None && f->none_ok[i])
        return;
    bool ok = false;
    switch (c) {
    case Check::Str: ok = PyUnicode_CheckExact(v); break;
    case Check::Int: ok = PyLong_CheckExact(v); break;
    case Check::List: ok = PyList_CheckExact(v); break;
    case Check::Dict: ok = PyDict_CheckExact(v); break;
    case Check::Float: {
        if (PyFloat_CheckExact(v))
            return;
        double d = PyFloat_AsDouble(v);
        if (d == -1.0 && PyErr_Occurred())
            throw_error();
        slot = owned(PyFloat_FromDouble(d));
        return;
    }
    default: return;
    }
    if (!ok) [[unlikely]]
        raise_arg_type(f->def->params[i].name, check_name(c), v);
}

// The binding errors, out of line: the messages CPython gives.
#define PYFACE_COLD [[noreturn, gnu::cold, gnu::noinline]]

PYFACE_COLD void raise_multiple_values(FunctionObject *f, const char *name) {
    raise(PyExc_TypeError, "%U() got multiple values for argument '%s'", f->qualname, name);
}

PYFACE_COLD void raise_unexpected_keyword(FunctionObject *f, PyObject *key) {
    raise(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, key);
}

PYFACE_COLD void raise_too_many_positional(FunctionObject *f, Py_ssize_t nargs) {
    const size_t npos = f->n_positional;
    size_t ndef = f->defaults ? (size_t)PyTuple_GET_SIZE(f->defaults) : 0;
    if (ndef > npos)
        ndef = npos;
    if (ndef > 0)
        raise(PyExc_TypeError, "%U() takes from %zd to %zd positional arguments but %zd %s given",
              f->qualname, (Py_ssize_t)(npos - ndef), (Py_ssize_t)npos, nargs,
              nargs == 1 ? "was" : "were");
    raise(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given", f->qualname,
          (Py_ssize_t)npos, npos == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
}

PYFACE_COLD void raise_missing(FunctionObject *f, const std::vector<const char *> &missing,
                               const char *kind) {
    raise(PyExc_TypeError, "%U() missing %zd required %s argument%s: %s", f->qualname,
          (Py_ssize_t)missing.size(), kind, missing.size() == 1 ? "" : "s",
          name_list(missing).c_str());
}

#undef PYFACE_COLD

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) noexcept {
    FunctionObject *f = as_func(self);
    const FuncDef &def = *f->def;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    return detail::guard([&]() -> nb::object {
        Call call;
        auto &slots = FunctionAccess::slots(call);
        FunctionAccess::set_function(call, self, &def);
        std::array<bool, Call::max_params> from_default{};
        const size_t npos = f->n_positional;

        size_t ncopy = std::min((size_t)nargs, npos);
        for (size_t i = 0; i < ncopy; ++i)
            slots[i] = nb::borrow(args[i]);
        if (f->varargs_index >= 0) {
            Py_ssize_t extra = nargs > (Py_ssize_t)npos ? nargs - (Py_ssize_t)npos : 0;
            nb::object t = owned(PyTuple_New(extra));
            for (Py_ssize_t i = 0; i < extra; ++i)
                PyTuple_SET_ITEM(t.ptr(), i, nb::borrow(args[npos + i]).release().ptr());
            slots[f->varargs_index] = std::move(t);
        }
        if (f->varkw_index >= 0)
            slots[f->varkw_index] = owned(PyDict_New());

        if (kwnames) {
            Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
            for (Py_ssize_t k = 0; k < nkw; ++k) {
                PyObject *key = PyTuple_GET_ITEM(kwnames, k);
                PyObject *value = args[nargs + k];
                int found = -1;
                for (size_t i = 0; i < f->n_params; ++i) {
                    const Param &p = def.params[i];
                    if (p.kind != Kind::Positional && p.kind != Kind::KwOnly)
                        continue;
                    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, p.name) == 0) {
                        found = (int)i;
                        break;
                    }
                }
                if (found >= 0) {
                    if (slots[found].is_valid())
                        raise_multiple_values(f, def.params[found].name);
                    slots[found] = nb::borrow(value);
                } else if (f->varkw_index >= 0) {
                    if (PyDict_SetItem(slots[f->varkw_index].ptr(), key, value) < 0)
                        throw_error();
                } else {
                    raise_unexpected_keyword(f, key);
                }
            }
        }

        // as CPython does: keyword errors first, then surplus positionals
        if ((size_t)nargs > npos && f->varargs_index < 0)
            raise_too_many_positional(f, nargs);

        // defaults of positional parameters, then of keyword-only ones
        std::vector<const char *> missing;
        size_t ndef = f->defaults ? (size_t)PyTuple_GET_SIZE(f->defaults) : 0;
        for (size_t i = 0; i < npos; ++i) {
            if (slots[i].is_valid())
                continue;
            if (ndef > 0 && i >= npos - std::min(ndef, npos)) {
                slots[i] = nb::borrow(PyTuple_GET_ITEM(f->defaults, i - (npos - std::min(ndef, npos))));
                from_default[i] = true;
            } else {
                missing.push_back(def.params[i].name);
            }
        }
        if (!missing.empty())
            raise_missing(f, missing, "positional");
        // held: a lookup in a dict that a user set may run Python code
        nb::object kwdefaults = nb::borrow(f->kwdefaults);
        for (size_t i = npos; i < f->n_params; ++i) {
            const Param &p = def.params[i];
            if (p.kind != Kind::KwOnly || slots[i].is_valid())
                continue;
            PyObject *d = kwdefaults.is_valid() ? PyDict_GetItemString(kwdefaults.ptr(), p.name) : nullptr;
            if (d) {
                slots[i] = nb::borrow(d);
                from_default[i] = true;
            } else {
                missing.push_back(p.name);
            }
        }
        if (!missing.empty())
            raise_missing(f, missing, "keyword-only");

        for (size_t i = 0; i < f->n_params; ++i)
            if (!from_default[i])
                run_check(f, i, slots[i]);

        nb::object result = def.body(call);
        if (!result.is_valid())
            return nb::none();
        return result;
    });
}

PyObject *function_call(PyObject *self, PyObject *args, PyObject *kwargs) {
    return PyVectorcall_Call(self, args, kwargs);
}

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    FunctionObject *f = as_func(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->globals);
    Py_VISIT(f->closure);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject *self) {
    FunctionObject *f = as_func(self);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_func(self)->weakreflist)
        PyObject_ClearWeakRefs(self);
    function_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// Like Python functions, pickled and copied by reference: the name under
// which the function is found in its module.
PyObject *function_reduce(PyObject *self, PyObject *) {
    return Py_NewRef(as_func(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_func(self)->qualname, self);
}

// ---- attributes

PyObject *get_name(PyObject *self, void *) { return Py_NewRef(as_func(self)->name); }
int set_name(PyObject *self, PyObject *v, void *) {
    if (!v || !PyUnicode_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_func(self)->name, Py_NewRef(v));
    return 0;
}
PyObject *get_qualname(PyObject *self, void *) { return Py_NewRef(as_func(self)->qualname); }
int set_qualname(PyObject *self, PyObject *v, void *) {
    if (!v || !PyUnicode_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_func(self)->qualname, Py_NewRef(v));
    return 0;
}
PyObject *get_defaults(PyObject *self, void *) {
    PyObject *d = as_func(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_defaults(PyObject *self, PyObject *v, void *) {
    if (v == Py_None)
        v = nullptr;
    if (v && !PyTuple_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_func(self)->defaults, Py_XNewRef(v));
    return 0;
}
PyObject *get_kwdefaults(PyObject *self, void *) {
    PyObject *d = as_func(self)->kwdefaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_kwdefaults(PyObject *self, PyObject *v, void *) {
    if (v == Py_None)
        v = nullptr;
    if (v && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_func(self)->kwdefaults, Py_XNewRef(v));
    return 0;
}
PyObject *get_annotations(PyObject *self, void *) {
    FunctionObject *f = as_func(self);
    if (!f->annotations && !(f->annotations = PyDict_New()))
        return nullptr;
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject *self, PyObject *v, void *) {
    if (v == Py_None)
        v = nullptr;
    if (v && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_func(self)->annotations, Py_XNewRef(v));
    return 0;
}
PyObject *get_globals(PyObject *self, void *) { return Py_NewRef(as_func(self)->globals); }

// inspect.Signature built from the current defaults and annotations.
PyObject *get_signature(PyObject *self, void *) {
    FunctionObject *f = as_func(self);
    if (f->dict) {
        PyObject *stored = PyDict_GetItemString(f->dict, "__signature__");
        if (stored)
            return Py_NewRef(stored);
    }
    return detail::guard([&]() -> nb::object {
        // Held for the whole build: making a Parameter allocates, and a
        // finaliser run by the collector may replace the function's defaults
        // or annotations meanwhile.
        nb::object defaults = nb::borrow(f->defaults), kwdefaults = nb::borrow(f->kwdefaults);
        nb::object annotations = nb::borrow(f->annotations);
        nb::module_ inspect = nb::module_::import_("inspect");
        nb::object Parameter = inspect.attr("Parameter");
        nb::object empty = Parameter.attr("empty");
        const FuncDef &def = *f->def;
        nb::list params;
        size_t npos = f->n_positional;
        size_t ndef = defaults.is_valid() ? (size_t)PyTuple_GET_SIZE(defaults.ptr()) : 0;
        if (ndef > npos) ndef = npos;
        for (size_t i = 0; i < f->n_params; ++i) {
            const Param &p = def.params[i];
            const char *kind = "POSITIONAL_OR_KEYWORD";
            nb::object dflt = empty;
            if (p.kind == Kind::VarArgs) kind = "VAR_POSITIONAL";
            else if (p.kind == Kind::VarKw) kind = "VAR_KEYWORD";
            else if (p.kind == Kind::KwOnly) {
                kind = "KEYWORD_ONLY";
                PyObject *d = kwdefaults.is_valid() ? PyDict_GetItemString(kwdefaults.ptr(), p.name) : nullptr;
                if (d) dflt = nb::borrow(d);
            } else if (i >= npos - ndef) {
                dflt = nb::borrow(PyTuple_GET_ITEM(defaults.ptr(), i - (npos - ndef)));
            }
            nb::object ann = empty;
            if (annotations.is_valid()) {
                PyObject *a = PyDict_GetItemString(annotations.ptr(), p.name);
                if (a) ann = nb::borrow(a);
            }
            params.append(Parameter(p.name, Parameter.attr(kind), "default"_a = dflt,
                                    "annotation"_a = ann));
        }
        nb::object ret = empty;
        if (annotations.is_valid()) {
            PyObject *a = PyDict_GetItemString(annotations.ptr(), "return");
            if (a) ret = nb::borrow(a);
        }
        return inspect.attr("Signature")(params, "return_annotation"_a = ret);
    });
}
int set_signature(PyObject *self, PyObject *v, void *) {
    FunctionObject *f = as_func(self);
    if (!f->dict && !(f->dict = PyDict_New()))
        return -1;
    if (!v) {
        if (PyDict_DelItemString(f->dict, "__signature__") < 0) {
            PyErr_SetString(PyExc_AttributeError, "__signature__");
            return -1;
        }
        return 0;
    }
    return PyDict_SetItemString(f->dict, "__signature__", v);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, set_signature, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, (void *)function_dealloc},
    {Py_tp_traverse, (void *)function_traverse},
    {Py_tp_clear, (void *)function_clear},
    {Py_tp_call, (void *)function_call},
    {Py_tp_descr_get, (void *)function_descr_get},
    {Py_tp_repr, (void *)function_repr},
    {Py_tp_methods, function_methods},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "tavrin.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR,
    function_slots,
};

PyTypeObject *get_function_type() {
    if (!function_type) {
        PyObject *t = PyType_FromSpec(&function_spec);
        if (!t)
            throw_error();
        function_type = reinterpret_cast<PyTypeObject *>(t); // kept for the process
    }
    return function_type;
}

} // namespace

nb::handle Call::closure() const {
    PyObject *c = as_func(func_.ptr())->closure;
    return c ? nb::handle(c) : nb::handle(Py_None);
}

nb::handle Call::globals() const { return as_func(func_.ptr())->globals; }

nb::object Call::global(const char *name) const { return lookup_global(globals(), name); }

bool is_function(nb::handle o) {
    return function_type && Py_TYPE(o.ptr()) == function_type;
}

nb::object make_function(const FuncDef &def, nb::handle globals, nb::handle closure,
                         const char *qualname) {
    PyTypeObject *tp = get_function_type();
    if (def.params.size() > Call::max_params)
        raise(PyExc_SystemError, "%s: too many parameters", def.name);
    nb::object self = owned(PyType_GenericAlloc(tp, 0));
    FunctionObject *f = as_func(self.ptr());
    f->vectorcall = function_vectorcall;
    f->def = &def;
    f->globals = Py_NewRef(globals.ptr());
    f->closure = closure.is_valid() ? Py_NewRef(closure.ptr()) : nullptr;
    f->name = owned(PyUnicode_FromString(def.name)).release().ptr();
    const char *qn = qualname ? qualname : (def.qualname ? def.qualname : def.name);
    f->qualname = owned(PyUnicode_FromString(qn)).release().ptr();
    PyObject *modname = PyDict_GetItemString(globals.ptr(), "__name__");
    f->module = Py_NewRef(modname ? modname : Py_None);
    f->doc = def.doc ? owned(PyUnicode_FromString(def.doc)).release().ptr() : nullptr;
    f->n_params = (uint8_t)def.params.size();
    f->varargs_index = -1;
    f->varkw_index = -1;
    f->n_positional = 0;

    nb::list pos_defaults;
    nb::dict kwdefaults;
    nb::dict annotations;
    for (size_t i = 0; i < def.params.size(); ++i) {
        const Param &p = def.params[i];
        derive_check(p, f->checks[i], f->none_ok[i]);
        switch (p.kind) {
        case Kind::Positional: f->n_positional = (uint8_t)(i + 1); break;
        case Kind::VarArgs: f->varargs_index = (int8_t)i; break;
        case Kind::VarKw: f->varkw_index = (int8_t)i; break;
        case Kind::KwOnly: break;
        }
        nb::object d = default_value(p.def, globals);
        if (d.is_valid()) {
            if (p.kind == Kind::KwOnly)
                kwdefaults[p.name] = d;
            else if (p.kind == Kind::Positional)
                pos_defaults.append(d);
        }
        if (p.annotation)
            annotations[p.name] = nb::str(p.annotation);
    }
    if (def.returns)
        annotations["return"] = nb::str(def.returns);
    if (nb::len(pos_defaults) > 0)
        f->defaults = owned(PyList_AsTuple(pos_defaults.ptr())).release().ptr();
    if (nb::len(kwdefaults) > 0)
        f->kwdefaults = kwdefaults.release().ptr();
    f->annotations = annotations.release().ptr();
    return self;
}

} // namespace pyface
