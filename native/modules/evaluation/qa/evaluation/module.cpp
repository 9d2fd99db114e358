// tavrin.evaluation.qa.evaluation: the driver of a QA evaluation run.
//
// Evaluation puts every test question to every subject, has every evaluator
// judge each answer, records each judgement and writes a Report (JSON, plus
// Markdown after a clean run). Judgements already recorded are skipped, which
// makes a run resumable from its own report. The run itself is the engine's
// (engine.cpp), which run_evaluation also offers with jobs, keep_going, an
// observer and the report's extras; run_guards.cpp keeps a run's journal and
// SIGTERM handler in step with it.
#include "pyface/pyface.hpp"

#include "engine.hpp"

namespace pf = pyface;
namespace nb = nanobind;
using namespace nb::literals;
using namespace tavrin::evaluation_run;

namespace {

// ---------------------------------------------------------------- get_verbose_print

constexpr pf::Params verbose_print_params{pf::varargs("args"), pf::varkw("kwargs")};
nb::object verbose_print(pf::Call &c) {
    auto [args, kwargs] = c.args<verbose_print_params, "args", "kwargs">();
    if (pf::truthy(c.closure()))
        pf::owned(PyObject_Call(c.global("click").attr("secho").ptr(), args.ptr(), kwargs.ptr()));
    return nb::none();
}

const pf::FuncDef verbose_print_def{
    .name = "verbose_print",
    .qualname = "get_verbose_print.<locals>.verbose_print",
    .params = verbose_print_params,
    .body = verbose_print,
};

constexpr pf::Params get_verbose_print_params{pf::arg("verbose", "bool")};
nb::object get_verbose_print(pf::Call &c) {
    return pf::make_function(verbose_print_def, c.globals(), c.arg<get_verbose_print_params, "verbose">());
}

const pf::FuncDef get_verbose_print_def{
    .name = "get_verbose_print",
    .params = get_verbose_print_params,
    .body = get_verbose_print,
};

// ---------------------------------------------------------------- Evaluation

constexpr pf::Params evaluation_init_params{
    pf::arg("self"), pf::arg("test_set_path", "str"), pf::arg("subjects", "List[Type[EvaluableQA]]"),
    pf::arg("evaluators", "List[Type[Evaluator]]"), pf::arg("records", "Optional[List[EvalRecord]]").none()};
nb::object evaluation_init(pf::Call &c) {
    auto [self, test_set_path, subjects, evaluators, records] =
        c.args<evaluation_init_params, "self", "test_set_path", "subjects", "evaluators", "records">();
    nb::object test_set = c.global("QuestionSet").attr("load_json")(test_set_path);
    nb::setattr(self, "_test_set_path", test_set_path);
    nb::setattr(self, "_test_set", test_set);

    nb::setattr(self, "_subjects", nb::dict());
    for (nb::handle cls : subjects) {
        nb::object instance = cls();
        nb::object table = self.attr("_subjects");
        table[cls.attr("name")] = instance;
    }
    nb::setattr(self, "_evaluators", nb::dict());
    for (nb::handle cls : evaluators) {
        nb::object instance = cls();
        nb::object table = self.attr("_evaluators");
        table[cls.attr("name")] = instance;
    }
    bool has_records = pf::truthy(records);
    nb::setattr(self, "_records", has_records ? nb::borrow(records) : nb::object(nb::list()));
    return nb::none();
}

const pf::FuncDef evaluation_init_def{
    .name = "__init__",
    .params = evaluation_init_params,
    .body = evaluation_init,
    .returns = "None",
};

// ---------------------------------------------------------------- RunPrinter

constexpr pf::Params printer_init_params{pf::arg("self"), pf::arg("verbose", "bool").dflt(false)};
nb::object printer_init(pf::Call &c) {
    auto [self, verbose] = c.args<printer_init_params, "self", "verbose">();
    nb::setattr(self, "verbose", verbose);
    return nb::none();
}

const pf::FuncDef printer_init_def{
    .name = "__init__",
    .params = printer_init_params,
    .body = printer_init,
    .returns = "None",
};

constexpr pf::Params printer_say_params{pf::arg("self"), pf::varargs("args"), pf::varkw("kwargs")};
nb::object printer_say(pf::Call &c) {
    auto [self, args, kwargs] = c.args<printer_say_params, "self", "args", "kwargs">();
    nb::object say = c.global("get_verbose_print")(self.attr("verbose"));
    pf::owned(PyObject_Call(say.ptr(), args.ptr(), kwargs.ptr()));
    return nb::none();
}

const pf::FuncDef printer_say_def{
    .name = "say",
    .doc = "A verbose line of the run (click.secho's arguments): printed in verbose mode only.",
    .params = printer_say_params,
    .body = printer_say,
    .returns = "None",
};

nb::object printer_alert(pf::Call &c) {
    auto [args, kwargs] = c.args<printer_say_params, "args", "kwargs">();
    pf::owned(PyObject_Call(c.global("click").attr("secho").ptr(), args.ptr(), kwargs.ptr()));
    return nb::none();
}

const pf::FuncDef printer_alert_def{
    .name = "alert",
    .doc = "A line the run prints always (its failures and interrupts), through click.secho.",
    .params = printer_say_params,
    .body = printer_alert,
    .returns = "None",
};

nb::object nothing(pf::Call &) { return nb::none(); }

constexpr pf::Params printer_started_params{pf::arg("self"), pf::arg("total", "int")};
const pf::FuncDef printer_started_def{
    .name = "started",
    .doc = "``total`` judgements are to be made.",
    .params = printer_started_params,
    .body = nothing,
    .returns = "None",
};
constexpr pf::Params printer_block_params{pf::arg("self"), pf::arg("lines")};
const pf::FuncDef printer_block_def{
    .name = "block",
    .doc = "The verbose lines of one judgement of a concurrent run, whole, in verbose mode (each is "
           "also said).",
    .params = printer_block_params,
    .body = nothing,
    .returns = "None",
};
constexpr pf::Params printer_recorded_params{pf::arg("self"), pf::arg("record")};
const pf::FuncDef printer_recorded_def{
    .name = "recorded",
    .doc = "One judgement was made and recorded.",
    .params = printer_recorded_params,
    .body = nothing,
    .returns = "None",
};
constexpr pf::Params printer_failed_params{pf::arg("self"), pf::arg("error")};
const pf::FuncDef printer_failed_def{
    .name = "failed",
    .doc = "One judgement failed with ``error`` (what the subject or the evaluator raised).",
    .params = printer_failed_params,
    .body = nothing,
    .returns = "None",
};
constexpr pf::Params printer_finishing_params{pf::arg("self"), pf::arg("report")};
const pf::FuncDef printer_finishing_def{
    .name = "finishing",
    .doc = "The run's last report is about to be written: its fields may still be changed.",
    .params = printer_finishing_params,
    .body = nothing,
    .returns = "None",
};

constexpr pf::Params printer_written_params{pf::arg("self"), pf::arg("path")};
const pf::FuncDef printer_written_def{
    .name = "written",
    .doc = "The run wrote its JSON report to ``path`` (when it starts, with a start note, and when it ends).",
    .params = printer_written_params,
    .body = nothing,
    .returns = "None",
};

// ---------------------------------------------------------------- the engine

constexpr pf::Params run_evaluation_params{
    pf::arg("evaluation"),
    pf::arg("json_path", "str"),
    pf::arg("markdown_path", "Optional[str]").none(),
    pf::arg("verbose", "bool").dflt(false).kwonly(),
    pf::arg("jobs", "int").dflt(1).kwonly(),
    pf::arg("keep_going", "bool").dflt(false).kwonly(),
    pf::arg("observer").none().kwonly(),
    pf::arg("executor").none().kwonly(),
    pf::arg("extras", "Optional[dict]").none().kwonly(),
    pf::arg("usage").none().kwonly(),
    pf::arg("start_note", "Optional[str]").none().kwonly()};
nb::object run_evaluation(pf::Call &c) {
    auto [evaluation, json_path, markdown_path, verbose, jobs, keep_going, observer, executor, extras,
          usage, start_note] =
        c.args<run_evaluation_params, "evaluation", "json_path", "markdown_path", "verbose", "jobs",
               "keep_going", "observer", "executor", "extras", "usage", "start_note">();
    RunRequest r;
    r.globals = c.globals();
    r.evaluation = evaluation;
    r.json_path = json_path;
    r.markdown_path = markdown_path;
    r.verbose = pf::truthy(verbose);
    r.jobs = nb::cast<long>(jobs);
    r.keep_going = pf::truthy(keep_going);
    if (r.jobs < 1)
        pf::raise(PyExc_ValueError, "jobs must be a positive integer, got %ld", r.jobs);
    if ((r.jobs > 1 || r.keep_going) && executor.is_none())
        pf::raise(PyExc_ValueError, "a run with more than one job or keep_going needs an executor");
    nb::object printer = observer.is_none() ? c.global("RunPrinter")(verbose) : nb::borrow(observer);
    r.observer = printer;
    r.executor = executor;
    r.extras = extras;
    r.usage = usage;
    r.start_note = start_note;
    return run_engine(r);
}

const pf::FuncDef run_evaluation_def{
    .name = "run_evaluation",
    .doc = "Run ``evaluation``: make every judgement it has not recorded, write the JSON report to "
           "``json_path`` (and the Markdown to ``markdown_path`` after a run without error); "
           "return the report.\n\n"
           "With ``jobs`` 1 and without ``keep_going`` the judgements are made one after another on "
           "this thread; otherwise ``executor(jobs)`` makes them (several at once). ``observer`` "
           "(a ``RunPrinter``; default ``RunPrinter(verbose)``) prints what the run says and hears "
           "how it goes. ``extras`` are report fields set on every report the run writes (one that "
           "names a header field replaces the evaluation's); ``usage()`` gives the requests, retries "
           "and tokens to record; with ``start_note`` a report with that error message is written "
           "before the first judgement.",
    .params = run_evaluation_params,
    .body = run_evaluation,
};

constexpr pf::Params evaluation_run_params{pf::arg("self"), pf::arg("json_path", "str"),
                                           pf::arg("markdown_path", "Optional[str]").none(),
                                           pf::arg("verbose", "bool").dflt(false)};
nb::object evaluation_run(pf::Call &c) {
    auto [self, json_path, markdown_path, verbose] =
        c.args<evaluation_run_params, "self", "json_path", "markdown_path", "verbose">();
    RunRequest r;
    r.globals = c.globals();
    r.evaluation = self;
    r.json_path = json_path;
    r.markdown_path = markdown_path;
    r.verbose = pf::truthy(verbose);
    nb::object printer = c.global("RunPrinter")(verbose);
    r.observer = printer;
    r.executor = r.extras = r.usage = r.start_note = nb::none();
    run_engine(r);
    return nb::none();
}

const pf::FuncDef evaluation_run_def{
    .name = "run",
    .doc = "Run the evaluation and save the report to json and markdown file.",
    .params = evaluation_run_params,
    .body = evaluation_run,
};

constexpr pf::Params evaluation_run_header_params{pf::arg("self"), pf::arg("json_path")};
nb::object evaluation_run_header(pf::Call &c) {
    auto [self, json_path] = c.args<evaluation_run_header_params, "self", "json_path">();
    nb::object name = c.global("Path")(json_path).attr("stem");
    nb::object date = c.global("report_date")(c.global("datetime").attr("now")());
    nb::object test_set_path = nb::str(self.attr("_test_set_path"));
    nb::object subjects = nb::list(self.attr("_subjects").attr("keys")());
    nb::object evaluators = nb::list(self.attr("_evaluators").attr("keys")());
    nb::object description =
        pf::cat({"Using test set <", self.attr("_test_set").attr("name"), ">"});
    return c.global("RunHeader")("name"_a = name, "date"_a = date, "test_set_path"_a = test_set_path,
                                 "subjects"_a = subjects, "evaluators"_a = evaluators,
                                 "description"_a = description);
}

const pf::FuncDef evaluation_run_header_def{
    .name = "run_header",
    .doc = "The header of the report a run writing to ``json_path`` would write now (a RunHeader).",
    .params = evaluation_run_header_params,
    .body = evaluation_run_header,
};

constexpr pf::Params evaluation_cases_params{pf::arg("self")};
nb::object evaluation_cases(pf::Call &c) {
    return nb::list(c.arg<evaluation_cases_params, "self">().attr("_test_set").attr("cases"));
}

const pf::FuncDef evaluation_cases_def{
    .name = "cases",
    .doc = "The cases of the question set, in order (a new list).",
    .params = evaluation_cases_params,
    .body = evaluation_cases,
};

constexpr pf::Params evaluation_select_params{pf::arg("self"), pf::arg("keep")};
nb::object evaluation_select(pf::Call &c) {
    auto [self, keep] = c.args<evaluation_select_params, "self", "keep">();
    nb::object test_set = self.attr("_test_set");
    nb::list kept;
    for (nb::handle case_ : test_set.attr("cases"))
        if (pf::truthy(keep(case_)))
            kept.append(case_);
    nb::object name = test_set.attr("name");
    nb::setattr(self, "_test_set", c.global("QuestionSet")("name"_a = name, "cases"_a = kept));
    return nb::none();
}

const pf::FuncDef evaluation_select_def{
    .name = "select",
    .doc = "Keep only the cases ``keep(case)`` accepts (a shard of the question set).",
    .params = evaluation_select_params,
    .body = evaluation_select,
    .returns = "None",
};

constexpr pf::Params evaluation_resume_params{pf::arg("cls"), pf::arg("report_json_path", "str")};
nb::object evaluation_resume(pf::Call &c) {
    auto [cls, report_json_path] = c.args<evaluation_resume_params, "cls", "report_json_path">();
    nb::object report = c.global("Report").attr("load_json")(report_json_path);
    nb::object test_set_path = report.attr("test_set_path");
    nb::list subjects;
    for (nb::handle s : report.attr("subjects"))
        subjects.append(c.global("get_evaluable_from_name")(s));
    nb::list evaluators;
    for (nb::handle e : report.attr("evaluators"))
        evaluators.append(c.global("get_evaluator_from_name")(e));
    nb::object records = report.attr("records");
    return cls(test_set_path, subjects, evaluators, records);
}

const pf::FuncDef evaluation_resume_def{
    .name = "resume",
    .doc = "Resume an Evaluation's config from a report json file.",
    .params = evaluation_resume_params,
    .body = evaluation_resume,
};

} // namespace

