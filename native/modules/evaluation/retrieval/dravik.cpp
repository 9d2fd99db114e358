// tavrin.evaluation.retrieval.dravik: a retriever interface, an embedding
// retriever ranking documents by cosine similarity, a ground truth of graded
// relevance judgements with precision, recall and F1, and the evaluation run
// that ties them together.
//
// The computation lives in core/retrieval; this file gives it its Python face.
// Native state sits in the instance __dict__ beside the public attributes:
//   EmbeddingRetriever: "_index", kept in step with `docs` and `doc_embeddings`
//                        (checked by identity on every use, rebuilt when a
//                        caller has replaced them);
//   GroundTruth:        "_judgements"; `scores` is built from it on first read.
#include "core/retrieval/kernels.hpp"
#include "core/retrieval/metrics.hpp"
#include "core/retrieval/retrieval.hpp"
#include "pyface/pyface.hpp"

#include <nanobind/ndarray.h>

#include <bit>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace pf = pyface;
namespace nb = nanobind;
namespace rt = tavrin::retrieval;
using namespace nb::literals;

namespace {

// ---------------------------------------------------------------- helpers

// The UTF-8 bytes of a str, used as hash keys. Strings with lone surrogates
// (which strict UTF-8 refuses) are encoded with "surrogatepass", which keeps
// keys distinct.
struct Text {
    std::string_view view;
    nb::object keep;
};

Text text_of(nb::handle s) {
    Py_ssize_t size = 0;
    const char *p = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
    if (p)
        return Text{std::string_view(p, (size_t)size), nb::object()};
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
        pf::throw_error();
    PyErr_Clear();
    nb::object b = pf::owned(PyUnicode_AsEncodedString(s.ptr(), "utf-8", "surrogatepass"));
    return Text{std::string_view(PyBytes_AS_STRING(b.ptr()), (size_t)PyBytes_GET_SIZE(b.ptr())), b};
}

// A numpy array that owns `values`.
nb::object numpy_array(std::vector<double> values, std::initializer_list<size_t> shape) {
    auto heap = std::make_unique<std::vector<double>>(std::move(values));
    nb::capsule owner(heap.get(), [](void *p) noexcept { delete static_cast<std::vector<double> *>(p); });
    std::vector<double> *v = heap.release();
    return nb::ndarray<nb::numpy, double>(v->data(), shape, owner).cast();
}

// A read-only numpy view of the first rows of a matrix block; the view keeps
// the block alive.
template <class T> nb::object numpy_view(const rt::EmbeddingMatrix<T> &m) {
    auto keep = std::make_unique<std::shared_ptr<const T[]>>(m.block());
    nb::capsule owner(keep.get(), [](void *p) noexcept { delete static_cast<std::shared_ptr<const T[]> *>(p); });
    keep.release();
    return nb::ndarray<nb::numpy, const T, nb::ndim<2>>(m.data(), {m.rows(), m.dim()}, owner).cast();
}

// A Python buffer held for the duration of a scope.
struct Buffer {
    Py_buffer view{};
    bool held = false;
    Buffer() = default;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    bool acquire(nb::handle o, int flags) {
        release();
        if (PyObject_GetBuffer(o.ptr(), &view, flags) < 0) {
            PyErr_Clear();
            return false;
        }
        held = true;
        return true;
    }
    void release() {
        if (held)
            PyBuffer_Release(&view);
        held = false;
    }
    ~Buffer() { release(); }
};

enum class Elem { Other, F64, F32 };

Elem elem_of(const char *format) {
    if (!format)
        return Elem::Other;
    std::string_view f(format);
    if (!f.empty() && (f[0] == '@' || f[0] == '=' || (f[0] == '<' && std::endian::native == std::endian::little)))
        f.remove_prefix(1);
    if (f == "d")
        return Elem::F64;
    if (f == "f")
        return Elem::F32;
    return Elem::Other;
}

// Embedding vectors read into one row-major buffer of doubles.
struct Vectors {
    std::vector<double> values;
    size_t rows = 0;
    size_t dim = 0;
    bool float32 = true; // numpy would build float32 from them
};

void check_finite(double v, size_t row) {
    if (!std::isfinite(v))
        pf::raise(PyExc_ValueError, "embedding vector %zd holds a non-finite value (%R)", (Py_ssize_t)row,
                  pf::owned(PyFloat_FromDouble(v)).ptr());
}

// Appends one vector (a sequence of numbers or a 1-D array) to `out`, and
// returns its length.
size_t read_vector(nb::handle v, size_t row, Vectors &out, nb::handle np) {
    Buffer buf;
    if (!PyList_Check(v.ptr()) && !PyTuple_Check(v.ptr()) && PyObject_CheckBuffer(v.ptr()) &&
        buf.acquire(v, PyBUF_RECORDS_RO)) {
        const Py_buffer &b = buf.view;
        if (b.ndim != 1)
            pf::raise(PyExc_ValueError, "embedding vector %zd has %d dimensions, expected a flat vector",
                      (Py_ssize_t)row, b.ndim);
        Elem e = elem_of(b.format);
        if (e == Elem::Other) {
            nb::object converted = np.attr("asarray")(v, "dtype"_a = "float64");
            out.float32 = false;
            return read_vector(converted, row, out, np);
        }
        size_t n = (size_t)b.shape[0];
        Py_ssize_t stride = b.strides ? b.strides[0] : b.itemsize;
        const char *p = static_cast<const char *>(b.buf);
        for (size_t j = 0; j < n; ++j, p += stride) {
            double x = e == Elem::F64 ? *reinterpret_cast<const double *>(p)
                                      : static_cast<double>(*reinterpret_cast<const float *>(p));
            check_finite(x, row);
            out.values.push_back(x);
        }
        if (e != Elem::F32)
            out.float32 = false;
        return n;
    }
    out.float32 = false;
    if (PyUnicode_Check(v.ptr()) || PyBytes_Check(v.ptr()) || !PySequence_Check(v.ptr()))
        pf::raise(PyExc_TypeError, "embedding vector %zd is a %.200s, not a sequence of numbers",
                  (Py_ssize_t)row, pf::type_name_of(v));
    nb::object seq = pf::owned(PySequence_Fast(v.ptr(), "embedding vectors must be sequences"));
    size_t n = (size_t)PySequence_Fast_GET_SIZE(seq.ptr());
    PyObject **items = PySequence_Fast_ITEMS(seq.ptr());
    for (size_t j = 0; j < n; ++j) {
        PyObject *x = items[j];
        double d;
        if (PyFloat_CheckExact(x)) {
            d = PyFloat_AS_DOUBLE(x);
        } else {
            if (PyUnicode_Check(x) || PyBytes_Check(x) || (!PyNumber_Check(x)))
                pf::raise(PyExc_TypeError, "embedding vector %zd holds a %.200s, not a number", (Py_ssize_t)row,
                          pf::type_name_of(x));
            d = PyFloat_AsDouble(x);
            if (d == -1.0 && PyErr_Occurred())
                pf::throw_error();
        }
        check_finite(d, row);
        out.values.push_back(d);
    }
    return n;
}

// Reads the vectors a model returned for `count` texts; each must have
// `dim` values (0: whatever the first one has).
Vectors read_vectors(nb::handle vectors, size_t count, size_t dim, nb::handle np) {
    Vectors out;
    Buffer buf;
    if (PyObject_CheckBuffer(vectors.ptr()) && buf.acquire(vectors, PyBUF_RECORDS_RO) && buf.view.ndim == 2 &&
        elem_of(buf.view.format) != Elem::Other) {
        // a 2-D float array
        const Py_buffer &b = buf.view;
        Elem e = elem_of(b.format);
        out.rows = (size_t)b.shape[0];
        out.dim = (size_t)b.shape[1];
        out.float32 = e == Elem::F32;
        if (out.rows != count)
            pf::raise(PyExc_ValueError, "the embedding model returned %zd vectors for %zd texts",
                      (Py_ssize_t)out.rows, (Py_ssize_t)count);
        out.values.reserve(out.rows * out.dim);
        const char *base = static_cast<const char *>(b.buf);
        Py_ssize_t s0 = b.strides ? b.strides[0] : b.itemsize * b.shape[1];
        Py_ssize_t s1 = b.strides ? b.strides[1] : b.itemsize;
        for (size_t r = 0; r < out.rows; ++r)
            for (size_t j = 0; j < out.dim; ++j) {
                const char *p = base + (Py_ssize_t)r * s0 + (Py_ssize_t)j * s1;
                double x = e == Elem::F64 ? *reinterpret_cast<const double *>(p)
                                          : static_cast<double>(*reinterpret_cast<const float *>(p));
                check_finite(x, r);
                out.values.push_back(x);
            }
    } else {
        buf.release();
        if (PyUnicode_Check(vectors.ptr()) || !PySequence_Check(vectors.ptr()))
            pf::raise(PyExc_TypeError, "the embedding model returned a %.200s, not a list of vectors",
                      pf::type_name_of(vectors));
        nb::object seq = pf::owned(PySequence_Fast(vectors.ptr(), "embedding vectors must be a sequence"));
        size_t n = (size_t)PySequence_Fast_GET_SIZE(seq.ptr());
        if (n != count)
            pf::raise(PyExc_ValueError, "the embedding model returned %zd vectors for %zd texts", (Py_ssize_t)n,
                      (Py_ssize_t)count);
        for (size_t r = 0; r < n; ++r) {
            size_t len = read_vector(PySequence_Fast_GET_ITEM(seq.ptr(), (Py_ssize_t)r), r, out, np);
            if (r == 0)
                out.dim = len;
            else if (len != out.dim)
                pf::raise(PyExc_ValueError,
                          "the embedding model returned vectors of unequal lengths (vector 0 has %zd values, "
                          "vector %zd has %zd)",
                          (Py_ssize_t)out.dim, (Py_ssize_t)r, (Py_ssize_t)len);
        }
        out.rows = n;
    }
    if (out.rows > 0 && out.dim == 0)
        pf::raise(PyExc_ValueError, "the embedding model returned empty vectors");
    if (out.rows > 0 && dim != 0 && out.dim != dim)
        pf::raise(PyExc_ValueError,
                  "the embedding model returned vectors of length %zd, but the indexed documents have vectors "
                  "of length %zd",
                  (Py_ssize_t)out.dim, (Py_ssize_t)dim);
    return out;
}

// ---------------------------------------------------------------- retriever state

using Matrix = std::variant<std::monostate, rt::EmbeddingMatrix<float>, rt::EmbeddingMatrix<double>>;

size_t rows_of(const Matrix &m) {
    return std::visit([](const auto &x) -> size_t {
        if constexpr (std::is_same_v<std::decay_t<decltype(x)>, std::monostate>) return 0;
        else return x.rows();
    }, m);
}
size_t dim_of(const Matrix &m) {
    return std::visit([](const auto &x) -> size_t {
        if constexpr (std::is_same_v<std::decay_t<decltype(x)>, std::monostate>) return 0;
        else return x.dim();
    }, m);
}
nb::object view_of(const Matrix &m) {
    return std::visit([](const auto &x) -> nb::object {
        if constexpr (std::is_same_v<std::decay_t<decltype(x)>, std::monostate>) return nb::none();
        else return x.rows() == 0 ? nb::none() : numpy_view(x);
    }, m);
}

struct RetrieverState {
    rt::StringIndex index; // document text -> first row
    Matrix matrix;
    nb::object docs_seen;  // the `docs` list and `doc_embeddings` value this
    nb::object view_seen;  // state stands for, and the list's length then
    size_t docs_len_seen = 0;
    bool store_float32 = false; // vectors kept as float32 whatever the model returns
};

// Whether the retriever's class asks for float32 storage (its attribute
// `store_float32`, False on EmbeddingRetriever).
bool wants_float32(nb::handle self) {
    nb::object flag = nb::getattr(self, "store_float32", nb::bool_(false));
    int truth = PyObject_IsTrue(flag.ptr());
    if (truth < 0)
        pf::throw_error();
    return truth == 1;
}

constexpr const char *retriever_state_name = "tavrin.evaluation.retrieval.dravik._index";

// A matrix holding `v` (and the rows of `base`, if given), with the element
// type numpy would give them, or float32 when the retriever asks for it.
Matrix build_matrix(const Matrix *base, const Vectors &v, bool store_float32) {
    bool as_float = store_float32 ||
                    (v.float32 && (!base || std::holds_alternative<std::monostate>(*base) ||
                                   std::holds_alternative<rt::EmbeddingMatrix<float>>(*base)));
    auto fill = [&](auto &m) {
        size_t old_rows = base ? rows_of(*base) : 0;
        m.reserve_more(old_rows + v.rows);
        if (old_rows) {
            std::vector<double> tmp(old_rows * m.dim());
            std::visit([&](const auto &b) {
                if constexpr (!std::is_same_v<std::decay_t<decltype(b)>, std::monostate>)
                    for (size_t i = 0; i < tmp.size(); ++i)
                        tmp[i] = static_cast<double>(b.data()[i]);
            }, *base);
            m.append(tmp.data(), old_rows);
        }
        m.append(v.values.data(), v.rows);
    };
    if (as_float) {
        Matrix out{std::in_place_type<rt::EmbeddingMatrix<float>>, v.dim};
        fill(std::get<rt::EmbeddingMatrix<float>>(out));
        return out;
    }
    Matrix out{std::in_place_type<rt::EmbeddingMatrix<double>>, v.dim};
    fill(std::get<rt::EmbeddingMatrix<double>>(out));
    return out;
}

// Builds the state for a `docs` list and its vectors; `emb` None means none.
std::unique_ptr<RetrieverState> build_state(nb::handle docs, nb::handle emb, nb::handle np, bool store_float32) {
    if (!PyList_Check(docs.ptr()))
        pf::raise(PyExc_TypeError, "EmbeddingRetriever.docs must be a list of str, not %.200s",
                  pf::type_name_of(docs));
    auto state = std::make_unique<RetrieverState>();
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
            state->matrix = build_matrix(nullptr, v, store_float32);
    }
    state->index.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        nb::handle d = PyList_GET_ITEM(docs.ptr(), (Py_ssize_t)i);
        if (!PyUnicode_Check(d.ptr()))
            pf::raise(PyExc_TypeError, "EmbeddingRetriever.docs[%zd] is a %.200s, not a str", (Py_ssize_t)i,
                      pf::type_name_of(d));
        state->index.insert(text_of(d).view, i);
    }
    state->docs_seen = nb::borrow(docs);
    state->view_seen = nb::borrow(emb);
    state->docs_len_seen = n;
    return state;
}

