// tavrin.evaluation.qa.evaluation: the driver of a QA evaluation run.
//
// Evaluation puts every test question to every subject, has every evaluator
// judge each answer, records each judgement and writes a Report (JSON, plus
// Markdown after a clean run). Judgements already recorded are skipped, which
// makes a run resumable from its own report. run_guards.cpp keeps a run's
// journal and SIGTERM handler in step with it.
#include "pyface/pyface.hpp"

#include "run_guards.hpp"

#include <optional>
#include <utility>

namespace pf = pyface;
namespace nb = nanobind;
using namespace nb::literals;
using namespace tavrin::evaluation_run;

namespace {

// ---------------------------------------------------------------- helpers

// click.secho(message, fg=...) through the module's `click`, read now.
void secho_red(const pf::Call &c, nb::handle message) {
    c.global("click").attr("secho")(message, "fg"_a = "red");
}

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

// Asks one subject for its answer to the case: steps that may raise are
// reported in red by the caller.
void predict(nb::handle v_print, nb::handle subject, nb::handle s_name,
             nb::handle case_, nb::object &prediction, nb::object &documents) {
    nb::object result = subject.attr("predict")(case_.attr("question"));
    auto [answer, docs] = pf::unpack<2>(result);
    pf::expect_exact_or_none(answer, &PyUnicode_Type, "unicode");
    prediction = answer;
    pf::expect_exact_or_none(docs, &PyList_Type, "list");
    documents = docs;
    v_print(pf::cat({"\n===> ", s_name, " Ans:"}), "fg"_a = "blue");
    v_print(prediction);
    if (pf::truthy(documents)) {
        v_print("\nReferences:");
        for (nb::handle doc : documents)
            v_print(pf::cat({"  - [", doc["label"], "] ", doc["url"]}));
    }
}

// What a report says of its run besides records and error, in the order the
// report's keywords list them: made by the run package's run_fields (one
// place for every way a run starts), dated by this module's `datetime` and
// named through its `Path`, so that replacing either global is honoured.
struct RunFields {
    nb::object name, date, test_set_path, subjects, evaluators, description;
};

RunFields run_fields(const pf::Call &c, nb::handle self, nb::handle json_path) {
    nb::object now = c.global("datetime").attr("now")();
    nb::object fields =
        nb::module_::import_("tavrin.evaluation.qa.run.plan").attr("run_fields")(self, json_path, "now"_a = now);
    RunFields f;
    f.name = c.global("Path")(json_path).attr("stem");
    f.date = fields["date"];
    f.test_set_path = fields["test_set_path"];
    f.subjects = fields["subjects"];
    f.evaluators = fields["evaluators"];
    f.description = fields["description"];
    return f;
}

// Report.open_journal(json_path, ...) when the report class offers journals.
nb::object open_journal(const pf::Call &c, nb::handle self, nb::handle json_path) {
    nb::object report_cls = c.global("Report");
    nb::object open = nb::getattr(report_cls, "open_journal", nb::none());
    if (open.is_none())
        return nb::none();
    RunFields f = run_fields(c, self, json_path);
    return open(json_path, "name"_a = f.name, "date"_a = f.date,
                "test_set_path"_a = f.test_set_path, "subjects"_a = f.subjects,
                "evaluators"_a = f.evaluators, "description"_a = f.description);
}

constexpr pf::Params evaluation_run_params{pf::arg("self"), pf::arg("json_path", "str"),
                                           pf::arg("markdown_path", "Optional[str]").none(),
                                           pf::arg("verbose", "bool").dflt(false)};
nb::object evaluation_run(pf::Call &c) {
    auto [self, json_path, markdown_path, verbose] =
        c.args<evaluation_run_params, "self", "json_path", "markdown_path", "verbose">();

    nb::object v_print = c.global("get_verbose_print")(verbose);
    v_print("\nEvaluation start", "bold"_a = true);

    nb::object own_records = self.attr("_records");
    nb::object records =
        pf::truthy(own_records) ? own_records : nb::object(nb::list());
    nb::object record_ids = pf::owned(PySet_New(nullptr));
    for (nb::handle r : records)
        if (PySet_Add(record_ids.ptr(), r.attr("id").ptr()) < 0)
            pf::throw_error();
    nb::object error_msg = nb::str("");

    JournalGuard journal(open_journal(c, self, json_path));
    nb::object sigterm = nb::list();
    SigtermGuard sigterm_guard(c.globals(), sigterm);

    std::optional<nb::python_error> escaped;
    try {
        as_python([&] {
            nb::object cases = self.attr("_test_set").attr("cases");
            for (nb::handle case_ : cases) {
                nb::object case_id = case_.attr("id");
                v_print(pf::cat({"\n>>>>>>>>> question ", case_id, ": ", case_.attr("question")}),
                        "bold"_a = true, "fg"_a = "yellow");
                v_print(pf::cat({"# Ref:\n", case_.attr("reference_answer")}));

                nb::object subjects = self.attr("_subjects");
                nb::object subject_items = subjects.attr("items")();
                for (nb::handle s_item : subject_items) {
                    auto [s_name, subject] = pf::unpack<2>(s_item);
                    nb::object prediction = nb::none();
                    nb::object documents = nb::none();

                    nb::object evaluator_items = self.attr("_evaluators").attr("items")();
                    for (nb::handle e_item : evaluator_items) {
                        auto [e_name, evaluator] = pf::unpack<2>(e_item);
                        nb::object id_case = case_.attr("id");
                        nb::object id_question = case_.attr("question");
                        nb::object eval_record_id =
                            c.global("EvalRecord").attr("gen_eval_record_id")(
                                "case_id"_a = id_case, "question"_a = id_question,
                                "subject"_a = s_name, "evaluator"_a = e_name);
                        int seen = PySet_Contains(record_ids.ptr(), eval_record_id.ptr());
                        if (seen < 0)
                            pf::throw_error();
                        if (seen) {
                            v_print(pf::cat({"Skip evaluate ", s_name, " by ", e_name, " on ",
                                             case_.attr("id")}));
                            continue;
                        }

                        if (prediction.is_none()) {
                            try {
                                as_python([&] {
                                    predict(v_print, subject, s_name, case_, prediction,
                                            documents);
                                });
                            } catch (nb::python_error &e) {
                                if (!e.matches(PyExc_Exception))
                                    throw;
                                secho_red(c, pf::cat({"> Error when predicting. Raise by ", s_name,
                                                      " on ", case_.attr("id")}));
                                throw;
                            }
                        }

                        nb::object result;
                        try {
                            as_python([&] {
                                result = evaluator.attr("evaluate")(prediction, case_);
                            });
                        } catch (nb::python_error &e) {
                            if (!e.matches(PyExc_Exception))
                                throw;
                            secho_red(c, pf::cat({">>> Error when evaluating. Raise by ", e_name,
                                                  " on ", s_name, " with ", case_.attr("id")}));
                            throw;
                        }

                        nb::object r_case_id = case_.attr("id");
                        nb::object r_question = case_.attr("question");
                        nb::object r_expected = case_.attr("reference_answer");
                        nb::object r_value = result.attr("value");
                        nb::object r_reason = result.attr("reason");
                        nb::object eval_record = c.global("EvalRecord")(
                            "case_id"_a = r_case_id, "question"_a = r_question,
                            "subject"_a = s_name, "prediction"_a = prediction,
                            "expected"_a = r_expected, "documents"_a = documents,
                            "evaluator"_a = e_name, "value"_a = r_value, "reason"_a = r_reason);
                        records.attr("append")(eval_record);
                        if (PySet_Add(record_ids.ptr(), eval_record.attr("id").ptr()) < 0)
                            pf::throw_error();
                        journal.append(eval_record);

                        v_print(pf::cat({"\n--- ", evaluator.attr("description")}), "fg"_a = "cyan");
                        v_print(pf::cat({e_name, ": ", result.attr("value")}), "fg"_a = "green");
                        v_print(pf::cat({"reason: ", result.attr("reason")}));
                    }
                }
            }
        });
    } catch (nb::python_error &e) {
        try {
            as_python([&] {
                if (e.matches(PyExc_Exception)) {
                    error_msg = error_text(e);
                    secho_red(c, pf::cat({"\n***** Exception *****\n", e.value(), "\n"}));
                } else if (e.matches(PyExc_KeyboardInterrupt) && nb::len(sigterm) > 0) {
                    error_msg = nb::str("SIGTERM");
                    secho_red(c, nb::str("\n***** SIGTERM *****\n"));
                } else if (e.matches(PyExc_KeyboardInterrupt)) {
                    error_msg = nb::str("KeyboardInterrupt");
                    secho_red(c, nb::str("\n***** KeyboardInterrupt *****\n"));
                } else {
                    // e.g. SystemExit: the run is still cut short
                    error_msg = error_text(e);
                    escaped.emplace(std::move(e));
                }
            });
        } catch (nb::python_error &printing) {
            escaped.emplace(std::move(printing));
        }
    }

    RunFields f = run_fields(c, self, json_path);
    nb::object report = c.global("Report")(
        "name"_a = f.name, "date"_a = f.date, "test_set_path"_a = f.test_set_path,
        "subjects"_a = f.subjects, "evaluators"_a = f.evaluators, "records"_a = records,
        "description"_a = f.description, "error_msg"_a = error_msg);
    report.attr("dump_json")(json_path);
    if (PyUnicode_Check(markdown_path.ptr()) && PyUnicode_GET_LENGTH(markdown_path.ptr()) > 0 &&
        nb::len(error_msg) == 0)
        report.attr("dump_md")(markdown_path);
    journal.discard();

    if (escaped)
        throw std::move(*escaped);
    return nb::none();
}

const pf::FuncDef evaluation_run_def{
    .name = "run",
    .doc = "Run the evaluation and save the report to json and markdown file.",
    .params = evaluation_run_params,
    .body = evaluation_run,
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
        .classmethod(evaluation_resume_def)
        .finish();
}
