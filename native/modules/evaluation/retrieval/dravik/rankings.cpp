// GroundTruth._score_rankings: every ranking metric (core/retrieval/metrics)
// of every query at every cutoff; and the switches of the search kernels.
#include "dravik.hpp"

#include "core/retrieval/kernels.hpp"
#include "core/retrieval/metrics.hpp"

#include <cmath>

namespace dravik {

namespace {

// _score_rankings(retrieval, cutoffs, threshold, exponential_gain): every
// ranking metric of every query at every cutoff, in one pass over each
// query's list. Returns (values, r_precision, relevant): values has shape
// (queries, cutoffs, metrics) in the order of _CUTOFF_METRICS, the other two
// one value per query. Queries missing from `retrieval` count as nothing
// retrieved; retrieved documents the ground truth does not know count as
// not relevant.
constexpr pf::Params score_rankings_params{
    pf::arg("self"), pf::arg("retrieval", "dict[str, list[str]]").checked(pf::Check::Dict),
    pf::arg("cutoffs", "list[int]").checked(pf::Check::List), pf::arg("threshold", "float").dflt(0.0),
    pf::arg("exponential_gain", "bool").dflt(false)};
nb::object gt_score_rankings(pf::Call &c) {
    auto [self, retrieval, cutoffs_obj, threshold, exponential_gain] =
        c.args<score_rankings_params, "self", "retrieval", "cutoffs", "threshold", "exponential_gain">();
    HeldJudgements held = ground_truth_state(self);
    GroundTruthState &state = *held;
    const rt::Judgements &j = state.judgements;
    std::vector<size_t> cutoffs;
    for (nb::handle k : nb::borrow<nb::list>(cutoffs_obj)) {
        long long v = nb::cast<long long>(k);
        if (v < 1 || (!cutoffs.empty() && (size_t)v <= cutoffs.back()))
            pf::raise(PyExc_ValueError, "cutoffs must be positive and ascending, got %R", cutoffs_obj.ptr());
        cutoffs.push_back((size_t)v);
    }
    rt::MetricSettings settings;
    settings.threshold = PyFloat_AS_DOUBLE(threshold.ptr());
    settings.gain = PyObject_IsTrue(exponential_gain.ptr()) ? rt::Gain::Exponential : rt::Gain::Linear;
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
        nb::object seq =
            pf::owned(PySequence_Fast(PyTuple_GET_ITEM(item.ptr(), 1), "retrieved documents must be a list"));
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

nb::object kernel_instruction_set(pf::Call &) { return nb::str(rt::kernels::instruction_set()); }

constexpr pf::Params force_kernels_params{pf::arg("name", "str")};
nb::object force_kernels(pf::Call &c) {
    std::string name = nb::cast<std::string>(c.arg<force_kernels_params, "name">());
    return nb::str(rt::kernels::force_instruction_set(name.c_str()));
}

} // namespace

const pf::FuncDef gt_score_rankings_def{
    .name = "_score_rankings",
    .params = score_rankings_params,
    .body = gt_score_rankings,
    .returns = "tuple[np.ndarray, np.ndarray, np.ndarray]",
};
const pf::FuncDef kernel_instruction_set_def{
    .name = "_kernel_instruction_set", .params = {}, .body = kernel_instruction_set, .returns = "str"};
const pf::FuncDef force_kernels_def{
    .name = "_force_kernels", .params = force_kernels_params, .body = force_kernels, .returns = "str"};

nb::object cutoff_metric_names() {
    nb::list names;
    for (const char *name : rt::cutoff_metric_names)
        names.append(nb::str(name));
    return nb::tuple(names);
}

} // namespace dravik
