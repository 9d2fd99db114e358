// The run engine: the one loop over an evaluation's judgements.
//
// A run walks the cases, subjects and evaluators in order and skips every
// judgement whose record id the evaluation holds already. With one job (and
// without keep_going) it makes each judgement at once on the caller's thread
// and prints as it goes; otherwise it hands the judgements to the executor
// the host gave it, which makes several at once, and prints each judgement's
// verbose lines whole when it comes back. Either way each record goes to the
// run's journal as it is made, the first failure (or Ctrl-C, or SIGTERM)
// stops new work, and the report is written at the end with every record.
// With keep_going a failed judgement does not stop the run: it becomes an
// error record (no value, the one-line error text as its error_msg).
// Everything the run prints goes through its observer: `say` for the verbose
// lines, `alert` for the lines printed always.
#include "engine.hpp"

#include "run_guards.hpp"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

namespace tavrin::evaluation_run {

namespace pf = pyface;
using namespace nb::literals;

namespace {

void call(nb::handle f, nb::handle args, nb::handle kwargs) {
    pf::owned(PyObject_Call(f.ptr(), args.ptr(), kwargs.ptr()));
}

nb::dict style(const char *fg, bool bold = false) {
    nb::dict d;
    if (bold)
        d["bold"] = true;
    if (fg)
        d["fg"] = fg;
    return d;
}

// Where a judgement's verbose lines go: straight to the observer's `say`, or
// into a list of (args, kwargs) that is printed later as one block.
struct Sink {
    nb::handle observer;
    nb::object lines; // valid: collect

    void say(nb::handle message, nb::dict kwargs = nb::dict()) {
        nb::tuple args = nb::make_tuple(message);
        if (lines.is_valid())
            lines.attr("append")(nb::make_tuple(args, kwargs));
        else
            call(observer.attr("say"), args, kwargs);
    }
    nb::object collected() const { return lines.is_valid() ? lines : nb::none(); }
};

void alert(nb::handle observer, nb::handle message, nb::dict kwargs) {
    call(observer.attr("alert"), nb::make_tuple(message), kwargs);
}

void case_lines(Sink &s, nb::handle case_) {
    s.say(pf::cat({"\n>>>>>>>>> question ", case_.attr("id"), ": ", case_.attr("question")}),
          style("yellow", true));
    s.say(pf::cat({"# Ref:\n", case_.attr("reference_answer")}));
}

void answer_lines(Sink &s, nb::handle s_name, nb::handle prediction, nb::handle documents) {
    s.say(pf::cat({"\n===> ", s_name, " Ans:"}), style("blue"));
    s.say(prediction);
    if (pf::truthy(documents)) {
        s.say(nb::str("\nReferences:"));
        for (nb::handle doc : documents)
            s.say(pf::cat({"  - [", doc["label"], "] ", doc["url"]}));
    }
}

void verdict_lines(Sink &s, nb::handle evaluator, nb::handle e_name, nb::handle result) {
    s.say(pf::cat({"\n--- ", evaluator.attr("description")}), style("cyan"));
    s.say(pf::cat({e_name, ": ", result.attr("value")}), style("green"));
    s.say(pf::cat({"reason: ", result.attr("reason")}));
}

// Holds a judgement's answer slot while its subject is asked (a concurrent
// run's slots carry a threading.Lock; a sequential run's carry None).
class SlotLock {
public:
    explicit SlotLock(nb::object lock) : lock_(std::move(lock)) {
        if (!lock_.is_none())
            lock_.attr("acquire")();
    }
    ~SlotLock() {
        if (!lock_.is_none())
            in_destructor("releasing an answer slot", [&] { lock_.attr("release")(); });
    }
    SlotLock(const SlotLock &) = delete;
    SlotLock &operator=(const SlotLock &) = delete;

private:
    nb::object lock_;
};

// A job: (index, case, s_name, subject, e_name, evaluator, slot), slot being
// [lock or None, (answer, documents) or None], one per case and subject.
// Returns (where, job, value, lines): where None and value (record, result),
// or where "predict"/"evaluate" and value (exception, answer): what the
// subject or the evaluator raised, and the (prediction, documents) judged
// (None when predicting failed). Any other error leaves as it is.
nb::object judge(nb::handle globals, nb::handle job, Sink &s, bool live) {
    auto [index, case_, s_name, subject, e_name, evaluator, slot_object] = pf::unpack<7>(job);
    nb::list slot = nb::borrow<nb::list>(slot_object);
    nb::object answer;
    auto failed = [&](const char *where, nb::python_error &e) {
        nb::object judged = std::string_view(where) == "evaluate" ? answer : nb::object(nb::none());
        return nb::make_tuple(nb::str(where), job, nb::make_tuple(nb::borrow(e.value()), judged),
                              s.collected());
    };
    if (!live)
        case_lines(s, case_);
    bool asked = false;
    try {
        SlotLock held{nb::object(slot[0])};
        answer = slot[1];
        if (answer.is_none()) {
            as_python([&] {
                nb::object result = subject.attr("predict")(case_.attr("question"));
                auto [prediction, documents] = pf::unpack<2>(result);
                pf::expect_exact_or_none(prediction, &PyUnicode_Type, "unicode");
                pf::expect_exact_or_none(documents, &PyList_Type, "list");
                answer = nb::make_tuple(prediction, documents);
            });
            asked = true;
            if (!nb::object(answer[0]).is_none())
                slot[1] = answer;
        }
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        return failed("predict", e);
    }
    nb::object prediction = answer[0], documents = answer[1];
    if (asked || !live) {
        try {
            as_python([&] { answer_lines(s, s_name, prediction, documents); });
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception))
                throw;
            return failed("predict", e);
        }
    }
    nb::object result;
    try {
        as_python([&] { result = evaluator.attr("evaluate")(prediction, case_); });
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        return failed("evaluate", e);
    }
    nb::object case_id = case_.attr("id"), question = case_.attr("question"),
               expected = case_.attr("reference_answer"), value = result.attr("value"),
               reason = result.attr("reason");
    nb::object record = pf::lookup_global(globals, "EvalRecord")(
        "case_id"_a = case_id, "question"_a = question, "subject"_a = s_name,
        "prediction"_a = prediction, "expected"_a = expected, "documents"_a = documents,
        "evaluator"_a = e_name, "value"_a = value, "reason"_a = reason);
    if (!live)
        verdict_lines(s, evaluator, e_name, result);
    return nb::make_tuple(nb::none(), job, nb::make_tuple(record, result), s.collected());
}