nb::object instance_dict(nb::handle self) { return nb::getattr(self, "__dict__"); }

// The native state of a retriever, in step with its public attributes.
RetrieverState &retriever_state(nb::handle self, nb::handle np) {
    nb::object docs = nb::getattr(self, "docs");
    nb::object emb = nb::getattr(self, "doc_embeddings");
    nb::object dict = instance_dict(self);
    // held: building the state runs Python code that may drop the capsule
    nb::object cap = nb::borrow(PyDict_GetItemString(dict.ptr(), "_index"));
    RetrieverState *state = nullptr;
    if (cap.is_valid() && PyCapsule_IsValid(cap.ptr(), retriever_state_name))
        state = static_cast<RetrieverState *>(PyCapsule_GetPointer(cap.ptr(), retriever_state_name));
    if (state && state->docs_seen.is(docs) && state->view_seen.is(emb) &&
        (size_t)PyList_GET_SIZE(docs.ptr()) == state->docs_len_seen)
        return *state;
    // First use, or a caller replaced or changed the attributes: start over
    // from what they hold now.
    bool store_float32 = wants_float32(self);
    std::unique_ptr<RetrieverState> fresh = build_state(docs, emb, np, store_float32);
    fresh->store_float32 = store_float32;
    if (state && PyDict_GetItemString(dict.ptr(), "_index") == cap.ptr()) {
        *state = std::move(*fresh);
        return *state;
    }
    nb::capsule c(fresh.get(), retriever_state_name,
                  [](void *p) noexcept { delete static_cast<RetrieverState *>(p); });
    state = fresh.release();
    if (PyDict_SetItemString(dict.ptr(), "_index", c.ptr()) < 0)
        pf::throw_error();
    return *state;
}

