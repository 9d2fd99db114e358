// tavrin.evaluation.qa.commands.markdown: the `markdown` command, which renders
// a saved JSON report as Markdown.
#include "pyface/pyface.hpp"

namespace pf = pyface;
namespace nb = nanobind;
using namespace nb::literals;

namespace {

constexpr pf::Params print_markdown_params{pf::arg("report", "Report"), pf::arg("json_path", "str"),
                                           pf::arg("output", "Optional[str]").none()};
nb::object print_markdown(pf::Call &c) {
    auto [report, json_path, output] = c.args<print_markdown_params, "report", "json_path", "output">();
    c.global("click").attr("secho")(pf::cat({"Load json report: ", json_path}), "fg"_a = "blue");
    nb::object md_content = report.attr("to_markdown")();
    c.global("click").attr("secho")("Report in Markdown:", "fg"_a = "blue");
    c.global("print")(md_content);
    if (pf::truthy(output)) {
        // Written like Report.dump_md: UTF-8, through a temporary file that is
        // renamed over the target, so a failed write leaves the old file whole.
        nb::module_::import_("tavrin._outputs").attr("atomic_write_text")(output, md_content);
        c.global("click").attr("secho")(pf::cat({"Saved markdown file: ", output}),
                                        "fg"_a = "green");
    }
    return nb::none();
}

const pf::FuncDef print_markdown_def{
    .name = "print_markdown",
    .doc = "Print ``report`` (loaded from ``json_path``) as Markdown, and write it to ``output`` when given: "
           "what the markdown command does once it has the report.",
    .params = print_markdown_params,
    .body = print_markdown,
    .returns = "None",
};

constexpr pf::Params markdown_params{pf::arg("json_path", "str"), pf::arg("output", "str").or_none()};
nb::object markdown(pf::Call &c) {
    auto [json_path, output] = c.args<markdown_params, "json_path", "output">();
    nb::object report = c.global("Report").attr("load_json")(json_path);
    c.global("print_markdown")(report, json_path, output);
    return nb::none();
}

const pf::FuncDef markdown_def{
    .name = "markdown",
    .params = markdown_params,
    .body = markdown,
};

} // namespace

PYFACE_MODULE(markdown, m) {
    nb::object click = m.import("click");
    m.from("tavrin.evaluation.qa.report", {"Report"});

    nb::object command = click.attr("command")(
        "help"_a = "Generate a markdown report from the json report in JSON_PATH.");
    nb::object argument =
        click.attr("argument")("json_path", "type"_a = click.attr("Path")("exists"_a = true));
    nb::object output =
        click.attr("option")("-o", "--output", "type"_a = click.attr("Path")(), "help"_a = "Output path.");
    nb::object f = pf::make_function(markdown_def, m.dict());
    f = output(f);
    f = argument(f);
    f = command(f);
    m.set("markdown", f);
    m.def(print_markdown_def);
}
