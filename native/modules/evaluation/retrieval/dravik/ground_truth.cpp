// GroundTruth: graded relevance judgements (kept natively in a capsule,
// "_judgements", in the instance __dict__), the `scores` matrix built from
// them on first read, and precision, recall and F1 over retrieval results.
#include "dravik.hpp"

#include <nanobind/ndarray.h>

#include <cmath>

using namespace nanobind::literals;

namespace dravik {

namespace {
constexpr const char *ground_truth_state_name = "tavrin.evaluation.retrieval.dravik._judgements";
} // namespace

HeldJudgements ground_truth_state(nb::handle self) {
    nb::object dict = instance_dict(self);
    PyObject *cap = PyDict_GetItemString(dict.ptr(), "_judgements");
    if (!cap || !PyCapsule_IsValid(cap, ground_truth_state_name))
        pf::raise(PyExc_AttributeError, "'%.200s' object has no judgements (was GroundTruth.__init__ called?)",
                  pf::type_name_of(self));
    return HeldJudgements(nb::borrow(cap),
                          static_cast<GroundTruthState *>(PyCapsule_GetPointer(cap, ground_truth_state_name)));
}

namespace {

[[noreturn]] void raise_entry(PyObject *type, size_t entry, const char *what, nb::handle got) {
    pf::raise(type, "ground-truth entry %zd: %s, got %.200s", (Py_ssize_t)entry, what, pf::type_name_of(got));
}

constexpr pf::Params init_params{pf::arg("self"), pf::arg("scores", "Iterable[tuple[str, str, float]]")};
nb::object gt_init(pf::Call &c) {
    auto [self, scores] = c.args<init_params, "self", "scores">();
    auto state = std::make_unique<GroundTruthState>();
    nb::list queries, docs;
    nb::object max_score = nb::float_(0.0);
    nb::object it = pf::owned(PyObject_GetIter(scores.ptr()));
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

// scores: the (queries x docs) object matrix of the judgements, None where a
// pair has none. Built on first read (it grows with queries x documents).
constexpr pf::Params self_params{pf::arg("self")};
nb::object gt_scores(pf::Call &c) {
    HeldJudgements held = ground_truth_state(c.arg<self_params, "self">());
    GroundTruthState &state = *held;
    const rt::Judgements &j = state.judgements;
    nb::object np = c.global("np");
    nb::object matrix = np.attr("full")(nb::make_tuple(j.num_queries(), j.num_docs()), nb::none());
    size_t n_docs = j.num_docs();
    // np is a module global that may have been replaced: every cell written
    // below must lie inside what it gave
    Buffer buf;
    bool fits = buf.acquire(matrix, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE | PyBUF_FORMAT);
    const Py_buffer &view = buf.view;
    fits = fits && std::string_view(view.format ? view.format : "") == "O" &&
           view.itemsize == (Py_ssize_t)sizeof(PyObject *) &&
           (size_t)view.len == j.num_queries() * n_docs * sizeof(PyObject *);
    if (!fits)
        pf::raise(PyExc_TypeError, "np.full gave %s, not a writable object array of %zu x %zu",
                  Py_TYPE(matrix.ptr())->tp_name, j.num_queries(), n_docs);
    PyObject **cells = static_cast<PyObject **>(view.buf);
    const std::vector<rt::Judgements::Cell> &all = j.cells();
    for (size_t i = 0; i < all.size(); ++i) {
        PyObject *&cell = cells[(size_t)all[i].query * n_docs + all[i].doc];
        nb::object previous = nb::steal(cell); // None, released here
        cell = nb::object(state.score_objects[i]).release().ptr();
    }
    return matrix;
}

[[noreturn]] void raise_not_in_list(nb::handle value) {
    pf::raise(PyExc_ValueError, "%R is not in list", value.ptr());
}

constexpr pf::Params query_index_params{pf::arg("self"), pf::arg("query", "str")};
nb::object gt_query_index(pf::Call &c) {
    auto [self, query] = c.args<query_index_params, "self", "query">();
    size_t pos = ground_truth_state(self)->judgements.query_position(text_of(query).view);
    if (pos == rt::npos)
        raise_not_in_list(query);
    return nb::int_(pos);
}

constexpr pf::Params doc_index_params{pf::arg("self"), pf::arg("doc", "str")};
nb::object gt_doc_index(pf::Call &c) {
    auto [self, doc] = c.args<doc_index_params, "self", "doc">();
    size_t pos = ground_truth_state(self)->judgements.doc_position(text_of(doc).view);
    if (pos == rt::npos)
        raise_not_in_list(doc);
    return nb::int_(pos);
}

constexpr pf::Params evaluate_params{pf::arg("self"),
                                     pf::arg("retrieval", "dict[str, list[str]]").checked(pf::Check::Dict),
                                     pf::arg("k", "int").dflt(5)};
nb::object gt_evaluate(pf::Call &c) {
    auto [self, retrieval, k] = c.args<evaluate_params, "self", "retrieval", "k">();
    nb::object scores = self.attr("_compute_retrieval_scores")(retrieval, k);
    nb::object precision = self.attr("_precision")(scores);
    nb::object recall = self.attr("_recall")(scores);
    nb::object f1 = self.attr("_f1")(precision, recall);
    return nb::make_tuple(precision, recall, f1);
}

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

constexpr pf::Params scores_params{pf::arg("self"), pf::arg("scores", "np.ndarray")};
nb::object gt_precision(pf::Call &c) {
    auto [self, scores] = c.args<scores_params, "self", "scores">();
    nb::object np = c.global("np");
    ScoreMatrix m = score_matrix(scores, np);
    double max_score = nb::cast<double>(self.attr("max_score"));
    double p = rt::precision(m.data, m.rows, m.k, max_score);
    return np.attr("float64")(p);
}

nb::object gt_recall(pf::Call &c) {
    auto [self, scores] = c.args<scores_params, "self", "scores">();
    HeldJudgements held = ground_truth_state(self);
    GroundTruthState &state = *held;
    nb::object np = c.global("np");
    ScoreMatrix m = score_matrix(scores, np);
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

constexpr pf::Params f1_params{pf::arg("self"), pf::arg("precision", "float"), pf::arg("recall", "float")};
nb::object gt_f1(pf::Call &c) {
    auto [precision, recall] = c.args<f1_params, "precision", "recall">();
    return nb::float_(rt::f1(PyFloat_AS_DOUBLE(precision.ptr()), PyFloat_AS_DOUBLE(recall.ptr())));
}

constexpr pf::Params compute_params{pf::arg("self"),
                                    pf::arg("retrieval", "dict[str, list[str]]").checked(pf::Check::Dict),
                                    pf::arg("k", "int").dflt(5)};
nb::object gt_compute_retrieval_scores(pf::Call &c) {
    auto [self, retrieval, k_obj] = c.args<compute_params, "self", "retrieval", "k">();
    HeldJudgements held = ground_truth_state(self);
    GroundTruthState &state = *held;
    const rt::Judgements &j = state.judgements;
    size_t k = document_count(k_obj);
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
    nb::object items = pf::owned(PyDict_Items(retrieval.ptr()));
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
                      pf::cat({"Retrieval result for query ", query, " has less than ", k_obj, " documents."}).ptr());
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

} // namespace

const pf::FuncDef gt_init_def{.name = "__init__", .params = init_params, .body = gt_init};
const pf::FuncDef gt_scores_def{.name = "scores", .params = self_params, .body = gt_scores};
const pf::FuncDef gt_query_index_def{
    .name = "query_index", .params = query_index_params, .body = gt_query_index, .returns = "int"};
const pf::FuncDef gt_doc_index_def{
    .name = "doc_index", .params = doc_index_params, .body = gt_doc_index, .returns = "int"};
const pf::FuncDef gt_evaluate_def{
    .name = "evaluate", .params = evaluate_params, .body = gt_evaluate, .returns = "tuple[float, float, float]"};
const pf::FuncDef gt_precision_def{
    .name = "_precision", .params = scores_params, .body = gt_precision, .returns = "float"};
const pf::FuncDef gt_recall_def{.name = "_recall", .params = scores_params, .body = gt_recall, .returns = "float"};
const pf::FuncDef gt_f1_def{.name = "_f1", .params = f1_params, .body = gt_f1, .returns = "float"};
const pf::FuncDef gt_compute_retrieval_scores_def{
    .name = "_compute_retrieval_scores",
    .params = compute_params,
    .body = gt_compute_retrieval_scores,
    .returns = "np.ndarray",
};

} // namespace dravik