// The retriever's state as a method found it. Python code that a method calls
// (the model, a vector's __float__) may replace or drop the state; the
// capsule is held so the state stays alive, and `check` refuses to go on with
// a state that was changed meanwhile.
class HeldState {
public:
    HeldState(nb::handle self, nb::handle np)
        : self_(self), np_(np), state_(&retriever_state(self, np)) {
        capsule_ = nb::borrow(PyDict_GetItemString(instance_dict(self).ptr(), "_index"));
        docs_ = state_->docs_seen;
        view_ = state_->view_seen;
        len_ = state_->docs_len_seen;
        rows_ = rows_of(state_->matrix);
    }
    RetrieverState &operator*() const { return *state_; }
    RetrieverState *operator->() const { return state_; }
    // After Python code ran: the same state, unchanged, or RuntimeError.
    void check() const {
        RetrieverState &now = retriever_state(self_, np_);
        if (&now != state_ || !now.docs_seen.is(docs_) || !now.view_seen.is(view_) ||
            now.docs_len_seen != len_ || rows_of(now.matrix) != rows_)
            pf::raise(PyExc_RuntimeError,
                      "the retriever was changed while its embedding model was running");
    }

private:
    nb::handle self_, np_;
    RetrieverState *state_;
    nb::object capsule_, docs_, view_;
    size_t len_ = 0, rows_ = 0;
};

// ---------------------------------------------------------------- Retriever

nb::object abstract_body(pf::Call &) { return nb::none(); }

const pf::FuncDef retriever_index_def{
    .name = "index",
    .params = {pf::arg("self"), pf::arg("docs", "list[str]").checked(pf::Check::List)},
    .body = abstract_body,
};
const pf::FuncDef retriever_search_def{
    .name = "search",
    .params = {pf::arg("self"), pf::arg("query", "str"), pf::arg("k", "int").dflt(5)},
    .body = abstract_body,
    .returns = "list[str]",
};

// ---------------------------------------------------------------- EmbeddingRetriever

const char *embedding_retriever_doc =
    "\n"
    "    A retriever that uses an embedding model (which implements langchain's Embeddings interface) to index "
    "and search documents.\n"
    "    Uses cosine similarity between query and document embeddings to rank documents.\n"
    "    ";

nb::object er_init(pf::Call &c) {
    nb::handle self = c[0];
    nb::setattr(self, "embeddings", c[1]);
    nb::setattr(self, "docs", nb::list());
    nb::setattr(self, "doc_embeddings", nb::none());
    return nb::none();
}
const pf::FuncDef er_init_def{
    .name = "__init__",
    .params = {pf::arg("self"), pf::arg("embeddings", "Embeddings")},
    .body = er_init,
};

nb::object er_index(pf::Call &c) {
    nb::handle self = c[0];
    nb::handle given = c[1];
    nb::object np = c.global("np");
    HeldState held(self, np);
    RetrieverState &state = *held;
    nb::object docs = state.docs_seen;

    // The documents not indexed yet, in order (a new one given twice is kept twice).
    nb::list kept;
    std::vector<Text> texts;
    Py_ssize_t n_given = PyList_GET_SIZE(given.ptr());
    for (Py_ssize_t i = 0; i < n_given; ++i) {
        nb::handle d = PyList_GET_ITEM(given.ptr(), i);
        if (!PyUnicode_Check(d.ptr()))
            pf::raise(PyExc_TypeError, "documents must be str, but docs[%zd] is a %.200s", i, pf::type_name_of(d));
        Text t = text_of(d);
        if (state.index.find(t.view) == rt::npos) {
            kept.append(d);
            texts.push_back(std::move(t));
        }
    }
    size_t n_new = texts.size();
    if (n_new == 0)
        return nb::none();

    // Everything that can fail comes before the first change, so `docs` and
    // `doc_embeddings` change together or not at all.
    size_t dim = dim_of(state.matrix);
    nb::object returned = nb::getattr(self, "embeddings").attr("embed_documents")(kept);
    Vectors v = read_vectors(returned, n_new, dim, np);
    held.check();

    size_t old_rows = rows_of(state.matrix);
    std::optional<Matrix> rebuilt;
    bool promote = std::holds_alternative<std::monostate>(state.matrix) ||
                   (!v.float32 && !state.store_float32 &&
                    std::holds_alternative<rt::EmbeddingMatrix<float>>(state.matrix));
    if (promote)
        rebuilt = build_matrix(&state.matrix, v, state.store_float32);
    else
        std::visit([&](auto &m) {
            if constexpr (!std::is_same_v<std::decay_t<decltype(m)>, std::monostate>)
                m.reserve_more(n_new);
        }, state.matrix);

    size_t old_len = (size_t)PyList_GET_SIZE(docs.ptr());
    if (PyList_SetSlice(docs.ptr(), (Py_ssize_t)old_len, (Py_ssize_t)old_len, kept.ptr()) < 0)
        pf::throw_error();
    std::vector<std::string_view> inserted;
    auto undo = [&] {
        for (std::string_view key : inserted)
            state.index.erase(key);
        std::visit([&](auto &m) {
            if constexpr (!std::is_same_v<std::decay_t<decltype(m)>, std::monostate>)
                m.truncate(old_rows);
        }, state.matrix);
        if (PyList_SetSlice(docs.ptr(), (Py_ssize_t)old_len, (Py_ssize_t)(old_len + n_new), nullptr) < 0)
            PyErr_Clear();
    };
    try {
        for (size_t j = 0; j < n_new; ++j)
            if (state.index.insert(texts[j].view, old_rows + j))
                inserted.push_back(texts[j].view);
        if (rebuilt) {
            nb::object view = view_of(*rebuilt);
            nb::setattr(self, "doc_embeddings", view);
            state.matrix = std::move(*rebuilt);
            state.view_seen = view;
        } else {
            std::visit([&](auto &m) {
                if constexpr (!std::is_same_v<std::decay_t<decltype(m)>, std::monostate>)
                    m.append(v.values.data(), n_new);
            }, state.matrix);
            nb::object view = view_of(state.matrix);
            nb::setattr(self, "doc_embeddings", view);
            state.view_seen = view;
        }
    } catch (...) {
        undo();
        throw;
    }
    state.docs_len_seen = old_len + n_new;
    return nb::none();
}
const pf::FuncDef er_index_def{
    .name = "index",
    .params = {pf::arg("self"), pf::arg("docs", "list[str]").checked(pf::Check::List)},
    .body = er_index,
};