constexpr pf::Params work_params{pf::arg("job")};
nb::object work(pf::Call &c) {
    Sink s{nb::handle(), nb::list()};
    return judge(c.globals(), c.arg<work_params, "job">(), s, false);
}

// ---------------------------------------------------------------- the run

struct Step {
    nb::object e_name, evaluator, id;
    bool seen;
};
struct SubjectPlan {
    nb::object s_name, subject, slot;
    std::vector<Step> steps;
};
struct CasePlan {
    nb::object case_;
    std::vector<SubjectPlan> subjects;
};

class Run {
public:
    explicit Run(const RunRequest &r) : r_(r), live_(r.jobs == 1 && !r.keep_going), observer_(r.observer) {}
    nb::object go();

private:
    nb::object header();
    nb::object report(nb::handle header, nb::handle error_msg);
    void plan();
    void walk();
    void drain();
    void handle(nb::handle outcome);
    void keep(nb::handle job, nb::handle record);
    void failure(const char *where, nb::handle job, nb::handle error, nb::handle answer);
    nb::object error_record(nb::handle job, nb::handle error, nb::handle answer);
    void exception(nb::handle error);
    void interrupt(nb::handle sigterm);
    void stop();
    nb::object error_msg();
    void finish_records();

    const RunRequest &r_;
    const bool live_;
    nb::handle observer_;
    nb::object evaluation_, records_, ids_, journal_handle_, pool_ = nb::none();
    nb::dict positions_;
    std::vector<CasePlan> plan_;
    long total_ = 0;
    std::vector<std::pair<long, nb::object>> made_;
    bool stopping_ = false, done_ = false, shown_ = false;
    nb::object first_error_ = nb::none(), interrupted_ = nb::none(), escaped_ = nb::none();
    JournalGuard *journal_ = nullptr;
};

// The run's header (RunHeader), dated now: the evaluation's, with the fields
// the extras name replaced (a resumed run keeps the question set's path as
// stored).
nb::object Run::header() {
    nb::object h = evaluation_.attr("run_header")(r_.json_path);
    if (r_.extras.is_none())
        return h;
    nb::dict replaced;
    for (nb::handle field : h.attr("_fields"))
        if (PyDict_Contains(r_.extras.ptr(), field.ptr()) == 1)
            replaced[field] = r_.extras[field];
    return nb::len(replaced) ? pf::owned(PyObject_Call(h.attr("_replace").ptr(), nb::tuple().ptr(),
                                                       replaced.ptr()))
                             : h;
}

