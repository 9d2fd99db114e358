// tavrin.evaluation.qa.evaluator.llm_helper.fennic: rating.
//
// Has the judge model score a text against a reference answer on a scale of
// 0 to 10 and explain the score.
#include "judgment.hpp"
#include "pyface/pyface.hpp"

namespace pf = pyface;
namespace nb = nanobind;
using namespace nb::literals;

namespace {

// The prompt program: a system turn with the model's default system prompt,
// the text and the reference answer, a one-token score, then a second user
// turn asking for the reason, which is always generated.
const char *const rater_template = R"TPL(
{{~#system~}}
{{llm.default_system_prompt}}
{{~/system}}
{{#user~}}
Please score the TEXT based on the Reference Answer, using a scale of 0-10.
---
TEXT: {{input}}
---
Reference Answer: {{ref_answer}}
---
Please provide a score even if the answer is not clear, and make sure the response consists of a single number.
{{~/user}}
{{#assistant~}}
{{gen 'score' temperature=0 max_tokens=1}}
{{~/assistant~}}
{{~#user~}}
Please provide a reason for your score.
{{~/user}}
{{#assistant~}}
{{gen 'explanation' temperature=0 max_tokens=200}}
{{~/assistant~}}
)TPL";

constexpr pf::Params fennic_params{pf::arg("text"), pf::arg("ref_answer"), pf::arg("silent").dflt(true)};
nb::object fennic(pf::Call &c) {
    auto [text, ref_answer, silent] = c.args<fennic_params, "text", "ref_answer", "silent">();
    nb::object judgment = c.global("rater")("input"_a = text, "ref_answer"_a = ref_answer,
                                            "silent"_a = silent);
    judges::raise_program_error(judgment);
    nb::object score = judgment[nb::str("score")];
    if (!PyLong_CheckExact(score.ptr()))
        score = pf::owned(PyNumber_Long(score.ptr()));
    nb::object reason = judgment[nb::str("explanation")];
    return nb::make_tuple(score, reason);
}
const pf::FuncDef fennic_def{
    .name = "fennic",
    .params = fennic_params,
    .body = fennic,
    .returns = "Tuple[int, str]",
};

} // namespace

PYFACE_MODULE(fennic, m) {
    // from typing import Tuple
    m.from("typing", {"Tuple"});
    // from .conf import guidance
    m.from("tavrin.evaluation.qa.evaluator.llm_helper.conf", {"guidance"});
    // rater = guidance(<template>)
    m.set("rater", m.get("guidance")(nb::str(rater_template)));
    m.def(fennic_def);
}
