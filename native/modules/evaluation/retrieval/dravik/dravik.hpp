// What the topic files of tavrin.evaluation.retrieval.dravik share:
//   arrays.cpp        reading vectors from Python (buffers and sequences),
//                     numpy results, UTF-8 keys
//   matrix.cpp        Matrix, the stored document vectors
//   state.cpp         the retriever's native state and how it follows the
//                     public attributes
//   retriever.cpp     Retriever and EmbeddingRetriever
//   ground_truth.cpp  GroundTruth and its graded precision, recall and F1
//   rankings.cpp      GroundTruth._score_rankings and the kernel switches
//   run.cpp           run_retrieval_evaluation, evaluation_report
//   module.cpp        the module body, binding everything in order
#pragma once

#include "core/retrieval/retrieval.hpp"
#include "pyface/pyface.hpp"

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string_view>
#include <variant>
#include <vector>

namespace dravik {

namespace pf = pyface;
namespace nb = nanobind;
namespace rt = tavrin::retrieval;

// ---------------------------------------------------------------- arrays.cpp

// The UTF-8 bytes of a str, used as hash keys. Strings with lone surrogates
// (which strict UTF-8 refuses) are encoded with "surrogatepass", which keeps
// keys distinct. `keep` holds the bytes object when one was made.
struct Text {
    std::string_view view;
    nb::object keep;
};
Text text_of(nb::handle s);

// The `k` argument of the searches and the scores: a number of documents,
// ValueError when it is negative.
size_t document_count(nb::handle k);

// A numpy float64 array that owns `values`.
nb::object numpy_array(std::vector<double> values, std::initializer_list<size_t> shape);

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

// Embedding vectors read into one row-major buffer of doubles.
struct Vectors {
    std::vector<double> values;
    size_t rows = 0;
    size_t dim = 0;
    bool float32 = true; // numpy would build float32 from them
};

// Reads the vectors a model returned for `count` texts; each must have
// `dim` values (0: whatever the first one has).
Vectors read_vectors(nb::handle vectors, size_t count, size_t dim, nb::handle np);
// One query vector, as doubles; it must have `dim` values.
std::vector<double> query_vector(nb::handle vector, size_t dim, nb::handle np);

// ---------------------------------------------------------------- matrix.cpp

// The stored document vectors: none yet, or rows of float64 or float32 (the
// element type numpy would give the model's vectors, or float32 when the
// retriever asks for it). Every operation the face needs is here, so the
// element type is dealt with in one place.
class Matrix {
public:
    Matrix() = default;
    // A matrix holding the rows of `base` (if any) followed by `v`, stored as
    // float32 when asked or when everything it holds is float32.
    static Matrix combine(const Matrix *base, const Vectors &v, bool store_float32);

    bool empty() const noexcept { return std::holds_alternative<std::monostate>(m_); }
    bool is_float32() const noexcept { return std::holds_alternative<rt::EmbeddingMatrix<float>>(m_); }
    size_t rows() const noexcept;
    size_t dim() const noexcept;
    // A read-only numpy view of the rows (None when there are none); the view
    // keeps the rows it shows alive and unchanged.
    nb::object view() const;

    void reserve_more(size_t extra);
    void append(const double *values, size_t n) noexcept;
    void truncate(size_t rows) noexcept;

