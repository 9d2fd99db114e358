// tavrin.evaluation.qa.evaluator.llm_helper.conf: the judge model.
//
// Importing this module makes one gpt-4 model handle the process-wide default
// model of guidance, so every prompt program built or run afterwards talks to
// it. The judges take `guidance` from here, which makes sure the default is in
// place before they build their programs.
#include "pyface/pyface.hpp"

namespace pf = pyface;
namespace nb = nanobind;

PYFACE_MODULE(conf, m) {
    // import guidance
    nb::object guidance = m.import("guidance");

    // chat_gpt = guidance.llms.OpenAI("gpt-4")
    nb::object chat_gpt = guidance.attr("llms").attr("OpenAI")("gpt-4");
    m.set("chat_gpt", chat_gpt);

    // guidance.llm = chat_gpt
    nb::setattr(guidance, "llm", chat_gpt);
}
