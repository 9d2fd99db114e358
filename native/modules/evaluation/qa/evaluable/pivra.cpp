// tavrin.evaluation.qa.evaluable.pivra: subjects that always give the same
// one-word answer, as baselines beside real question answerers.
#include "pyface/pyface.hpp"

namespace pf = pyface;
namespace nb = nanobind;

namespace {

constexpr pf::Params predict_params{pf::arg("self"), pf::arg("question", "str")};

nb::object yes_predict(pf::Call &) { return nb::make_tuple("Yes", nb::list()); }

const pf::FuncDef yes_predict_def{
    .name = "predict",
    .params = predict_params,
    .body = yes_predict,
    .returns = "Tuple[str, list]",
};

nb::object no_predict(pf::Call &) { return nb::make_tuple("No", nb::list()); }

const pf::FuncDef no_predict_def{
    .name = "predict",
    .params = predict_params,
    .body = no_predict,
    .returns = "Tuple[str, list]",
};

} // namespace

PYFACE_MODULE(pivra, m) {
    m.from("typing", {"Tuple"});
    m.from("tavrin.evaluation.qa.evaluable.base", {"EvaluableQA"});

    pf::ClassBuilder(m, "YesWoman", {m.get("EvaluableQA")},
                     "\n    Always return YES to any question\n    ")
        .method(yes_predict_def)
        .finish();
    pf::ClassBuilder(m, "NoWoman", {m.get("EvaluableQA")},
                     "\n    Always return No to any question\n    ")
        .method(no_predict_def)
        .finish();
}