// The query's vector, as doubles of the indexed documents' length.
std::vector<double> query_vector(nb::handle vector, size_t dim, nb::handle np) {
    Vectors v;
    size_t len = read_vector(vector, 0, v, np);
    if (len != dim)
        pf::raise(PyExc_ValueError,
                  "the query vector has length %zd, but the indexed documents have vectors of length %zd",
                  (Py_ssize_t)len, (Py_ssize_t)dim);
    return std::move(v.values);
}

nb::object er_search(pf::Call &c) {
    nb::handle self = c[0];
    long long k = nb::cast<long long>(c[2]);
    if (k < 0)
        pf::raise(PyExc_ValueError, "k must not be negative, got %lld", k);
    nb::object np = c.global("np");
    RetrieverState &state = retriever_state(self, np);
    nb::list result;
    if (k == 0 || rows_of(state.matrix) == 0)
        return result;
    nb::object returned = nb::getattr(self, "embeddings").attr("embed_query")(c[1]);
    // the model may have run any code: look again
    HeldState held(self, np);
    RetrieverState &now = *held;
    std::vector<double> q = query_vector(returned, dim_of(now.matrix), np);
    held.check();
    std::vector<rt::Hit> hits = std::visit([&](const auto &m) -> std::vector<rt::Hit> {
        if constexpr (std::is_same_v<std::decay_t<decltype(m)>, std::monostate>) return {};
        else {
            // the snapshot holds the rows it reads: other threads may index meanwhile
            auto rows = m.snapshot();
            nb::gil_scoped_release unlocked;
            return rows.top_k(q.data(), (size_t)k);
        }
    }, now.matrix);
    for (const rt::Hit &h : hits)
        result.append(nb::handle(PyList_GET_ITEM(now.docs_seen.ptr(), (Py_ssize_t)h.row)));
    return result;
}
const pf::FuncDef er_search_def{
    .name = "search",
    .params = {pf::arg("self"), pf::arg("query", "str"), pf::arg("k", "int").dflt(5)},
    .body = er_search,
    .returns = "list[str]",
};

// search_many: search() for every query, in one blocked pass over the
// matrix (one tile of dot products per block of queries and chunk of rows),
// with the same rankings search() gives.
nb::object er_search_many(pf::Call &c) {
    nb::handle self = c[0];
    nb::handle queries = c[1];
    long long k = nb::cast<long long>(c[2]);
    if (k < 0)
        pf::raise(PyExc_ValueError, "k must not be negative, got %lld", k);
    nb::object np = c.global("np");
    Py_ssize_t n_queries = PyList_GET_SIZE(queries.ptr());
    nb::list result;
    if (k == 0 || rows_of(retriever_state(self, np).matrix) == 0) {
        for (Py_ssize_t i = 0; i < n_queries; ++i)
            result.append(nb::list());
        return result;
    }
    nb::object embed = nb::getattr(self, "embeddings").attr("embed_query");
    std::vector<nb::object> returned;
    returned.reserve((size_t)n_queries);
    for (Py_ssize_t i = 0; i < n_queries; ++i) {
        nb::handle q = PyList_GET_ITEM(queries.ptr(), i);
        if (!PyUnicode_Check(q.ptr()))
            pf::raise(PyExc_TypeError, "queries must be str, but queries[%zd] is a %.200s", i, pf::type_name_of(q));
        returned.push_back(embed(q));
    }
    HeldState held(self, np);
    RetrieverState &now = *held;
    size_t dim = dim_of(now.matrix);
    std::vector<double> vectors;
    vectors.reserve((size_t)n_queries * dim);
    for (const nb::object &v : returned) {
        std::vector<double> one = query_vector(v, dim, np);
        vectors.insert(vectors.end(), one.begin(), one.end());
    }
    held.check();
    size_t kk = std::min((size_t)k, rows_of(now.matrix));
    std::vector<rt::Hit> hits((size_t)n_queries * kk);
    std::visit([&](const auto &m) {
        if constexpr (!std::is_same_v<std::decay_t<decltype(m)>, std::monostate>) {
            auto rows = m.snapshot();
            nb::gil_scoped_release unlocked;
            rows.top_k_block(vectors.data(), (size_t)n_queries, kk, hits.data());
        }
    }, now.matrix);
    for (Py_ssize_t i = 0; i < n_queries; ++i) {
        nb::list found;
        for (size_t j = 0; j < kk; ++j)
            found.append(nb::handle(PyList_GET_ITEM(now.docs_seen.ptr(), (Py_ssize_t)hits[(size_t)i * kk + j].row)));
        result.append(found);
    }
    return result;
}
const pf::FuncDef er_search_many_def{
    .name = "search_many",
    .params = {pf::arg("self"), pf::arg("queries", "list[str]").checked(pf::Check::List), pf::arg("k", "int").dflt(5)},
    .body = er_search_many,
    .returns = "list[list[str]]",
};

nb::object er_cosine_similarity(pf::Call &c) {
    nb::object np = c.global("np");
    HeldState held(c[0], np);
    RetrieverState &state = *held;
    size_t rows = rows_of(state.matrix);
    if (rows == 0)
        return nb::float_(0.0);
    std::vector<double> q = query_vector(c[1], dim_of(state.matrix), np);
    held.check();
    std::vector<double> sims(rows);
    std::visit([&](const auto &m) {
        if constexpr (!std::is_same_v<std::decay_t<decltype(m)>, std::monostate>) {
            auto snapshot = m.snapshot();
            nb::gil_scoped_release unlocked;
            snapshot.similarities(q.data(), sims.data());
        }
    }, state.matrix);
    return numpy_array(std::move(sims), {rows});
}
const pf::FuncDef er_cosine_similarity_def{
    .name = "cosine_similarity",
    .params = {pf::arg("self"), pf::arg("query", "np.ndarray")},
    .body = er_cosine_similarity,
    .returns = "float",
};

