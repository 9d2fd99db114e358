// Coroutine generators as Python iterators.
#include "pyface.hpp"

#include <structmember.h>

namespace pyface {


nb::object Generator::next() {
    if (done())
        return nb::object();
    h_.resume();
    promise_type &p = h_.promise();
    if (p.error) {
        std::exception_ptr e = std::exchange(p.error, nullptr);
        reset();
        std::rethrow_exception(e);
    }
    if (h_.done()) {
        reset();
        return nb::object();
    }
    return std::move(p.value);
}

void Generator::reset() noexcept {
    if (h_) {
        h_.destroy();
        h_ = {};
    }
}

namespace {

struct IteratorObject {
    PyObject_HEAD
    Generator *gen;   // null once finished
    PyObject *keep;   // tuple of objects the body refers to
    bool running;
    PyObject *weakreflist;
};

PyTypeObject *iterator_type = nullptr;

IteratorObject *as_iter(PyObject *o) { return reinterpret_cast<IteratorObject *>(o); }

// Destroys the coroutine frame, releasing every reference it holds, then
// drops the objects the body referred to: like a Python generator, a
// finished one keeps nothing alive.
void finish(IteratorObject *it) {
    Generator *g = std::exchange(it->gen, nullptr);
    delete g;
    Py_CLEAR(it->keep);
}

PyObject *iterator_next(PyObject *self) {
    IteratorObject *it = as_iter(self);
    if (!it->gen)
        return nullptr;
    if (it->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    it->running = true;
    PyObject *r = detail::guard([&]() -> nb::object {
        nb::object v = it->gen->next();
        if (!v.is_valid())
            finish(it);
        return v;
    });
    it->running = false;
    if (!r && PyErr_Occurred())
        finish(it);
    return r;
}

PyObject *iterator_close(PyObject *self, PyObject *) {
    IteratorObject *it = as_iter(self);
    if (it->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    finish(it);
    Py_RETURN_NONE;
}

int iterator_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_iter(self)->keep);
    return 0;
}

int iterator_clear(PyObject *self) {
    IteratorObject *it = as_iter(self);
    if (!it->running)
        finish(it);
    Py_CLEAR(it->keep);
    return 0;
}

void iterator_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    IteratorObject *it = as_iter(self);
    if (it->weakreflist)
        PyObject_ClearWeakRefs(self);
    finish(it);
    Py_CLEAR(it->keep);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMethodDef iterator_methods[] = {
    {"close", iterator_close, METH_NOARGS, "Stop the generator and release what it holds."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef iterator_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(IteratorObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot iterator_slots[] = {
    {Py_tp_dealloc, (void *)iterator_dealloc},
    {Py_tp_traverse, (void *)iterator_traverse},
    {Py_tp_clear, (void *)iterator_clear},
    {Py_tp_iter, (void *)PyObject_SelfIter},
    {Py_tp_iternext, (void *)iterator_next},
    {Py_tp_methods, iterator_methods},
    {Py_tp_members, iterator_members},
    {0, nullptr},
};

PyType_Spec iterator_spec = {
    "tavrin.generator",
    sizeof(IteratorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    iterator_slots,
};

} // namespace

nb::object make_iterator(Generator g, nb::tuple keep) {
    if (!iterator_type) {
        iterator_type = reinterpret_cast<PyTypeObject *>(owned(PyType_FromSpec(&iterator_spec)).release().ptr());
    }
    nb::object self = owned(PyType_GenericAlloc(iterator_type, 0));
    IteratorObject *it = as_iter(self.ptr());
    it->gen = new Generator(std::move(g));
    it->keep = keep.release().ptr();
    it->running = false;
    return self;
}

} // namespace pyface