nb::object Run::report(nb::handle header, nb::handle error_msg) {
    auto [name, date, test_set_path, subjects, evaluators, description] = pf::unpack<6>(header);
    nb::object rep = pf::lookup_global(r_.globals, "Report")(
        "name"_a = name, "date"_a = date, "test_set_path"_a = test_set_path,
        "subjects"_a = subjects, "evaluators"_a = evaluators, "records"_a = records_,
        "description"_a = description, "error_msg"_a = error_msg);
    if (!r_.extras.is_none())
        for (auto [key, value] : nb::borrow<nb::dict>(r_.extras))
            nb::setattr(rep, key, value);
    return rep;
}

void Run::plan() {
    nb::object threading = live_ ? nb::object(nb::none()) : nb::object(nb::module_::import_("threading"));
    for (nb::handle case_ : evaluation_.attr("_test_set").attr("cases")) {
        CasePlan cp{nb::borrow(case_), {}};
        for (nb::handle item : evaluation_.attr("_subjects").attr("items")()) {
            auto [s_name, subject] = pf::unpack<2>(item);
            nb::object lock = threading.is_none() ? nb::none() : threading.attr("Lock")();
            SubjectPlan sp{s_name, subject, nb::list(), {}};
            sp.slot.attr("extend")(nb::make_tuple(lock, nb::none()));
            for (nb::handle e_item : evaluation_.attr("_evaluators").attr("items")()) {
                auto [e_name, evaluator] = pf::unpack<2>(e_item);
                nb::object id = pf::lookup_global(r_.globals, "EvalRecord").attr("gen_eval_record_id")(
                    "case_id"_a = case_.attr("id"), "question"_a = case_.attr("question"),
                    "subject"_a = s_name, "evaluator"_a = e_name);
                positions_.attr("setdefault")(id, nb::len(positions_));
                int seen = PySet_Contains(ids_.ptr(), id.ptr());
                if (seen < 0)
                    pf::throw_error();
                total_ += !seen;
                sp.steps.push_back(Step{e_name, evaluator, id, seen == 1});
            }
            cp.subjects.push_back(std::move(sp));
        }
        plan_.push_back(std::move(cp));
    }
}

void Run::walk() {
    Sink live_sink{observer_, nb::object()};
    nb::object work_fn = live_ ? nb::none() : pf::make_function(work_def, r_.globals);
    long index = 0;
    for (CasePlan &cp : plan_) {
        if (stopping_)
            return;
        if (live_)
            case_lines(live_sink, cp.case_);
        for (SubjectPlan &sp : cp.subjects) {
            for (Step &step : sp.steps) {
                if (stopping_)
                    return;
                if (step.seen) {
                    live_sink.say(pf::cat({"Skip evaluate ", sp.s_name, " by ", step.e_name, " on ",
                                           cp.case_.attr("id")}));
                    continue;
                }
                nb::object job = nb::make_tuple(index++, cp.case_, sp.s_name, sp.subject, step.e_name,
                                                step.evaluator, sp.slot);
                if (live_)
                    handle(judge(r_.globals, job, live_sink, true));
                else
                    pool_.attr("submit")(work_fn, job);
            }
        }
    }
}

void Run::drain() {
    while (!done_) {
        nb::object outcome = pool_.attr("next")();
        if (outcome.is_none())
            return;
        handle(outcome);
    }
}

void Run::stop() {
    stopping_ = true;
    if (!pool_.is_none())
        pool_.attr("stop")();
}

void Run::handle(nb::handle outcome) {
    auto [where, job, value, lines] = pf::unpack<4>(outcome);
    if (!live_ && !lines.is_none()) {
        for (nb::handle line : lines) {
            auto [args, kwargs] = pf::unpack<2>(line);
            call(observer_.attr("say"), args, kwargs);
        }
        if (r_.verbose)
            observer_.attr("block")(lines);
    }
    if (where.is_none()) {
        auto [record, result] = pf::unpack<2>(value);
        keep(job, record);
        if (live_) {
            Sink live_sink{observer_, nb::object()};
            verdict_lines(live_sink, job[5], job[4], result);
        }
        return;
    }
    std::string_view kind = pf::utf8_view(where);
    if (kind == "timeout") {
        alert(observer_, pf::cat({"Stopped waiting for ", value, " judgement(s) in flight."}),
              [] { nb::dict d = style("red"); d["err"] = true; return d; }());
        done_ = true;
    } else if (kind == "fatal") {
        if (escaped_.is_none())
            escaped_ = nb::borrow(value);
        stop();
    } else {
        auto [error, answer] = pf::unpack<2>(value);
        failure(kind == "predict" ? "predict" : "evaluate", job, error, answer);
    }
}

