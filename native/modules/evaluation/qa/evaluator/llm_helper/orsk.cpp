// tavrin.evaluation.qa.evaluator.llm_helper.orsk: the pair judge.
//
// Asks the judge model a YES/NO question about two texts and returns the
// verdict with the model's reason for it.
#include "judgment.hpp"
#include "pyface/pyface.hpp"

namespace pf = pyface;
namespace nb = nanobind;
using namespace nb::literals;

namespace {

// The prompt program: a system turn with the model's default system prompt,
// the question and the two texts, a one-token YES/NO answer, then (only when
// with_explanation is true) a second user turn asking for the reason.
const char *const classifier_pair_template = R"TPL(
{{~#system~}}
{{llm.default_system_prompt}}
{{~/system}}
{{#user~}}
Please answer a question about a pair of texts with YES or NO.
---
QUESTION: {{question}}
---
TEXT1: {{input1}}
---
TEXT2: {{input2}}
---
Please provide a response even if the answer is not clear, and make sure the response consists of a single word, either YES or NO.
{{~/user}}
{{#assistant~}}
{{gen 'answer' temperature=0 max_tokens=1}}
{{~/assistant~}}
{{#if (with_explanation)~}}
{{~#user~}}
Please provide a reason for your answer.
{{~/user}}
{{#assistant~}}
{{gen 'explanation' temperature=0 max_tokens=200}}
{{~/assistant~}}
{{/if}})TPL";

constexpr pf::Params orsk_params{pf::arg("question"), pf::arg("text1"), pf::arg("text2"),
                                pf::arg("with_explanation").dflt(true), pf::arg("silent").dflt(true)};
nb::object orsk(pf::Call &c) {
    auto [question, text1, text2, with_explanation, silent] =
        c.args<orsk_params, "question", "text1", "text2", "with_explanation", "silent">();
    nb::object judgment = c.global("classifier_pair")(
        "question"_a = question, "input1"_a = text1, "input2"_a = text2, "silent"_a = silent,
        "with_explanation"_a = with_explanation);
    judges::raise_program_error(judgment);
    nb::object verdict = judges::is_yes(judgment, "answer");
    nb::object reason;
    if (nb::bool_(with_explanation))
        reason = judgment[nb::str("explanation")];
    else
        reason = nb::str("");
    return nb::make_tuple(verdict, reason);
}
const pf::FuncDef orsk_def{
    .name = "orsk",
    .params = orsk_params,
    .body = orsk,
    .returns = "Tuple[bool, str]",
};

} // namespace

PYFACE_MODULE(orsk, m) {
    // from typing import Tuple
    m.from("typing", {"Tuple"});
    // from .conf import guidance
    m.from("tavrin.evaluation.qa.evaluator.llm_helper.conf", {"guidance"});
    // classifier_pair = guidance(<template>, with_explanation=True)
    m.set("classifier_pair", m.get("guidance")(nb::str(classifier_pair_template),
                                               "with_explanation"_a = true));
    m.def(orsk_def);
}