nb::object er_save(pf::Call &c) {
    nb::handle self = c[0];
    nb::object np = c.global("np");
    nb::str prefix = pf::format(c[1]);
    nb::object docs = nb::getattr(self, "docs");
    nb::object emb = nb::getattr(self, "doc_embeddings");
    nb::object save = np.attr("save");
    if (emb.is_none()) {
        if (nb::len(docs) != 0)
            pf::raise(PyExc_ValueError, "EmbeddingRetriever has %zd documents but no embedding vectors",
                      (Py_ssize_t)nb::len(docs));
        // an empty index: no texts, no vectors
        save(pf::cat({prefix, "_docs.npy"}), np.attr("array")(nb::list(), "dtype"_a = np.attr("str_")));
        save(pf::cat({prefix, "_doc_embeddings.npy"}), np.attr("zeros")(nb::make_tuple(0, 0)));
        return nb::none();
    }
    save(pf::cat({prefix, "_docs.npy"}), docs);
    save(pf::cat({prefix, "_doc_embeddings.npy"}), emb);
    return nb::none();
}
const pf::FuncDef er_save_def{.name = "save", .params = {pf::arg("self"), pf::arg("path")}, .body = er_save};

nb::object er_load(pf::Call &c) {
    nb::handle self = c[0];
    nb::object np = c.global("np");
    nb::str prefix = pf::format(c[1]);
    nb::str docs_path = pf::cat({prefix, "_docs.npy"});
    nb::str emb_path = pf::cat({prefix, "_doc_embeddings.npy"});
    nb::object docs_arr = np.attr("load")(docs_path);
    nb::object emb_arr = np.attr("load")(emb_path);

    nb::object dtype = docs_arr.attr("dtype");
    size_t n = nb::cast<size_t>(docs_arr.attr("size"));
    if (nb::cast<int>(docs_arr.attr("ndim")) != 1 ||
        (n > 0 && !nb::cast<std::string>(dtype.attr("kind")).starts_with("U")))
        pf::raise(PyExc_ValueError, "%U does not hold a list of document texts (found an array of %S, shape %S)",
                  docs_path.ptr(), dtype.ptr(), docs_arr.attr("shape").ptr());
    nb::list docs;
    if (n > 0)
        docs = nb::borrow<nb::list>(docs_arr.attr("tolist")());
    nb::object emb = nb::none();
    if (n == 0) {
        if (nb::cast<size_t>(emb_arr.attr("size")) != 0)
            pf::raise(PyExc_ValueError, "%U holds embedding vectors, but %U holds no documents", emb_path.ptr(),
                      docs_path.ptr());
    } else {
        nb::object shape = emb_arr.attr("shape");
        if (nb::cast<int>(emb_arr.attr("ndim")) != 2 || nb::cast<size_t>(shape[0]) != n)
            pf::raise(PyExc_ValueError, "%U holds vectors of shape %S for the %zd documents of %U", emb_path.ptr(),
                      shape.ptr(), (Py_ssize_t)n, docs_path.ptr());
        emb = emb_arr;
    }
    bool store_float32 = wants_float32(self);
    std::unique_ptr<RetrieverState> fresh = build_state(docs, emb, np, store_float32);
    fresh->store_float32 = store_float32;
    nb::object view = view_of(fresh->matrix);
    fresh->view_seen = view;
    nb::setattr(self, "docs", docs);
    nb::setattr(self, "doc_embeddings", view);
    // the next use adopts the fresh state
    nb::object dict = instance_dict(self);
    nb::capsule cap(fresh.get(), retriever_state_name,
                    [](void *p) noexcept { delete static_cast<RetrieverState *>(p); });
    fresh.release();
    if (PyDict_SetItemString(dict.ptr(), "_index", cap.ptr()) < 0)
        pf::throw_error();
    return nb::none();
}
const pf::FuncDef er_load_def{.name = "load", .params = {pf::arg("self"), pf::arg("path")}, .body = er_load};

// ---------------------------------------------------------------- GroundTruth

struct GroundTruthState {
    rt::Judgements judgements;
    nb::list score_objects; // the score object given last for each cell
};

constexpr const char *ground_truth_state_name = "tavrin.evaluation.retrieval.dravik._judgements";

// The ground truth's judgements, with their capsule held for as long as the
// caller works on them: Python code it calls (numpy, a score's __float__, a
// finaliser) may re-initialise the object or drop its attributes.
class HeldJudgements {
public:
    HeldJudgements(nb::object capsule, GroundTruthState *state)
        : capsule_(std::move(capsule)), state_(state) {}
    GroundTruthState &operator*() const { return *state_; }
    GroundTruthState *operator->() const { return state_; }

private:
    nb::object capsule_;
    GroundTruthState *state_;
};

HeldJudgements ground_truth_state(nb::handle self) {
    nb::object dict = instance_dict(self);
    PyObject *cap = PyDict_GetItemString(dict.ptr(), "_judgements");
    if (!cap || !PyCapsule_IsValid(cap, ground_truth_state_name))
        pf::raise(PyExc_AttributeError, "'%.200s' object has no judgements (was GroundTruth.__init__ called?)",
                  pf::type_name_of(self));
    return HeldJudgements(nb::borrow(cap),
                          static_cast<GroundTruthState *>(PyCapsule_GetPointer(cap, ground_truth_state_name)));
}

[[noreturn]] void raise_entry(PyObject *type, size_t entry, const char *what, nb::handle got) {
    pf::raise(type, "ground-truth entry %zd: %s, got %.200s", (Py_ssize_t)entry, what, pf::type_name_of(got));
}

nb::object gt_init(pf::Call &c) {
    nb::handle self = c[0];
    auto state = std::make_unique<GroundTruthState>();
    nb::list queries, docs;
    nb::object max_score = nb::float_(0.0);
    nb::object it = pf::owned(PyObject_GetIter(c[1].ptr()));
    size_t entry = 0;
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object item = nb::steal(raw);
        std::vector<nb::object> parts;
        nb::handle q, d, s;
        if (PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 3) {
            q = PyTuple_GET_ITEM(item.ptr(), 0);
            d = PyTuple_GET_ITEM(item.ptr(), 1);
            s = PyTuple_GET_ITEM(item.ptr(), 2);
        } else {
            try {
                parts = pf::unpack(item, 3);
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_ValueError))
                    throw;
                pf::raise(PyExc_ValueError, "ground-truth entry %zd: %s", (Py_ssize_t)entry,
                          nb::cast<std::string>(nb::str(e.value())).c_str());
            }
            q = parts[0], d = parts[1], s = parts[2];
        }
        if (!PyUnicode_Check(q.ptr()))
            raise_entry(PyExc_AssertionError, entry, "the query must be a str", q);
        if (!PyUnicode_Check(d.ptr()))
            raise_entry(PyExc_AssertionError, entry, "the document must be a str", d);
        if (!PyFloat_Check(s.ptr()))
            raise_entry(PyExc_AssertionError, entry, "the score must be a float", s);
        double score = PyFloat_AS_DOUBLE(s.ptr());
        if (!std::isfinite(score))
            pf::raise(PyExc_ValueError, "ground-truth entry %zd: the score must be a finite number, got %R",
                      (Py_ssize_t)entry, s.ptr());
        rt::Judgements::Added a = state->judgements.add(text_of(q).view, text_of(d).view, score);
        if (a.new_query)
            queries.append(q);
        if (a.new_doc)
            docs.append(d);
        if (a.new_cell)
            state->score_objects.append(s);
        else
            state->score_objects[a.cell] = s;
        if (a.new_max)
            max_score = nb::borrow(s);
        ++entry;
    }
    if (PyErr_Occurred())
        pf::throw_error();
    nb::setattr(self, "queries", queries);
    nb::setattr(self, "docs", docs);
    nb::setattr(self, "max_score", max_score);
    nb::capsule cap(state.get(), ground_truth_state_name,
                    [](void *p) noexcept { delete static_cast<GroundTruthState *>(p); });
    state.release();
    if (PyDict_SetItemString(instance_dict(self).ptr(), "_judgements", cap.ptr()) < 0)
        pf::throw_error();
    return nb::none();
}
const pf::FuncDef gt_init_def{
    .name = "__init__",
    .params = {pf::arg("self"), pf::arg("scores", "Iterable[tuple[str, str, float]]")},
    .body = gt_init,
};

