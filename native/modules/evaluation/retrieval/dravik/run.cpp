// The evaluation run: index the ground truth's documents, search for every
// query, and report precision, recall, F1 and the times taken.
#include "dravik.hpp"

using namespace nanobind::literals;

namespace dravik {

namespace {

constexpr pf::Params run_params{pf::arg("ground_truth", "GroundTruth"), pf::arg("retriever", "Retriever"),
                                pf::arg("k", "int").dflt(5), pf::arg("batch_size", "int").dflt(5)};

double seconds(nb::handle clock) {
    nb::object t = clock();
    double v = PyFloat_AsDouble(t.ptr());
    if (v == -1.0 && PyErr_Occurred())
        pf::throw_error();
    return v;
}

nb::object run_retrieval_evaluation(pf::Call &c) {
    auto [ground_truth, retriever, k, batch_size_obj] =
        c.args<run_params, "ground_truth", "retriever", "k", "batch_size">();
    long long batch_size = nb::cast<long long>(batch_size_obj);
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
    metrics["Indexing time per doc (ms)"] = pf::owned(PyLong_FromDouble(indexing / (double)n_docs * 1000.0));
    metrics["Retrieval time per query (ms)"] = pf::owned(PyLong_FromDouble(searching / (double)n_queries * 1000.0));
    return metrics;
}

nb::object evaluation_report(pf::Call &c) {
    auto [ground_truth, retriever, k, batch_size] = c.args<run_params, "ground_truth", "retriever", "k", "batch_size">();
    nb::object metrics = c.global("run_retrieval_evaluation")(ground_truth, retriever, k, batch_size);
    nb::object print = c.global("print");
    print("Evaluation report:");
    for (nb::handle item : metrics.attr("items")()) {
        auto [key, value] = pf::unpack<2>(item);
        print(pf::cat({"- ", key, ": ", value}));
    }
    return nb::none();
}

} // namespace

const pf::FuncDef run_retrieval_evaluation_def{
    .name = "run_retrieval_evaluation",
    .params = run_params,
    .body = run_retrieval_evaluation,
    .returns = "dict[str, float]",
};
const pf::FuncDef evaluation_report_def{.name = "evaluation_report", .params = run_params, .body = evaluation_report};

} // namespace dravik
