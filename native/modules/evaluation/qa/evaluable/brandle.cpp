// tavrin.evaluation.qa.evaluable.brandle: the stuff-documents code QA chain
// as an evaluable subject; each answer comes with the metadata of the
// documents it was drawn from.
#include "pyface/pyface.hpp"

namespace pf = pyface;
namespace nb = nanobind;
using namespace nb::literals;

namespace {

constexpr pf::Params init_params{pf::arg("self"), pf::arg("source_name", "str"),
                                pf::arg("embedding_cls", "Type[Embeddings]")};
nb::object brandle_init(pf::Call &c) {
    auto [self, source_name, embedding_cls] = c.args<init_params, "self", "source_name", "embedding_cls">();
    nb::object reuse = c.global("Q").attr("reuse");
    nb::object q = reuse("source_name"_a = source_name, "embedding_cls"_a = embedding_cls);
    nb::object qa = c.global("StuffDocumentCodeQa")(q);
    nb::setattr(self, "_qa", qa);
    return nb::none();
}

const pf::FuncDef brandle_init_def{
    .name = "__init__",
    .params = init_params,
    .body = brandle_init,
    .returns = "None",
};

constexpr pf::Params predict_params{pf::arg("self"), pf::arg("question", "str")};
nb::object brandle_predict(pf::Call &c) {
    auto [self, question] = c.args<predict_params, "self", "question">();
    nb::object result = self.attr("_qa").attr("run")(question);
    auto [answer, docs] = pf::unpack<2>(result);
    nb::list metadata;
    for (nb::handle doc : docs)
        metadata.append(doc.attr("metadata"));
    return nb::make_tuple(answer, metadata);
}

const pf::FuncDef brandle_predict_def{
    .name = "predict",
    .params = predict_params,
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