// scores: the (queries x docs) object matrix of the judgements, None where a
// pair has none. Built on first read (it grows with queries x documents).
nb::object gt_scores(pf::Call &c) {
    HeldJudgements held = ground_truth_state(c[0]);
    GroundTruthState &state = *held;
    const rt::Judgements &j = state.judgements;
    nb::object np = c.global("np");
    nb::object matrix = np.attr("full")(nb::make_tuple(j.num_queries(), j.num_docs()), nb::none());
    size_t n_docs = j.num_docs();
    // np is a module global that may have been replaced: every cell written
    // below must lie inside what it gave
    Buffer buf;
    bool fits = buf.acquire(matrix, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE | PyBUF_FORMAT);
    if (!fits)
        PyErr_Clear();
    fits = fits && std::string_view(buf.view.format ? buf.view.format : "") == "O" &&
           buf.view.itemsize == (Py_ssize_t)sizeof(PyObject *) &&
           (size_t)buf.view.len == j.num_queries() * n_docs * sizeof(PyObject *);
    if (!fits)
        pf::raise(PyExc_TypeError, "np.full gave %s, not a writable object array of %zu x %zu",
                  Py_TYPE(matrix.ptr())->tp_name, j.num_queries(), n_docs);
    PyObject **cells = static_cast<PyObject **>(buf.view.buf);
    const std::vector<rt::Judgements::Cell> &all = j.cells();
    for (size_t i = 0; i < all.size(); ++i) {
        PyObject *&cell = cells[(size_t)all[i].query * n_docs + all[i].doc];
        nb::object previous = nb::steal(cell); // None, released here
        cell = nb::object(state.score_objects[i]).release().ptr();
    }
    return matrix;
}
const pf::FuncDef gt_scores_def{.name = "scores", .params = {pf::arg("self")}, .body = gt_scores};

[[noreturn]] void raise_not_in_list(nb::handle value) {
    pf::raise(PyExc_ValueError, "%R is not in list", value.ptr());
}

nb::object gt_query_index(pf::Call &c) {
    size_t pos = ground_truth_state(c[0])->judgements.query_position(text_of(c[1]).view);
    if (pos == rt::npos)
        raise_not_in_list(c[1]);
    return nb::int_(pos);
}
const pf::FuncDef gt_query_index_def{
    .name = "query_index",
    .params = {pf::arg("self"), pf::arg("query", "str")},
    .body = gt_query_index,
    .returns = "int",
};

nb::object gt_doc_index(pf::Call &c) {
    size_t pos = ground_truth_state(c[0])->judgements.doc_position(text_of(c[1]).view);
    if (pos == rt::npos)
        raise_not_in_list(c[1]);
    return nb::int_(pos);
}
const pf::FuncDef gt_doc_index_def{
    .name = "doc_index",
    .params = {pf::arg("self"), pf::arg("doc", "str")},
    .body = gt_doc_index,
    .returns = "int",
};

nb::object gt_evaluate(pf::Call &c) {
    nb::handle self = c[0];
    nb::object scores = self.attr("_compute_retrieval_scores")(c[1], c[2]);
    nb::object precision = self.attr("_precision")(scores);
    nb::object recall = self.attr("_recall")(scores);
    nb::object f1 = self.attr("_f1")(precision, recall);
    return nb::make_tuple(precision, recall, f1);
}
const pf::FuncDef gt_evaluate_def{
    .name = "evaluate",
    .params = {pf::arg("self"), pf::arg("retrieval", "dict[str, list[str]]").checked(pf::Check::Dict),
               pf::arg("k", "int").dflt(5)},
    .body = gt_evaluate,
    .returns = "tuple[float, float, float]",
};

// A retrieval score matrix as contiguous doubles, with its shape.
struct ScoreMatrix {
    nb::object array; // keeps the data alive
    const double *data = nullptr;
    size_t rows = 0;
    size_t k = 0;
};

ScoreMatrix score_matrix(nb::handle scores, nb::handle np) {
    ScoreMatrix m;
    m.array = np.attr("ascontiguousarray")(scores, "dtype"_a = np.attr("float64"));
    auto a = nb::cast<nb::ndarray<const double, nb::c_contig>>(m.array);
    if (a.ndim() != 2)
        pf::raise(PyExc_ValueError, "expected a retrieval score matrix of 2 dimensions, got %zd",
                  (Py_ssize_t)a.ndim());
    m.data = a.data();
    m.rows = a.shape(0);
    m.k = a.shape(1);
    return m;
}

nb::object gt_precision(pf::Call &c) {
    nb::handle self = c[0];
    nb::object np = c.global("np");
    ScoreMatrix m = score_matrix(c[1], np);
    double max_score = nb::cast<double>(self.attr("max_score"));
    double p = rt::precision(m.data, m.rows, m.k, max_score);
    return np.attr("float64")(p);
}
const pf::FuncDef gt_precision_def{
    .name = "_precision",
    .params = {pf::arg("self"), pf::arg("scores", "np.ndarray")},
    .body = gt_precision,
    .returns = "float",
};

nb::object gt_recall(pf::Call &c) {
    HeldJudgements held = ground_truth_state(c[0]);
    GroundTruthState &state = *held;
    nb::object np = c.global("np");
    ScoreMatrix m = score_matrix(c[1], np);
    size_t rows = state.judgements.num_queries();
    if (m.rows != rows)
        pf::raise(PyExc_ValueError, "expected a retrieval score matrix of %zd rows (one per query), got %zd",
                  (Py_ssize_t)rows, (Py_ssize_t)m.rows);
    std::vector<double> ideal = state.judgements.ideal_sums(m.k);
    std::vector<double> row_sums(rows, 0.0);
    for (size_t r = 0; r < rows; ++r)
        for (size_t i = 0; i < m.k; ++i)
            row_sums[r] += m.data[r * m.k + i];
    return nb::float_(rt::recall(row_sums.data(), ideal.data(), rows));
}
const pf::FuncDef gt_recall_def{
    .name = "_recall",
    .params = {pf::arg("self"), pf::arg("scores", "np.ndarray")},
    .body = gt_recall,
    .returns = "float",
};