PYFACE_MODULE(evaluation, m) {
    m.from("datetime", {"datetime"});
    m.from("pathlib", {"Path"});
    m.from("typing", {"Dict", "List", "Optional", "Type"});
    m.import("click");
    m.from("tavrin.evaluation.qa.evaluable.base", {"EvaluableQA"});
    m.from("tavrin.evaluation.qa.evaluator.base", {"Evaluator"});
    m.from("tavrin.evaluation.qa.question_set", {"QuestionSet"});
    m.from("tavrin.evaluation.qa.report", {"EvalRecord", "Report"});
    m.from("tavrin.evaluation.qa.evaluable.base", {"get_evaluable_from_name"});
    m.from("tavrin.evaluation.qa.evaluator.base", {"get_evaluator_from_name"});
    m.def(get_verbose_print_def);

    pf::ClassBuilder(m, "Evaluation")
        .method(evaluation_init_def)
        .method(evaluation_run_def)
        .method(evaluation_run_header_def)
        .property(evaluation_cases_def)
        .method(evaluation_select_def)
        .classmethod(evaluation_resume_def)
        .finish();

    // the run engine and its printer
    m.from("tavrin.evaluation.qa.report", {"RunHeader", "report_date"});
    m.def(run_evaluation_def);

    pf::ClassBuilder(m, "RunPrinter", {},
                     "What a run says, printed: its verbose lines through get_verbose_print(verbose), "
                     "the lines it prints always through click.secho. The base of a run's observer: "
                     "the other methods hear how the run goes and do nothing here.")
        .attr("verbose", nb::bool_(false))
        .method(printer_init_def)
        .method(printer_say_def)
        .method(printer_alert_def)
        .method(printer_started_def)
        .method(printer_block_def)
        .method(printer_recorded_def)
        .method(printer_failed_def)
        .method(printer_finishing_def)
        .method(printer_written_def)
        .finish();
}
