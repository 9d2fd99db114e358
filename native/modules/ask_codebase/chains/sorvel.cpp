// tavrin.ask_codebase.chains.sorvel: a map-reduce retrieval QA chain over an
// indexed source. The 20 chunks most similar to the question are retrieved,
// the model answers over each, and the partial answers are reduced to one.
#include "pyface/pyface.hpp"

namespace pf = pyface;
namespace nb = nanobind;
using namespace nb::literals;

namespace {

constexpr pf::Params init_params{pf::arg("self"), pf::arg("q", "Q")};
nb::object sorvel_init(pf::Call &c) {
    auto [self, q] = c.args<init_params, "self", "q">();
    nb::setattr(self, "_q", q);
    nb::setattr(self, "_chain", nb::none());
    return nb::none();
}

const pf::FuncDef sorvel_init_def{
    .name = "__init__",
    .params = init_params,
    .body = sorvel_init,
    .returns = "None",
};

// The chain (a property): built on first access, then cached on the
// instance. DEBUG is the module global as it is at build time.
constexpr pf::Params self_only{pf::arg("self")};
nb::object sorvel_chain(pf::Call &c) {
    nb::handle self = c.arg<self_only, "self">();
    nb::object cached = self.attr("_chain");
    if (!cached.is_none())
        return cached;

    nb::dict search_kwargs;
    search_kwargs["k"] = 20;
    nb::object retriever = self.attr("_q").attr("qdrant").attr("as_retriever")(
        "search_type"_a = "similarity", "search_kwargs"_a = search_kwargs);

    nb::object from_chain_type = c.global("RetrievalQA").attr("from_chain_type");
    nb::object llm = self.attr("llm");
    nb::dict chain_type_kwargs;
    chain_type_kwargs["reduce_llm"] = self.attr("reduce_llm");
    nb::object verbose = c.global("DEBUG");
    nb::object chain = from_chain_type(
        "llm"_a = llm, "chain_type_kwargs"_a = chain_type_kwargs, "chain_type"_a = "map_reduce",
        "retriever"_a = retriever, "return_source_documents"_a = true, "verbose"_a = verbose);
    nb::setattr(self, "_chain", chain);
    return chain;
}

const pf::FuncDef sorvel_chain_def{
    .name = "chain",
    .params = self_only,
    .body = sorvel_chain,
    .returns = "Chain",
};

constexpr pf::Params run_params{pf::arg("self"), pf::arg("question", "str")};
nb::object sorvel_run(pf::Call &c) {
    auto [self, question] = c.args<run_params, "self", "question">();
    nb::object chain = self.attr("chain");
    nb::object result = chain(question);
    nb::object answer = result["result"];
    nb::object sources = result["source_documents"];
    return nb::make_tuple(answer, sources);
}

const pf::FuncDef sorvel_run_def{
    .name = "run",
    .params = run_params,
    .body = sorvel_run,
    .returns = "Tuple[str, List[Document]]",
};

} // namespace

PYFACE_MODULE(sorvel, m) {
    m.from("typing", {"List", "Optional", "Tuple"});
    m.from("langchain.base_language", {"BaseLanguageModel"});
    m.from("langchain.chains", {"RetrievalQA"});
    m.from("langchain.chains.base", {"Chain"});
    m.from("langchain.chains.retrieval_qa.base", {"BaseRetrievalQA"});
    m.from("langchain.chat_models", {"ChatOpenAI"});
    m.from("langchain.schema", {"Document"});
    m.from("tavrin.ask_codebase", {"DEBUG"});
    m.from_as("tavrin.ask_codebase.store.qdrant", "QdrantWrapper", "Q");

    nb::object chat_openai = m.get("ChatOpenAI");
    nb::object llm = chat_openai("temperature"_a = 0.1, "model_name"_a = "gpt-4");
    nb::object reduce_llm = chat_openai("temperature"_a = 0.1, "model_name"_a = "gpt-4");
    pf::ClassBuilder(m, "Sorvel")
        .annotation("llm", nb::str("BaseLanguageModel"))
        .attr("llm", llm)
        .annotation("reduce_llm", nb::str("BaseLanguageModel"))
        .attr("reduce_llm", reduce_llm)
        .method(sorvel_init_def)
        .property(sorvel_chain_def)
        .method(sorvel_run_def)
        .finish();
}