    // Searches on a snapshot of the rows, without the GIL (other threads may
    // index meanwhile). The matrix must not be empty.
    std::vector<double> similarities(const double *query) const;
    std::vector<rt::Hit> top_k(const double *query, size_t k) const;
    // out[q * k + i]: hit i of query q; k must be at most rows().
    void top_k_block(const double *queries, size_t n_queries, size_t k, rt::Hit *out) const;

private:
    using Storage = std::variant<std::monostate, rt::EmbeddingMatrix<float>, rt::EmbeddingMatrix<double>>;
    explicit Matrix(Storage m) : m_(std::move(m)) {}
    // Calls f on the stored EmbeddingMatrix; `none` when there is none.
    template <class F, class R> R visit(F &&f, R none) const;
    template <class F> void visit_mut(F &&f);
    Storage m_;
};

// ---------------------------------------------------------------- state.cpp

// The native state of an EmbeddingRetriever (its index of texts and its
// vectors) lives in a capsule in the instance __dict__ ("_index"), beside the
// public attributes `docs` and `doc_embeddings`, which callers may replace or
// change. One rule keeps them in step: the state records what it stands for
// (a Seen), every use compares that with the attributes, and a state that no
// longer matches is rebuilt from what the attributes hold now. Methods that
// change the retriever update both the attributes and the Seen.
struct Seen {
    nb::object docs; // the `docs` list (by identity)
    nb::object view; // the `doc_embeddings` value (by identity)
    size_t docs_len = 0; // the list's length
    // Whether the attributes still hold what the state stands for.
    bool matches(nb::handle docs_now, nb::handle view_now) const;
    bool same(const Seen &o) const { return docs.is(o.docs) && view.is(o.view) && docs_len == o.docs_len; }
};

struct RetrieverState {
    rt::StringIndex index; // document text -> first row
    Matrix matrix;
    Seen seen;
    bool store_float32 = false; // vectors kept as float32 whatever the model returns
};

// Whether the retriever's class asks for float32 storage (its attribute
// `store_float32`, False on EmbeddingRetriever).
bool wants_float32(nb::handle self);
// A state built from a `docs` list and its vectors (`emb` None: none).
std::unique_ptr<RetrieverState> build_state(nb::handle self, nb::handle docs, nb::handle emb, nb::handle np);
// Stores `state` as the retriever's own and returns it.
RetrieverState &adopt_state(nb::handle self, std::unique_ptr<RetrieverState> state);
// The retriever's state, rebuilt first if `docs` or `doc_embeddings` no
// longer hold what it stands for.
RetrieverState &retriever_state(nb::handle self, nb::handle np);

// The retriever's state as a method found it. Python code that a method calls
// (the model, a vector's __float__) may replace or drop the state; the
// capsule is held so the state stays alive, and `check` refuses to go on with
// a state that was changed meanwhile.
class HeldState {
public:
    HeldState(nb::handle self, nb::handle np);
    RetrieverState &operator*() const { return *state_; }
    RetrieverState *operator->() const { return state_; }
    // After Python code ran: the same state, unchanged, or RuntimeError.
    void check() const;

private:
    nb::handle self_, np_;
    RetrieverState *state_;
    nb::object capsule_;
    Seen seen_;
    size_t rows_ = 0;
};

nb::object instance_dict(nb::handle self);

// ---------------------------------------------------------------- functions

// retriever.cpp
extern const pf::FuncDef retriever_index_def, retriever_search_def;
extern const char *const embedding_retriever_doc;
extern const pf::FuncDef er_init_def, er_index_def, er_search_def, er_search_many_def, er_cosine_similarity_def,
    er_save_def, er_load_def;
// ground_truth.cpp
extern const pf::FuncDef gt_init_def, gt_scores_def, gt_query_index_def, gt_doc_index_def, gt_evaluate_def,
    gt_precision_def, gt_recall_def, gt_f1_def, gt_compute_retrieval_scores_def;
// rankings.cpp
extern const pf::FuncDef gt_score_rankings_def, kernel_instruction_set_def, force_kernels_def;
// the names of the metric axis of _score_rankings, as a tuple
nb::object cutoff_metric_names();
// run.cpp
extern const pf::FuncDef run_retrieval_evaluation_def, evaluation_report_def;

// The ground truth's judgements (ground_truth.cpp), with their capsule held
// for as long as the caller works on them: Python code it calls (numpy, a
// score's __float__, a finaliser) may re-initialise the object or drop its
// attributes.
struct GroundTruthState {
    rt::Judgements judgements;
    nb::list score_objects; // the score object given last for each cell
};
class HeldJudgements {
public:
    HeldJudgements(nb::object capsule, GroundTruthState *state) : capsule_(std::move(capsule)), state_(state) {}
    GroundTruthState &operator*() const { return *state_; }
    GroundTruthState *operator->() const { return state_; }

private:
    nb::object capsule_;
    GroundTruthState *state_;
};
HeldJudgements ground_truth_state(nb::handle self);

} // namespace dravik
