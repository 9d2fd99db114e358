// tavrin.evaluation.retrieval.dravik: a retriever interface, an embedding
// retriever ranking documents by cosine similarity, a ground truth of graded
// relevance judgements with precision, recall and F1, and the evaluation run
// that ties them together.
//
// The computation lives in core/retrieval; the files of this folder give it
// its Python face (see dravik.hpp for which file holds what). This one is
// the module body: the names in the order the module binds them.
#include "dravik.hpp"

using namespace dravik;

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
    m.set("_CUTOFF_METRICS", cutoff_metric_names());
}