// A record made: into the report's list (a concurrent run's at the end, in
// order), the journal, and the observer's hands.
void Run::keep(nb::handle job, nb::handle record) {
    if (live_) {
        records_.attr("append")(record);
        if (PySet_Add(ids_.ptr(), record.attr("id").ptr()) < 0)
            pf::throw_error();
    } else {
        made_.emplace_back(nb::cast<long>(job[0]), nb::borrow(record));
    }
    journal_->append(record);
    observer_.attr("recorded")(record);
}

// The record of a judgement that failed: no value nor reason, and the error's
// text on one line (its type's name when the text is blank).
nb::object Run::error_record(nb::handle job, nb::handle error, nb::handle answer) {
    nb::object case_ = job[1];
    nb::object text = nb::str(" ").attr("join")(error_text(error).attr("split")());
    if (nb::len(text) == 0)
        text = nb::handle((PyObject *)Py_TYPE(error.ptr())).attr("__name__");
    nb::object prediction = nb::none(), documents = nb::none();
    if (!answer.is_none()) {
        prediction = answer[0];
        documents = answer[1];
    }
    return pf::lookup_global(r_.globals, "EvalRecord")(
        "case_id"_a = case_.attr("id"), "question"_a = case_.attr("question"), "subject"_a = job[2],
        "prediction"_a = prediction, "expected"_a = case_.attr("reference_answer"), "documents"_a = documents,
        "evaluator"_a = job[4], "value"_a = nb::none(), "reason"_a = nb::none(), "error_msg"_a = text);
}

void Run::failure(const char *where, nb::handle job, nb::handle error, nb::handle answer) {
    nb::object case_id = nb::object(job[1]).attr("id");
    if (std::string_view(where) == "predict")
        alert(observer_, pf::cat({"> Error when predicting. Raise by ", job[2], " on ", case_id}), style("red"));
    else
        alert(observer_,
              pf::cat({">>> Error when evaluating. Raise by ", job[4], " on ", job[2], " with ", case_id}),
              style("red"));
    observer_.attr("failed")(error);
    if (r_.keep_going) {
        // the first failure is shown whole; the run goes on, and the judgement is an error
        if (!shown_ && first_error_.is_none()) {
            shown_ = true;
            alert(observer_, pf::cat({"\n***** Exception *****\n", error, "\n"}), style("red"));
        }
        keep(job, error_record(job, error, answer));
        return;
    }
    exception(error);
    if (!stopping_)
        stop();
}

// The first error of the run becomes its error message, and is shown.
void Run::exception(nb::handle error) {
    if (!first_error_.is_none())
        return;
    first_error_ = error_text(error);
    alert(observer_, pf::cat({"\n***** Exception *****\n", error, "\n"}), style("red"));
}

// Ctrl-C or SIGTERM: stop new work; a concurrent run waits for the
// judgements in flight, unless it is interrupted again.
void Run::interrupt(nb::handle sigterm) {
    if (!live_ && stopping_ && !interrupted_.is_none()) {
        nb::dict d = style("red");
        d["err"] = true;
        alert(observer_, nb::str("Stopped at once; the judgements in flight are lost."), d);
        done_ = true;
        return;
    }
    interrupted_ = nb::str(nb::len(sigterm) > 0 ? "SIGTERM" : "KeyboardInterrupt");
    alert(observer_, pf::cat({"\n***** ", interrupted_, " *****\n"}), style("red"));
    stop();
    if (live_ || pool_.is_none()) {
        done_ = true;
        return;
    }
    nb::object in_flight = pool_.attr("in_flight");
    if (pf::truthy(in_flight)) {
        nb::dict d = style("yellow");
        d["err"] = true;
        alert(observer_,
              pf::cat({"Waiting for ", in_flight, " judgement(s) in flight; Ctrl-C again to stop now."}), d);
    }
}

nb::object Run::error_msg() {
    if (!interrupted_.is_none() && first_error_.is_none())
        return interrupted_;
    if (!first_error_.is_none())
        return first_error_;
    if (!escaped_.is_none())
        return error_text(escaped_);
    return nb::str("");
}

