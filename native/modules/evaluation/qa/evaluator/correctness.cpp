// tavrin.evaluation.qa.evaluator.correctness: the Correctness evaluator.
//
// Judges a subject's answer correct when the pair judge finds that it holds
// the meaning of the test case's reference answer.
#include "pyface/pyface.hpp"

namespace pf = pyface;
namespace nb = nanobind;

namespace {

constexpr pf::Params evaluate_params{pf::arg("self"), pf::arg("prediction", "str"),
                                    pf::arg("case", "TestCase")};
nb::object evaluate(pf::Call &c) {
    auto [prediction, test_case] = c.args<evaluate_params, "prediction", "case">();
    nb::object reference_answer = test_case.attr("reference_answer");
    // the prediction is TEXT1, the text that must hold the meaning of TEXT2
    nb::object judged = c.global("orsk")("Does TEXT1 contain the meaning of TEXT2?", prediction,
                                         reference_answer);
    auto [verdict, reason] = pf::unpack<2>(judged);
    return c.global("EvalResult")(verdict, reason);
}
const pf::FuncDef evaluate_def{
    .name = "evaluate",
    .params = evaluate_params,
    .body = evaluate,
    .returns = "EvalResult",
};

} // namespace

PYFACE_MODULE(correctness, m) {
    m.from("tavrin.evaluation.qa.evaluator.base", {"EvalResult", "Evaluator"});
    m.from("tavrin.evaluation.qa.evaluator.llm_helper.orsk", {"orsk"});
    m.from("tavrin.evaluation.qa.question_set", {"TestCase"});

    pf::ClassBuilder(m, "Correctness", {m.get("Evaluator")})
        .attr("description", nb::str("Evaluate if the answer to the question is correct"))
        .method(evaluate_def)
        .finish();
}