nb::object gt_f1(pf::Call &c) {
    return nb::float_(rt::f1(PyFloat_AS_DOUBLE(c[1].ptr()), PyFloat_AS_DOUBLE(c[2].ptr())));
}
const pf::FuncDef gt_f1_def{
    .name = "_f1",
    .params = {pf::arg("self"), pf::arg("precision", "float"), pf::arg("recall", "float")},
    .body = gt_f1,
    .returns = "float",
};

nb::object gt_compute_retrieval_scores(pf::Call &c) {
    HeldJudgements held = ground_truth_state(c[0]);
    GroundTruthState &state = *held;
    const rt::Judgements &j = state.judgements;
    long long k_signed = nb::cast<long long>(c[2]);
    if (k_signed < 0)
        pf::raise(PyExc_ValueError, "k must not be negative, got %lld", k_signed);
    size_t k = (size_t)k_signed;
    // Allocated once a result has proved that k documents exist, or at the end: a
    // huge k with short results is reported as such, not as a failed allocation.
    std::vector<double> matrix;
    auto allocate = [&] {
        if (!matrix.empty() || k == 0)
            return;
        if (j.num_queries() > matrix.max_size() / k)
            pf::raise(PyExc_MemoryError, "a retrieval score matrix of %zu x %zu is too large",
                      j.num_queries(), k);
        matrix.assign(j.num_queries() * k, 0.0);
    };
    // a snapshot of the items, so that code run below cannot upset the walk
    nb::object items = pf::owned(PyDict_Items(c[1].ptr()));
    Py_ssize_t n_items = PyList_GET_SIZE(items.ptr());
    for (Py_ssize_t t = 0; t < n_items; ++t) {
        nb::handle item = PyList_GET_ITEM(items.ptr(), t);
        nb::handle query = PyTuple_GET_ITEM(item.ptr(), 0);
        nb::object retrieved = nb::borrow(PyTuple_GET_ITEM(item.ptr(), 1));
        Py_ssize_t len = PyObject_Length(retrieved.ptr());
        if (len < 0)
            pf::throw_error();
        if ((size_t)len > k) {
            retrieved = pf::owned(PySequence_GetSlice(retrieved.ptr(), 0, (Py_ssize_t)k));
            len = PyObject_Length(retrieved.ptr());
            if (len < 0)
                pf::throw_error();
        }
        if ((size_t)len < k)
            pf::raise(PyExc_ValueError, "%U",
                      pf::cat({"Retrieval result for query ", query, " has less than ", c[2], " documents."}).ptr());
        if (!PyUnicode_CheckExact(query.ptr()))
            pf::raise_arg_type("query", "str", query);
        size_t row = j.query_position(text_of(query).view);
        if (row == rt::npos)
            pf::raise(PyExc_ValueError, "query %R is not in the ground truth", query.ptr());
        nb::object seq = pf::owned(PySequence_Fast(retrieved.ptr(), "retrieved documents must be a sequence"));
        size_t n = std::min((size_t)PySequence_Fast_GET_SIZE(seq.ptr()), k);
        allocate();
        for (size_t i = 0; i < n; ++i) {
            nb::handle doc = PySequence_Fast_GET_ITEM(seq.ptr(), (Py_ssize_t)i);
            if (!PyUnicode_CheckExact(doc.ptr()))
                pf::raise_arg_type("doc", "str", doc);
            size_t col = j.doc_position(text_of(doc).view);
            if (col == rt::npos)
                pf::raise(PyExc_ValueError, "document %R, retrieved for query %R, is not in the ground truth",
                          doc.ptr(), query.ptr());
            matrix[row * k + i] = j.score(row, col);
        }
    }
    allocate();
    return numpy_array(std::move(matrix), {j.num_queries(), k});
}
const pf::FuncDef gt_compute_retrieval_scores_def{
    .name = "_compute_retrieval_scores",
    .params = {pf::arg("self"), pf::arg("retrieval", "dict[str, list[str]]").checked(pf::Check::Dict),
               pf::arg("k", "int").dflt(5)},
    .body = gt_compute_retrieval_scores,
    .returns = "np.ndarray",
};

// _score_rankings(retrieval, cutoffs, threshold, exponential_gain): every
// ranking metric of every query at every cutoff, in one pass over each
// query's list. Returns (values, r_precision, relevant): values has shape
// (queries, cutoffs, metrics) in the order of metric_names, the other two one
// value per query. Queries missing from `retrieval` count as nothing
// retrieved; retrieved documents the ground truth does not know count as
// not relevant.
nb::object gt_score_rankings(pf::Call &c) {
    HeldJudgements held = ground_truth_state(c[0]);
    GroundTruthState &state = *held;
    const rt::Judgements &j = state.judgements;
    nb::handle retrieval = c[1];
    std::vector<size_t> cutoffs;
    for (nb::handle k : nb::borrow<nb::list>(c[2])) {
        long long v = nb::cast<long long>(k);
        if (v < 1 || (!cutoffs.empty() && (size_t)v <= cutoffs.back()))
            pf::raise(PyExc_ValueError, "cutoffs must be positive and ascending, got %R", c[2].ptr());
        cutoffs.push_back((size_t)v);
    }
    rt::MetricSettings settings;
    settings.threshold = PyFloat_AS_DOUBLE(c[3].ptr());
    settings.gain = PyObject_IsTrue(c[4].ptr()) ? rt::Gain::Exponential : rt::Gain::Linear;
    if (!std::isfinite(settings.threshold))
        pf::raise(PyExc_ValueError, "the relevance threshold must be a finite number");
    size_t nq = j.num_queries(), nk = cutoffs.size(), nm = rt::n_cutoff_metrics;
    // every query's ranking, as document positions
    std::vector<std::vector<size_t>> rankings(nq);
    nb::object items = pf::owned(PyDict_Items(retrieval.ptr()));
    Py_ssize_t n_items = PyList_GET_SIZE(items.ptr());
    for (Py_ssize_t t = 0; t < n_items; ++t) {
        nb::handle item = PyList_GET_ITEM(items.ptr(), t);
        nb::handle query = PyTuple_GET_ITEM(item.ptr(), 0);
        if (!PyUnicode_CheckExact(query.ptr()))
            pf::raise_arg_type("query", "str", query);
        size_t row = j.query_position(text_of(query).view);
        if (row == rt::npos)
            pf::raise(PyExc_ValueError, "query %R is not in the ground truth", query.ptr());
        nb::object seq = pf::owned(PySequence_Fast(PyTuple_GET_ITEM(item.ptr(), 1), "retrieved documents must be a list"));
        Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
        std::vector<size_t> &ranking = rankings[row];
        ranking.clear();
        ranking.reserve((size_t)n);
        for (Py_ssize_t i = 0; i < n; ++i) {
            nb::handle doc = PySequence_Fast_GET_ITEM(seq.ptr(), i);
            if (!PyUnicode_CheckExact(doc.ptr()))
                pf::raise_arg_type("doc", "str", doc);
            ranking.push_back(j.doc_position(text_of(doc).view));
        }
    }
    std::vector<double> values(nq * nk * nm), r_precision(nq), relevant(nq);
    {
        rt::RankingScorer scorer(j, cutoffs, settings);
        std::vector<size_t> scratch;
        nb::gil_scoped_release unlocked;
        for (size_t q = 0; q < nq; ++q) {
            r_precision[q] =
                scorer.score(q, rankings[q].data(), rankings[q].size(), values.data() + q * nk * nm, scratch);
            relevant[q] = (double)scorer.relevant(q);
        }
    }
    return nb::make_tuple(numpy_array(std::move(values), {nq, nk, nm}), numpy_array(std::move(r_precision), {nq}),
                          numpy_array(std::move(relevant), {nq}));
}
const pf::FuncDef gt_score_rankings_def{
    .name = "_score_rankings",
    .params = {pf::arg("self"), pf::arg("retrieval", "dict[str, list[str]]").checked(pf::Check::Dict),
               pf::arg("cutoffs", "list[int]").checked(pf::Check::List), pf::arg("threshold", "float").dflt(0.0),
               pf::arg("exponential_gain", "bool").dflt(false)},
    .body = gt_score_rankings,
    .returns = "tuple[np.ndarray, np.ndarray, np.ndarray]",
};

