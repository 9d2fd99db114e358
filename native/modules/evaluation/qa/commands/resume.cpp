// tavrin.evaluation.qa.commands.resume: the `resume` command, which continues
// an interrupted evaluation from its JSON report.
#include "pyface/pyface.hpp"

namespace pf = pyface;
namespace nb = nanobind;
using namespace nb::literals;

namespace {

constexpr pf::Params resume_params{pf::arg("json_path", "str"), pf::arg("output", "str").or_none(),
                                  pf::arg("verbose", "bool")};
nb::object resume(pf::Call &c) {
    auto [json_path, output, verbose] = c.args<resume_params, "json_path", "output", "verbose">();
    nb::handle output_path = pf::truthy(output) ? output : json_path;
    nb::object evaluation = c.global("Evaluation").attr("resume")(json_path);
    evaluation.attr("run")("json_path"_a = output_path, "verbose"_a = verbose);
    return nb::none();
}

const pf::FuncDef resume_def{
    .name = "resume",
    .params = resume_params,
    .body = resume,
};

} // namespace

PYFACE_MODULE(resume, m) {
    nb::object click = m.import("click");
    m.from("tavrin.evaluation.qa.evaluation", {"Evaluation"});

    // decorator expressions are evaluated top to bottom, applied bottom up
    nb::object command =
        click.attr("command")("help"_a = "Resume an evaluation from the json report in JSON_PATH.");
    nb::object argument =
        click.attr("argument")("json_path", "type"_a = click.attr("Path")("exists"_a = true));
    nb::object output = click.attr("option")(
        "-o", "--output", "type"_a = click.attr("Path")(),
        "help"_a = "Output to a new json file if specified. Otherwise, overwrite the input file.");
    nb::object verbose =
        click.attr("option")("-v", "--verbose", "is_flag"_a = true, "help"_a = "Verbose mode.");
    nb::object f = pf::make_function(resume_def, m.dict());
    f = verbose(f);
    f = output(f);
    f = argument(f);
    f = command(f);
    m.set("resume", f);
}
