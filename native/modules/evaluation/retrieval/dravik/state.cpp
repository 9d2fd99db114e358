// The native state of an EmbeddingRetriever and how it follows the public
// attributes `docs` and `doc_embeddings` (see Seen in dravik.hpp).
#include "dravik.hpp"

namespace dravik {

namespace {
constexpr const char *retriever_state_name = "tavrin.evaluation.retrieval.dravik._index";

RetrieverState *state_in(nb::handle capsule) {
    if (capsule.is_valid() && PyCapsule_IsValid(capsule.ptr(), retriever_state_name))
        return static_cast<RetrieverState *>(PyCapsule_GetPointer(capsule.ptr(), retriever_state_name));
    return nullptr;
}
} // namespace

nb::object instance_dict(nb::handle self) { return nb::getattr(self, "__dict__"); }

bool Seen::matches(nb::handle docs_now, nb::handle view_now) const {
    return docs.is(docs_now) && view.is(view_now) && (size_t)PyList_GET_SIZE(docs_now.ptr()) == docs_len;
}

bool wants_float32(nb::handle self) {
    nb::object flag = nb::getattr(self, "store_float32", nb::bool_(false));
    int truth = PyObject_IsTrue(flag.ptr());
    if (truth < 0)
        pf::throw_error();
    return truth == 1;
}

std::unique_ptr<RetrieverState> build_state(nb::handle self, nb::handle docs, nb::handle emb, nb::handle np) {
    bool store_float32 = wants_float32(self);
    if (!PyList_Check(docs.ptr()))
        pf::raise(PyExc_TypeError, "EmbeddingRetriever.docs must be a list of str, not %.200s",
                  pf::type_name_of(docs));
    auto state = std::make_unique<RetrieverState>();
    state->store_float32 = store_float32;
    size_t n = (size_t)PyList_GET_SIZE(docs.ptr());
    if (emb.is_none()) {
        if (n != 0)
            pf::raise(PyExc_ValueError, "EmbeddingRetriever has %zd documents but no embedding vectors",
                      (Py_ssize_t)n);
    } else {
        Vectors v = read_vectors(emb, n, 0, np);
        if (v.rows != n)
            pf::raise(PyExc_ValueError, "EmbeddingRetriever has %zd documents but %zd embedding vectors",
                      (Py_ssize_t)n, (Py_ssize_t)v.rows);
        if (n > 0)
            state->matrix = Matrix::combine(nullptr, v, store_float32);
    }
    state->index.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        nb::handle d = PyList_GET_ITEM(docs.ptr(), (Py_ssize_t)i);
        if (!PyUnicode_Check(d.ptr()))
            pf::raise(PyExc_TypeError, "EmbeddingRetriever.docs[%zd] is a %.200s, not a str", (Py_ssize_t)i,
                      pf::type_name_of(d));
        state->index.insert(text_of(d).view, i);
    }
    state->seen = Seen{nb::borrow(docs), nb::borrow(emb), n};
    return state;
}

RetrieverState &adopt_state(nb::handle self, std::unique_ptr<RetrieverState> state) {
    nb::capsule cap(state.get(), retriever_state_name,
                    [](void *p) noexcept { delete static_cast<RetrieverState *>(p); });
    RetrieverState &adopted = *state.release();
    if (PyDict_SetItemString(instance_dict(self).ptr(), "_index", cap.ptr()) < 0)
        pf::throw_error();
    return adopted;
}

RetrieverState &retriever_state(nb::handle self, nb::handle np) {
    nb::object docs = nb::getattr(self, "docs");
    nb::object emb = nb::getattr(self, "doc_embeddings");
    nb::object dict = instance_dict(self);
    // held: building the state runs Python code that may drop the capsule
    nb::object cap = nb::borrow(PyDict_GetItemString(dict.ptr(), "_index"));
    RetrieverState *state = state_in(cap);
    if (state && state->seen.matches(docs, emb))
        return *state;
    // First use, or a caller replaced or changed the attributes: start over
    // from what they hold now.
    std::unique_ptr<RetrieverState> fresh = build_state(self, docs, emb, np);
    if (state && PyDict_GetItemString(dict.ptr(), "_index") == cap.ptr()) {
        // the same object stays the state: a HeldState notices the change
        *state = std::move(*fresh);
        return *state;
    }
    return adopt_state(self, std::move(fresh));
}

HeldState::HeldState(nb::handle self, nb::handle np) : self_(self), np_(np), state_(&retriever_state(self, np)) {
    capsule_ = nb::borrow(PyDict_GetItemString(instance_dict(self).ptr(), "_index"));
    seen_ = state_->seen;
    rows_ = state_->matrix.rows();
}

void HeldState::check() const {
    RetrieverState &now = retriever_state(self_, np_);
    if (&now != state_ || !now.seen.same(seen_) || now.matrix.rows() != rows_)
        pf::raise(PyExc_RuntimeError, "the retriever was changed while its embedding model was running");
}

} // namespace dravik