nb::object kernel_instruction_set(pf::Call &) { return nb::str(rt::kernels::instruction_set()); }
const pf::FuncDef kernel_instruction_set_def{
    .name = "_kernel_instruction_set", .params = {}, .body = kernel_instruction_set, .returns = "str"};

nb::object force_kernels(pf::Call &c) {
    std::string name = nb::cast<std::string>(c[0]);
    return nb::str(rt::kernels::force_instruction_set(name.c_str()));
}
const pf::FuncDef force_kernels_def{
    .name = "_force_kernels", .params = {pf::arg("name", "str")}, .body = force_kernels, .returns = "str"};

// ---------------------------------------------------------------- the run

double seconds(nb::handle clock) {
    nb::object t = clock();
    double v = PyFloat_AsDouble(t.ptr());
    if (v == -1.0 && PyErr_Occurred())
        pf::throw_error();
    return v;
}

nb::object run_retrieval_evaluation(pf::Call &c) {
    nb::handle ground_truth = c[0];
    nb::handle retriever = c[1];
    nb::handle k = c[2];
    long long batch_size = nb::cast<long long>(c[3]);
    nb::object queries = ground_truth.attr("queries");
    nb::object docs = ground_truth.attr("docs");
    if (batch_size < 1)
        pf::raise(PyExc_ValueError, "batch_size must be at least 1, got %lld", batch_size);
    size_t n_docs = nb::len(docs);
    size_t n_queries = nb::len(queries);
    if (n_docs == 0)
        pf::raise(PyExc_ValueError, "the ground truth has no documents: there is nothing to index");
    if (n_queries == 0)
        pf::raise(PyExc_ValueError, "the ground truth has no queries: there is nothing to search for");

    nb::object clock = c.global("time").attr("perf_counter");
    nb::object tqdm = c.global("tqdm");
    nb::object range = c.global("range");
    nb::object index = retriever.attr("index");

    double start = seconds(clock);
    for (nb::handle i : tqdm(range(0, n_docs, batch_size), "desc"_a = "Indexing documents")) {
        Py_ssize_t from = PyLong_AsSsize_t(i.ptr());
        if (from == -1 && PyErr_Occurred())
            pf::throw_error();
        index(pf::owned(PySequence_GetSlice(docs.ptr(), from, from + (Py_ssize_t)batch_size)));
    }
    double indexing = seconds(clock) - start;

    nb::dict retrieval;
    double searching = 0.0;
    nb::object search = retriever.attr("search");
    for (nb::handle query : tqdm(queries, pf::cat({"Fetching top-", k, " documents"}))) {
        double t0 = seconds(clock);
        nb::object found = search(query, k);
        double t1 = seconds(clock);
        searching += t1 - t0;
        retrieval[query] = found;
    }

    auto [precision, recall, f1] = pf::unpack<3>(ground_truth.attr("evaluate")(retrieval, k));
    nb::object round = c.global("round");
    nb::dict metrics;
    metrics["Precision"] = round(precision, 2);
    metrics["Recall"] = round(recall, 2);
    metrics["F1"] = round(f1, 2);
    metrics["Indexing time per doc (ms)"] =
        pf::owned(PyLong_FromDouble(indexing / (double)n_docs * 1000.0));
    metrics["Retrieval time per query (ms)"] =
        pf::owned(PyLong_FromDouble(searching / (double)n_queries * 1000.0));
    return metrics;
}
const pf::FuncDef run_retrieval_evaluation_def{
    .name = "run_retrieval_evaluation",
    .params = {pf::arg("ground_truth", "GroundTruth"), pf::arg("retriever", "Retriever"),
               pf::arg("k", "int").dflt(5), pf::arg("batch_size", "int").dflt(5)},
    .body = run_retrieval_evaluation,
    .returns = "dict[str, float]",
};

nb::object evaluation_report(pf::Call &c) {
    nb::object metrics = c.global("run_retrieval_evaluation")(c[0], c[1], c[2], c[3]);
    nb::object print = c.global("print");
    print("Evaluation report:");
    for (nb::handle item : metrics.attr("items")()) {
        auto [key, value] = pf::unpack<2>(item);
        print(pf::cat({"- ", key, ": ", value}));
    }
    return nb::none();
}
const pf::FuncDef evaluation_report_def{
    .name = "evaluation_report",
    .params = {pf::arg("ground_truth", "GroundTruth"), pf::arg("retriever", "Retriever"),
               pf::arg("k", "int").dflt(5), pf::arg("batch_size", "int").dflt(5)},
    .body = evaluation_report,
};

} // namespace

PYFACE_MODULE(dravik, m) {
    m.import("time");
    m.from("abc", {"ABC", "abstractmethod"});
    m.from("typing", {"Iterable"});
    m.import("numpy", "np");
    m.from("langchain.embeddings.base", {"Embeddings"});
    m.from("tqdm", {"tqdm"});

    pf::ClassBuilder(m, "Retriever", {m.get("ABC")})
        .abstractmethod(retriever_index_def)
        .abstractmethod(retriever_search_def)
        .finish();

    pf::ClassBuilder(m, "EmbeddingRetriever", {m.get("Retriever")}, embedding_retriever_doc)
        .method(er_init_def)
        .method(er_index_def)
        .method(er_search_def)
        .method(er_search_many_def)
        .method(er_cosine_similarity_def)
        .method(er_save_def)
        .method(er_load_def)
        .finish();

    nb::object cached_property = nb::module_::import_("functools").attr("cached_property");
    pf::ClassBuilder gt(m, "GroundTruth");
    gt.method(gt_init_def)
        .attr("scores", cached_property(pf::make_function(gt_scores_def, m.dict(), nb::handle(),
                                                          "GroundTruth.scores")))
        .method(gt_query_index_def)
        .method(gt_doc_index_def)
        .method(gt_evaluate_def)
        .method(gt_precision_def)
        .method(gt_recall_def)
        .method(gt_f1_def)
        .method(gt_compute_retrieval_scores_def)
        .method(gt_score_rankings_def)
        .finish();

    m.def(run_retrieval_evaluation_def);
    m.def(evaluation_report_def);
    m.def(kernel_instruction_set_def);
    m.def(force_kernels_def);
    nb::list names;
    for (const char *name : rt::cutoff_metric_names)
        names.append(nb::str(name));
    m.set("_CUTOFF_METRICS", nb::tuple(names));
}
