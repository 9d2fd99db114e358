// tavrin.evaluation.qa.evaluator.llm_helper.clenter: the single-text judge.
//
// Asks the judge model a YES/NO question about one text and returns the
// verdict with a reason, which the model gives only for one chosen answer.
#include "judgment.hpp"
#include "pyface/pyface.hpp"

namespace pf = pyface;
namespace nb = nanobind;
using namespace nb::literals;

namespace {

// The prompt program: a system turn with the model's default system prompt,
// the question and the text, a one-token YES/NO answer, then (only when the
// answer equals explain_token) a second user turn asking for the reason.
const char *const classify_single_template = R"TPL(
{{~#system~}}
{{llm.default_system_prompt}}
{{~/system}}

{{#user~}}
Please answer a question about a text with YES, NO.
---
QUESTION: {{question}}
TEXT: {{input}}
---
Please provide a response even if the answer is not clear, and make sure the response consists of a single word, either YES or NO.
{{~/user}}

{{#assistant~}}
{{gen 'answer' temperature=0 max_tokens=1}}
{{~/assistant~}}

{{#if (equal answer explain_token)~}}
{{~#user~}}
Please provide a reason for your answer.
{{~/user}}
{{#assistant~}}
{{gen 'explanation' temperature=0 max_tokens=200}}
{{~/assistant~}}
{{/if}}'

)TPL";

constexpr pf::Params clenter_params{pf::arg("question"), pf::arg("text", "str"),
                                   pf::arg("explain_token").dflt("NO"), pf::arg("silent").dflt(true)};
nb::object clenter(pf::Call &c) {
    auto [question, text, explain_token, silent] =
        c.args<clenter_params, "question", "text", "explain_token", "silent">();
    nb::object judgment = c.global("classify_single")(
        "question"_a = question, "input"_a = text, "silent"_a = silent,
        "explain_token"_a = explain_token);
    judges::raise_program_error(judgment);
    nb::object verdict = judges::is_yes(judgment, "answer");
    // the explanation exists only when the answer matched explain_token
    nb::object explanation = judgment.attr("get")("explanation");
    nb::object reason = nb::bool_(explanation) ? explanation : nb::object(nb::str(""));
    return nb::make_tuple(verdict, reason);
}
const pf::FuncDef clenter_def{
    .name = "clenter",
    .params = clenter_params,
    .body = clenter,
    .returns = "Tuple[bool, str]",
};

} // namespace

PYFACE_MODULE(clenter, m) {
    // from typing import Tuple
    m.from("typing", {"Tuple"});
    // from .conf import guidance
    m.from("tavrin.evaluation.qa.evaluator.llm_helper.conf", {"guidance"});
    // classify_single = guidance(<template>, explain_token="NO")
    m.set("classify_single", m.get("guidance")(nb::str(classify_single_template),
                                               "explain_token"_a = "NO"));
    m.def(clenter_def);
}