// A concurrent run's records: in the order a sequential run makes them.
void Run::finish_records() {
    if (live_)
        return;
    std::sort(made_.begin(), made_.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    for (auto &[index, record] : made_)
        records_.attr("append")(record);
    std::vector<std::pair<long, nb::object>> ordered;
    for (nb::handle record : records_) {
        nb::object position = positions_.attr("get")(record.attr("id"), -1);
        ordered.emplace_back(nb::cast<long>(position), nb::borrow(record));
    }
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    nb::list sorted;
    for (auto &[position, record] : ordered)
        sorted.append(record);
    if (PySequence_SetSlice(records_.ptr(), 0, PY_SSIZE_T_MAX, sorted.ptr()) < 0)
        pf::throw_error();
}

nb::object Run::go() {
    evaluation_ = nb::borrow(r_.evaluation);
    nb::object own = evaluation_.attr("_records");
    records_ = pf::truthy(own) ? own : nb::object(nb::list());
    ids_ = pf::owned(PySet_New(nullptr));
    for (nb::handle record : records_)
        if (PySet_Add(ids_.ptr(), record.attr("id").ptr()) < 0)
            pf::throw_error();
    nb::object first_header = header();
    if (!r_.start_note.is_none()) {
        report(first_header, r_.start_note).attr("dump_json")(r_.json_path);
        observer_.attr("written")(r_.json_path);
    }
    Sink{observer_, nb::object()}.say(nb::str("\nEvaluation start"), style(nullptr, true));

    nb::object sigterm = nb::list();
    SigtermGuard sigterm_guard(r_.globals, sigterm);
    // An interrupt that comes while the journal opens ends the run like one
    // that comes later (the journal, if it was made, is kept).
    nb::object opened = nb::none();
    try {
        as_python([&] {
            nb::object open = nb::getattr(pf::lookup_global(r_.globals, "Report"), "open_journal", nb::none());
            if (!open.is_none())
                opened = pf::owned(PyObject_Call(open.ptr(), nb::make_tuple(r_.json_path).ptr(),
                                                 first_header.attr("_asdict")().ptr()));
        });
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_KeyboardInterrupt))
            throw;
        interrupt(sigterm);
        done_ = true;
    }
    JournalGuard journal(opened);
    journal_ = &journal;

    bool walked = false;
    while (!done_) {
        try {
            as_python([&] {
                if (!walked) {
                    walked = true;
                    plan();
                    if (!live_)
                        pool_ = nb::borrow(r_.executor)(r_.jobs);
                    observer_.attr("started")(total_);
                    walk();
                }
                if (!live_)
                    drain();
                done_ = true;
            });
        } catch (nb::python_error &e) {
            try {
                as_python([&] {
                    if (e.matches(PyExc_KeyboardInterrupt)) {
                        interrupt(sigterm);
                    } else if (e.matches(PyExc_Exception)) {
                        // not a subject's or an evaluator's failure: the run ends here
                        done_ = true;
                        exception(e.value());
                    } else { // e.g. SystemExit: the run is still cut short, and it goes on up
                        done_ = true;
                        escaped_ = nb::borrow(e.value());
                    }
                });
            } catch (nb::python_error &printing) {
                done_ = true;
                escaped_ = nb::borrow(printing.value());
            }
        }
    }
    if (!pool_.is_none() && !escaped_.is_none())
        in_destructor("stopping the executor", [&] { pool_.attr("stop")(); });

    nb::object msg = error_msg();
    finish_records();
    nb::object rep = report(header(), msg);
    if (!r_.usage.is_none()) {
        nb::object used = nb::borrow(r_.usage)();
        nb::setattr(rep, "requests", used.attr("requests"));
        nb::setattr(rep, "retries", used.attr("retries"));
        nb::setattr(rep, "tokens", used.attr("tokens"));
    }
    observer_.attr("finishing")(rep);
    rep.attr("dump_json")(r_.json_path);
    observer_.attr("written")(r_.json_path);
    if (PyUnicode_Check(r_.markdown_path.ptr()) && PyUnicode_GET_LENGTH(r_.markdown_path.ptr()) > 0 &&
        nb::len(msg) == 0)
        rep.attr("dump_md")(r_.markdown_path);
    journal.discard();
    if (!escaped_.is_none())
        pf::raise_object(escaped_);
    return rep;
}

} // namespace

const pyface::FuncDef work_def{
    .name = "work",
    .qualname = "run_evaluation.<locals>.work",
    .doc = "Make one judgement of a run: (where, job, value, lines).",
    .params = work_params,
    .body = work,
};

nb::object run_engine(const RunRequest &r) {
    Run run(r);
    return run.go();
}

} // namespace tavrin::evaluation_run
