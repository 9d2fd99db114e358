// tavrin.evaluation.qa.evaluable.brandle: the stuff-documents code QA chain
// as an evaluable subject; each answer comes with the metadata of the
// documents it was drawn from.
#include "pyface/pyface.hpp"

namespace pf = pyface;
namespace nb = nanobind;
using namespace nb::literals;

namespace {

// def __init__(self, source_name: str, embedding_cls: Type[Embeddings]) -> None
nb::object brandle_init(pf::Call &c) {
    nb::object reuse = c.global("Q").attr("reuse");
    nb::object q = reuse("source_name"_a = c[1], "embedding_cls"_a = c[2]);
    nb::object qa = c.global("StuffDocumentCodeQa")(q);
    nb::setattr(c[0], "_qa", qa);
    return nb::none();
}

const pf::FuncDef brandle_init_def{
    .name = "__init__",
    .params = {pf::arg("self"), pf::arg("source_name", "str"),
               pf::arg("embedding_cls", "Type[Embeddings]")},
    .body = brandle_init,
    .returns = "None",
};

// def predict(self, question: str) -> Tuple[str, list]
nb::object brandle_predict(pf::Call &c) {
    nb::object result = c[0].attr("_qa").attr("run")(c[1]);
    auto [answer, docs] = pf::unpack<2>(result);
    nb::list metadata;
    for (nb::handle doc : docs)
        metadata.append(doc.attr("metadata"));
    return nb::make_tuple(answer, metadata);
}

const pf::FuncDef brandle_predict_def{
    .name = "predict",
    .params = {pf::arg("self"), pf::arg("question", "str")},
    .body = brandle_predict,
    .returns = "Tuple[str, list]",
};

} // namespace

PYFACE_MODULE(brandle, m) {
    m.from("typing", {"Tuple", "Type"});
    m.from("langchain.embeddings.base", {"Embeddings"});
    m.from("tavrin.ask_codebase.chains.stuff_doc", {"StuffDocumentCodeQa"});
    m.from_as("tavrin.ask_codebase.store.qdrant", "QdrantWrapper", "Q");
    m.from("tavrin.evaluation.qa.evaluable.base", {"EvaluableQA"});

    pf::ClassBuilder(m, "EvaluableStuffDocumentCodeQA", {m.get("EvaluableQA")})
        .method(brandle_init_def)
        .method(brandle_predict_def)
        .finish();
}
