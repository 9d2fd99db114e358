"""The QA evaluation commands of the ``tavrin`` command line: ``evaluate``, ``resume``,
``markdown`` and ``merge``.

``resume`` and ``markdown`` extend the commands of ``tavrin.evaluation.qa.commands``: the
same parameters, texts and behaviour, plus the options below and checks made before any
work starts (safe outputs, reports found from another folder, one-line errors, an exit
status of 1 when a run stops early). The module commands themselves are unchanged.

Options shared by ``evaluate`` and ``resume``:

- ``--jobs N``: up to N judgements in flight (``tavrin.evaluation.qa.concurrent``); 1 runs
  ``Evaluation.run`` as it is;
- ``--keep-going``: a judgement that fails is left out and the run goes on;
- ``--max-retries``, ``--request-timeout``, ``--rpm``: how model requests are made
  (``tavrin._llm``);
- ``--judge-model`` (or ``$TAVRIN_JUDGE_MODEL``), ``--no-cache``: the judges' model and
  answer cache;
- ``--subject-option KEY=VALUE``: constructor arguments of subjects that need them;
- ``--quiet``: no progress bar (it is drawn only when stderr is a terminal);
- ``--format text|json``: the score summary printed at the end;
- ``--fail-under [SUBJECT:]EVALUATOR=RATE``: a CI gate (``tavrin.evaluation.qa.gates``):
  exit status 3 when a completed run scores under it;
- ``--junit FILE``: the judgements and gates as JUnit XML.
"""

from __future__ import annotations

import contextlib
import hashlib
import importlib
import inspect
import json
import os
import shlex
import sys
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Tuple

import click

from tavrin import _llm
from tavrin._outputs import OutputPathError, atomic_write_text, check_output, same_file
from tavrin.errors import TavrinError
from tavrin.evaluation.qa.evaluable import base as evaluable_base
from tavrin.evaluation.qa.evaluator import base as evaluator_base
from tavrin.evaluation.qa.question_set import QuestionSet, QuestionSetError
from tavrin.evaluation.qa.registry import ClassSpecError, Registry
from tavrin.evaluation.qa.report import (
    EvalRecord, Report, ReportError, journal_path, on_journal_append, on_report_written, read_journal, report_date, report_name,
    run_fields, summarise,
)

JUDGE_MODULE = "tavrin.evaluation.qa.evaluator.llm_helper.conf"


class Fail(TavrinError, click.ClickException):
    """A one-line error: ``Error: <message>`` on stderr, exit status 1."""


def _fail_from(exc: BaseException) -> Fail:
    return Fail(str(exc) or type(exc).__name__)


# ---------------------------------------------------------------- subjects and evaluators


def _registry(kind: str) -> Registry:
    return evaluable_base.REGISTRY if kind == "subject" else evaluator_base.REGISTRY


def resolve_classes(values: Tuple[str, ...], kind: str) -> Tuple[List[type], Dict[str, str]]:
    """The classes named by ``values`` (names or module:Class) and where the module:Class ones came from."""
    registry = _registry(kind)
    classes, origins = [], {}
    for value in values:
        try:
            cls, origin = registry.resolve(value)
        except LookupError as exc:  # an unknown name, or a module:Class that names no such class
            raise Fail(str(exc)) from exc
        except ImportError as exc:
            raise Fail(f"{kind} {value!r} cannot be loaded: {exc}") from exc
        if origin is not None:
            origins[cls.name] = origin
        classes.append(cls)
    return classes, origins


def _import_recorded(classes: Optional[Dict[str, Dict[str, str]]]) -> None:
    """Import the module:Class subjects and evaluators a report names, so lookups find them."""
    for kind in ("subjects", "evaluators"):
        for name, dotted in ((classes or {}).get(kind) or {}).items():
            try:
                _registry(kind[:-1]).adopt(name, dotted)
            except ClassSpecError as exc:
                raise Fail(str(exc)) from exc


def _parse_options(values: Tuple[str, ...]) -> Dict[str, str]:
    options: Dict[str, str] = {}
    for value in values:
        key, sep, text = value.partition("=")
        if not sep or not key.strip():
            raise Fail(f"--subject-option {value!r}: write KEY=VALUE")
        options[key.strip()] = text
    return options


def _convert(value: str, parameter: inspect.Parameter, subject: str) -> Any:
    annotation = parameter.annotation
    text = annotation if isinstance(annotation, str) else getattr(annotation, "__name__", str(annotation))
    if "Embeddings" in text or parameter.name.endswith("embedding_cls"):
        from tavrin.ask_codebase.commands import resolve_embeddings

        try:
            return resolve_embeddings(value)
        except click.BadParameter as exc:
            raise Fail(f"{subject}: --subject-option {parameter.name}: {exc.message}") from exc
    try:
        if text == "int":
            return int(value)
        if text == "float":
            return float(value)
    except ValueError as exc:
        raise Fail(f"{subject}: --subject-option {parameter.name}={value!r} is not a {text}") from exc
    if text == "bool":
        return value.strip().lower() in ("1", "true", "yes", "on")
    return value


def bind_options(classes: List[type], options: Dict[str, str]) -> List[type]:
    """``classes`` with the constructor arguments in ``options`` bound to those that take them.

    A class whose constructor needs arguments that ``options`` lacks is refused with a
    message naming them. An option that no class takes is refused too.
    """
    used = set()
    out = []
    for cls in classes:
        try:
            signature = inspect.signature(cls.__init__)
        except (TypeError, ValueError):
            out.append(cls)
            continue
        parameters = list(signature.parameters.values())[1:]
        named = {p.name: p for p in parameters if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)}
        kwargs: Dict[str, Any] = {}
        for key, value in options.items():
            target = key if key in named else f"{key}_name" if f"{key}_name" in named else None
            if target is not None:
                kwargs[target] = _convert(value, named[target], cls.name)
                used.add(key)
        missing = [p.name for p in named.values() if p.default is p.empty and p.name not in kwargs]
        if missing:
            hint = " ".join(f"--subject-option {m}=VALUE" for m in missing)
            raise Fail(f"subject {cls.name} needs constructor argument(s) {', '.join(missing)}: pass {hint}")
        out.append(_bound(cls, kwargs) if kwargs else cls)
    unused = sorted(set(options) - used)
    if unused:
        raise Fail(f"--subject-option {unused[0]}: no subject takes this argument")
    return out


def _bound(cls: type, kwargs: Dict[str, Any]) -> type:
    def __init__(self: Any) -> None:
        cls.__init__(self, **kwargs)

    registry = evaluable_base._registry
    previous = registry.get(cls.name)
    bound = type(cls.__name__, (cls,), {"__init__": __init__, "name": cls.name, "__module__": cls.__module__,
                                        "__qualname__": cls.__qualname__, "__doc__": cls.__doc__})
    if previous is not None:  # the bound class stands in for this run only
        registry[cls.name] = previous
    return bound


# ---------------------------------------------------------------- shards


def parse_shard(value: Optional[str]) -> Optional[Tuple[int, int]]:
    if value is None:
        return None
    k, sep, n = value.partition("/")
    try:
        shard, count = int(k), int(n)
    except ValueError:
        shard = count = 0
    if not sep or count < 1 or not 1 <= shard <= count:
        raise Fail(f"--shard {value!r}: write K/N with 1 <= K <= N, e.g. 2/4")
    return shard, count


def in_shard(case_id: Any, shard: Tuple[int, int]) -> bool:
    """Whether the case belongs to shard K of N: a stable split by case id."""
    digest = hashlib.sha256(str(case_id).encode("utf-8")).digest()
    return int.from_bytes(digest[:8], "big") % shard[1] == shard[0] - 1


def _apply_shard(evaluation: Any, shard: Optional[Tuple[int, int]]) -> None:
    if shard is not None:
        test_set = evaluation._test_set
        evaluation._test_set = QuestionSet(name=test_set.name, cases=[c for c in test_set.cases if in_shard(c.id, shard)])


# ---------------------------------------------------------------- progress and summary


class Progress:
    """A progress bar over judgements on stderr: done/total, rate, ETA, retries, failures."""

    def __init__(self, quiet: bool) -> None:
        self.enabled = not quiet and sys.stderr.isatty() and not os.environ.get("TQDM_DISABLE")
        self.bar: Any = None
        self.failures = 0
        self._usage = _llm.usage()

    def start(self, total: int) -> None:
        if self.enabled:
            from tqdm import tqdm

            self.bar = tqdm(total=total, unit="judgement", file=sys.stderr, dynamic_ncols=True)

    def recorded(self, record: Any) -> None:
        if self.bar is not None:
            self.bar.update(1)
            self._postfix()

    def failed(self, error: BaseException) -> None:
        self.failures += 1
        if self.bar is not None:
            self._postfix()

    def _postfix(self) -> None:
        retries = (_llm.usage() - self._usage).retries
        self.bar.set_postfix(retries=retries, failed=self.failures, refresh=False)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None


def _summary_text(report: Report, cases: Optional[List[Any]]) -> str:
    entries = summarise(report, cases)
    subjects = list(dict.fromkeys(e["subject"] for e in entries))
    evaluators = list(dict.fromkeys(e["evaluator"] for e in entries))
    cell = {(e["subject"], e["evaluator"]): e for e in entries}

    def text(e: Dict[str, Any]) -> str:
        out = e["text"]
        if e.get("missing"):
            out += f", {e['missing']} failed or missing"
        return out

    rows = [["Subject", *evaluators]] + [[s, *(text(cell[(s, e)]) for e in evaluators)] for s in subjects]
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))] if rows and rows[0] else []
    lines = ["  ".join(value.ljust(widths[i]) for i, value in enumerate(row)).rstrip() for row in rows]
    if len(lines) > 1:
        lines.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(lines)


def print_summary(report: Report, output: str, fmt: str, cases: Optional[List[Any]]) -> None:
    if fmt == "json":
        click.echo(json.dumps({
            "report": output, "error_msg": report.error_msg, "judgements": len(report.records),
            "requests": report.requests, "retries": report.retries, "tokens": report.tokens,
            "summary": summarise(report, cases),
        }, ensure_ascii=False, indent=2))
        return
    if report.subjects and report.evaluators:
        click.echo(_summary_text(report, cases))
    usage = ", ".join(f"{getattr(report, k)} {k}" for k in ("requests", "retries", "tokens")
                      if getattr(report, k) is not None)
    click.echo(f"{len(report.records)} judgement(s)" + (f"; model service: {usage}" if usage else ""))


# ---------------------------------------------------------------- running


def _configure(max_retries: int, request_timeout: float, rpm: Optional[float], judge_model: Optional[str],
               no_cache: bool) -> None:
    _llm.configure(max_retries=max_retries, request_timeout=request_timeout, rpm=rpm)
    if JUDGE_MODULE in sys.modules:  # a judge is in use
        _llm.configure_judge(model=judge_model, cache=not no_cache)


def _run(evaluation: Any, output: str, verbose: bool, jobs: int, keep_going: bool, quiet: bool,
         fmt: str = "table") -> Report:
    """Run ``evaluation``, writing its report to ``output``; return the report as written.

    With ``fmt`` "json" standard output is kept for the JSON summary: what the run prints
    (verbose blocks, its failure lines) goes to standard error instead.
    """
    progress = Progress(quiet)
    written: List[str] = []
    try:
        with on_report_written(lambda path, text: written.append(text)), \
                contextlib.redirect_stdout(sys.stderr if fmt == "json" else sys.stdout):
            _run_with(evaluation, output, verbose, jobs, keep_going, progress)
        # the run's report as its file holds it (the run ended by writing it)
        return Report.from_json_text(written[-1], output) if written else Report.load_json(output)
    except (OSError, ReportError) as exc:
        # the run itself reports failures of subjects and evaluators: this is the report's
        _drop_empty_journal(output)
        raise Fail(f"cannot write the report {output}: {getattr(exc, 'strerror', None) or exc}") from exc
    finally:
        progress.close()


def _drop_empty_journal(output: str) -> None:
    """Remove the journal of a run whose report could not be written, if it holds no record."""
    journal = journal_path(output)
    try:
        if journal.exists() and not read_journal(journal)[1]:
            journal.unlink()
    except (OSError, ReportError):
        pass


def _run_with(evaluation: Any, output: str, verbose: bool, jobs: int, keep_going: bool, progress: Progress) -> None:
    from tavrin.evaluation.qa.concurrent import run_concurrently

    if jobs == 1 and not keep_going:  # the sequential run, exactly as Evaluation.run makes it
        progress.start(_remaining(evaluation))
        with on_journal_append(progress.recorded):
            evaluation.run(json_path=output, verbose=verbose)
    else:
        run_concurrently(evaluation, output, verbose=verbose, jobs=jobs, keep_going=keep_going, listener=progress)


def _remaining(evaluation: Any) -> int:
    done = {r.id for r in evaluation._records}
    return sum(
        EvalRecord.gen_eval_record_id(case_id=c.id, question=c.question, subject=s, evaluator=e) not in done
        for c in evaluation._test_set.cases for s in evaluation._subjects for e in evaluation._evaluators
    )


def _finish(report: Report, output: str, markdown_path: Optional[str], before: _llm.Usage, base: _llm.Usage,
            extras: Dict[str, Any], fmt: str, cases: List[Any]) -> None:
    """Record the run's usage and extras in its report, write the Markdown, say how it went."""
    total = base + (_llm.usage() - before)
    report.requests, report.retries, report.tokens = total.requests, total.retries, total.tokens
    for key, value in extras.items():
        setattr(report, key, value)
    report.dump_json(output)
    status = {"err": fmt == "json"}
    if report.error_msg:
        _quiet_teardown()
        print_summary(report, output, fmt, cases)
        click.secho(
            f"The evaluation stopped early: {report.error_msg}\n"
            f"The records made so far are in {output}; `tavrin resume {shlex.quote(output)}` continues the run.",
            fg="red", err=True,
        )
        raise click.exceptions.Exit(1)
    click.secho(f"Saved JSON report: {output}", fg="green", **status)
    if markdown_path:
        try:
            report.dump_md(markdown_path)
        except OSError as exc:
            raise Fail(f"the JSON report is complete, but the Markdown report {markdown_path} "
                       f"could not be written: {exc.strerror or exc}") from exc
        click.secho(f"Saved Markdown report: {markdown_path}", fg="green", **status)
    print_summary(report, output, fmt, cases)


def _quiet_teardown() -> None:
    """Keep the end of a stopped run to the lines that say so.

    A run stopped by an error or an interrupt leaves the judges' asyncio loops with
    requests, sessions and coroutines unfinished; when the process ends they are collected
    with "Unclosed client session", "Task was destroyed but it is pending!" and "Event
    loop is closed" messages that say nothing about the run. The process is about to exit,
    so those messages are dropped.
    """
    import logging

    logging.getLogger("asyncio").disabled = True
    sys.unraisablehook = lambda unraisable: None


def _report_usage(report: Report) -> _llm.Usage:
    return _llm.Usage(report.requests or 0, report.retries or 0, report.tokens or 0)


def _positive_jobs(ctx: click.Context, param: click.Parameter, value: int) -> int:
    if value < 1:
        raise Fail(f"--jobs must be at least 1, got {value}")
    return value


def _run_options(function: Callable[..., Any]) -> Callable[..., Any]:
    """The options ``evaluate`` and ``resume`` share (applied bottom up)."""
    options = [
        click.option("-j", "--jobs", type=int, default=1, show_default=True, callback=_positive_jobs,
                     help="Judgements in flight at once (1: one after another)."),
        click.option("--keep-going", is_flag=True,
                     help="Leave a judgement that fails unrecorded and go on; `tavrin resume` makes it later."),
        click.option("--max-retries", type=click.IntRange(min=0), default=6, show_default=True,
                     help="Retries of a model request that fails with 429, 5xx, a timeout or a dropped connection."),
        click.option("--request-timeout", type=click.FloatRange(min=0, min_open=True), default=120.0,
                     show_default=True, help="Seconds a model request may take."),
        click.option("--rpm", type=click.FloatRange(min=0, min_open=True), default=None,
                     help="Model requests per minute, shared by all jobs (default: no limit)."),
        click.option("--judge-model", default=None, metavar="MODEL",
                     help=f"The judges' model (default: ${_llm.JUDGE_MODEL_ENV} or {_llm.DEFAULT_JUDGE_MODEL})."),
        click.option("--no-cache", is_flag=True, help="Ask the judge model every time (no answer cache)."),
        click.option("--subject-option", "subject_options", multiple=True, metavar="KEY=VALUE",
                     help="A constructor argument for subjects that need one, e.g. source_name=myrepo (repeatable)."),
        click.option("-q", "--quiet", is_flag=True, help="No progress bar."),
        click.option("--format", "fmt", type=click.Choice(["text", "json"]), default="text", show_default=True,
                     help="How the score summary is printed."),
        click.option("--fail-under", "fail_under", multiple=True, metavar="[SUBJECT:]EVALUATOR=RATE",
                     help="Exit with status 3 when a subject scores under RATE for EVALUATOR, e.g. Correctness=0.8 "
                          "(repeatable; ratings: RATE x 10 is the mean asked for)."),
        click.option("--junit", "junit_path", type=click.Path(dir_okay=False),
                     help="Write a JUnit XML file: one test case per judgement and per gate."),
    ]
    for option in reversed(options):
        function = option(function)
    return function


def _known(kind: str) -> str:
    names = _registry(kind).known_names()
    return ", ".join(names)


def _check_outputs(output: str, markdown_path: Optional[str], inputs: List[str]) -> None:
    try:
        check_output(output, inputs=inputs, option="-o/--output")
        if markdown_path:
            check_output(markdown_path, inputs=[*inputs, output], option="--markdown")
            if os.path.realpath(markdown_path) == os.path.realpath(output):
                raise OutputPathError(f"--markdown {markdown_path!r} is the JSON report's own path")
    except OutputPathError as exc:
        raise _fail_from(exc) from exc


def _gates(texts: Tuple[str, ...], subjects: List[str], evaluators: List[str], where: str) -> List[Any]:
    """The ``--fail-under`` gates, checked against the run's subjects and evaluators."""
    from tavrin.evaluation.qa.gates import GateError, check_names, parse_gates

    try:
        gates = parse_gates(texts)
        check_names(gates, subjects, evaluators, where)
    except GateError as exc:
        raise Fail(str(exc)) from exc
    return gates


def _check_junit(junit_path: Optional[str], inputs: List[str], outputs: List[Optional[str]]) -> None:
    if not junit_path:
        return
    try:
        check_output(junit_path, inputs=inputs, option="--junit")
    except OutputPathError as exc:
        raise _fail_from(exc) from exc
    if any(path and os.path.realpath(path) == os.path.realpath(junit_path) for path in outputs):
        raise Fail(f"--junit {junit_path!r} is the path of another output of the run")


def _conclude(finish: Callable[[], None], report: Report, output: str, gates: List[Any],
              junit_path: Optional[str]) -> None:
    """Run ``finish`` (save the report, print the summary), then write the JUnit file and
    check the gates: exit status 3 when one fails. A run that stopped early keeps its exit
    status 1, and its JUnit file holds an error case."""
    from tavrin.evaluation.qa.gates import GATE_FAILED, check_gates, gate_cases, junit_xml, report_cases

    def write_junit(results: List[Any]) -> None:
        if junit_path:
            suites = report_cases(report, output) + ([("tavrin gates", gate_cases(results))] if results else [])
            try:
                atomic_write_text(junit_path, junit_xml(suites))
            except OSError as exc:
                raise Fail(f"cannot write the JUnit file {junit_path}: {exc.strerror or exc}") from exc

    try:
        finish()
    except click.exceptions.Exit:
        if report.error_msg:
            write_junit([])
        raise
    results = check_gates(gates, report, output)
    write_junit(results)
    for result in results:
        if result.passed:
            click.echo(f"Gate passed: {result.message}", err=True)
        else:
            click.secho(f"Gate failed: {result.message}", fg="red", err=True)
    if not all(result.passed for result in results):
        raise click.exceptions.Exit(GATE_FAILED)


# ---------------------------------------------------------------- evaluate


class _EvaluateCommand(click.Command):
    """``evaluate`` lists the known subjects and evaluators at the end of its help."""

    def format_epilog(self, ctx: click.Context, formatter: click.HelpFormatter) -> None:
        formatter.write_paragraph()
        formatter.write_text(f"Known subjects: {_known('subject')}.")
        formatter.write_paragraph()
        formatter.write_text(f"Known evaluators: {_known('evaluator')}.")
        formatter.write_paragraph()
        formatter.write_text("Subjects and evaluators of installed packages are found through the entry-point "
                             f"groups {evaluable_base.ENTRY_POINT_GROUP} and {evaluator_base.ENTRY_POINT_GROUP}.")


@click.command(cls=_EvaluateCommand)
@click.argument("test_set", type=click.Path(exists=True, dir_okay=False))
@click.option("-s", "--subject", "subjects", multiple=True, required=True,
              help="A subject to evaluate: a known name, or package.module:ClassName (repeatable).")
@click.option("-e", "--evaluator", "evaluators", multiple=True, required=True,
              help="An evaluator that judges every answer: a known name, or package.module:ClassName (repeatable).")
@click.option("-o", "--output", required=True, type=click.Path(dir_okay=False), help="Where to write the JSON report.")
@click.option("--markdown", "markdown_path", type=click.Path(dir_okay=False),
              help="Also write the report as Markdown here when the run completes.")
@click.option("--shard", default=None, metavar="K/N", help="Run only shard K of N of the cases (split by case id).")
@click.option("--force", is_flag=True, help="Replace an existing report at --output.")
@click.option("-v", "--verbose", is_flag=True, help="Print every question, answer and judgement.")
@_run_options
def evaluate(test_set: str, subjects: Tuple[str, ...], evaluators: Tuple[str, ...], output: str,
             markdown_path: Optional[str], shard: Optional[str], force: bool, verbose: bool, jobs: int,
             keep_going: bool, max_retries: int, request_timeout: float, rpm: Optional[float],
             judge_model: Optional[str], no_cache: bool, subject_options: Tuple[str, ...], quiet: bool,
             fmt: str, fail_under: Tuple[str, ...], junit_path: Optional[str]) -> None:
    """Evaluate subjects on the question set in TEST_SET and save the report."""
    from tavrin.evaluation.qa.evaluation import Evaluation

    part = parse_shard(shard)
    subject_classes, subject_origins = resolve_classes(subjects, "subject")
    evaluator_classes, evaluator_origins = resolve_classes(evaluators, "evaluator")
    subject_classes = bind_options(subject_classes, _parse_options(subject_options))
    gates = _gates(fail_under, [c.name for c in subject_classes], [c.name for c in evaluator_classes], "the run")
    _check_outputs(output, markdown_path, [test_set])
    _check_junit(junit_path, [test_set], [output, markdown_path])
    journal = journal_path(output)
    if journal.exists() and not force:
        raise Fail(f"{journal} holds the judgements of a run that was killed; `tavrin resume {shlex.quote(output)}` "
                   f"continues it (or --force starts afresh)")
    if os.path.exists(output) and not force:
        raise Fail(f"{output} already exists; `tavrin resume {shlex.quote(output)}` continues that run, "
                   f"--force replaces it")
    try:
        evaluation = Evaluation(str(test_set), list(subject_classes), list(evaluator_classes))
    except (QuestionSetError, OSError) as exc:
        raise _fail_from(exc) from exc
    _apply_shard(evaluation, part)
    _configure(max_retries, request_timeout, rpm, judge_model, no_cache)
    extras: Dict[str, Any] = {"shard": shard}
    if subject_origins or evaluator_origins:
        extras["classes"] = {"subjects": subject_origins, "evaluators": evaluator_origins}
    try:
        if force and journal.exists():
            journal.unlink()
        placeholder = _placeholder_report(evaluation, str(test_set), output)
        for key, value in extras.items():
            setattr(placeholder, key, value)
        placeholder.dump_json(output)
    except (OSError, ReportError) as exc:
        raise Fail(f"cannot write {output}: {getattr(exc, 'strerror', None) or exc}") from exc
    before = _llm.usage()
    report = _run(evaluation, output, verbose, jobs, keep_going, quiet, fmt)
    _conclude(lambda: _finish(report, output, markdown_path, before, _llm.Usage(), extras, fmt,
                              evaluation._test_set.cases), report, output, gates, junit_path)


def _placeholder_report(evaluation: Any, test_set: str, output: str) -> Report:
    """The report that stands at OUTPUT while the run works, so a run that is killed
    outright can still be resumed by name (its records come back from the journal)."""
    fields = run_fields(evaluation, output)
    fields["test_set_path"] = test_set
    return Report(**fields, records=[], error_msg="The run did not finish: `tavrin resume` continues it")


# ---------------------------------------------------------------- resume


def _module_command(module: str, name: str) -> click.Command:
    return getattr(importlib.import_module(module), name)


def load_report(path: str) -> Report:
    """``Report.load_json`` with every failure as a one-line error."""
    try:
        return Report.load_json(path)
    except IsADirectoryError as exc:
        raise Fail(f"{path} is a directory, not a JSON report") from exc
    except (ReportError, OSError) as exc:
        raise _fail_from(exc) from exc


def find_test_set(report: Report, report_path: str) -> str:
    """The report's question set: its path as stored, else relative to the report's folder."""
    stored = report.test_set_path
    if os.path.exists(stored) or os.path.isabs(stored):
        return stored
    beside = os.path.join(os.path.dirname(os.path.abspath(report_path)), stored)
    if os.path.exists(beside):
        return beside
    raise Fail(f"the question set of {report_path} is missing: neither {stored} (from the current folder) "
               f"nor {beside} (from the report's folder) exists")


class _Extends(click.Command):
    """A command with the parameters of a module's command first, then its own.

    The module is imported when the parameters are first needed (help or use), so a
    module that fails to import takes only its own command down.
    """

    module = ""

    @property
    def params(self) -> List[click.Parameter]:  # type: ignore[override]
        if self._all is None:
            self._all = [*_module_command(self.module, self.name or "").params, *self._own]
        return self._all

    @params.setter
    def params(self, value: List[click.Parameter]) -> None:
        self._own = list(value)
        self._all: Optional[List[click.Parameter]] = None


class _ExtendsResume(_Extends):
    module = "tavrin.evaluation.qa.commands.resume"


class _ExtendsMarkdown(_Extends):
    module = "tavrin.evaluation.qa.commands.markdown"


@click.command(cls=_ExtendsResume, help="Resume an evaluation from the json report in JSON_PATH.")
@_run_options
def resume(json_path: str, output: Optional[str], verbose: bool, jobs: int, keep_going: bool, max_retries: int,
           request_timeout: float, rpm: Optional[float], judge_model: Optional[str], no_cache: bool,
           subject_options: Tuple[str, ...], quiet: bool, fmt: str, fail_under: Tuple[str, ...],
           junit_path: Optional[str]) -> None:
    from tavrin.evaluation.qa.evaluation import Evaluation

    out = output or json_path
    report = load_report(json_path)
    gates = _gates(fail_under, report.subjects, report.evaluators, json_path)
    test_set = find_test_set(report, json_path)
    try:
        check_output(out, inputs=[test_set] if not same_file(test_set, json_path) else [], option="-o/--output")
    except OutputPathError as exc:
        raise _fail_from(exc) from exc
    _check_junit(junit_path, [test_set, json_path], [out])
    if output and not same_file(output, json_path) and journal_path(output).exists():
        raise Fail(f"{journal_path(output)} holds the judgements of another run; resume {shlex.quote(output)} instead")
    _import_recorded(report.classes)
    try:
        subjects = [evaluable_base.get_evaluable_from_name(s) for s in report.subjects]
        evaluators = [evaluator_base.get_evaluator_from_name(e) for e in report.evaluators]
    except LookupError as exc:
        raise Fail(f"{json_path}: {exc}") from exc
    subjects = bind_options(subjects, _parse_options(subject_options))
    try:
        evaluation = Evaluation(test_set, subjects, evaluators, report.records)
    except (QuestionSetError, OSError) as exc:
        raise _fail_from(exc) from exc
    evaluation._test_set_path = report.test_set_path  # the report keeps the path as it was stored
    part = parse_shard(report.shard)
    _apply_shard(evaluation, part)
    _configure(max_retries, request_timeout, rpm, judge_model, no_cache)
    before = _llm.usage()
    finished = _run(evaluation, out, verbose, jobs, keep_going, quiet, fmt)
    extras = {"shard": report.shard, "classes": report.classes}
    _conclude(lambda: _finish(finished, out, None, before, _report_usage(report), extras, fmt,
                              evaluation._test_set.cases), finished, out, gates, junit_path)


# ---------------------------------------------------------------- markdown


@click.command(cls=_ExtendsMarkdown, help="Generate a markdown report from the json report in JSON_PATH.")
def markdown(json_path: str, output: Optional[str]) -> None:
    command = _module_command("tavrin.evaluation.qa.commands.markdown", "markdown")
    load_report(json_path)
    if output == "-":
        output = None  # standard output: the module command prints the Markdown there anyway
    if output:
        try:
            check_output(output, inputs=[json_path], option="-o/--output")
        except OutputPathError as exc:
            raise _fail_from(exc) from exc
    command.callback(json_path=json_path, output=None)
    if output:
        try:
            atomic_write_text(output, Report.load_json(json_path).to_markdown())
        except OSError as exc:
            raise Fail(f"cannot write {output}: {exc.strerror or exc}") from exc
        click.secho(f"Saved markdown file: {output}", fg="green")


# ---------------------------------------------------------------- merge


@click.command()
@click.argument("reports", nargs=-1, required=True, type=click.Path(exists=True))
@click.option("-o", "--output", required=True, type=click.Path(dir_okay=False), help="Where to write the joined report.")
@click.option("--force", is_flag=True, help="Replace an existing report at --output.")
def merge(reports: Tuple[str, ...], output: str, force: bool) -> None:
    """Join the reports of shards of one evaluation (same question set, subjects and evaluators)."""
    try:
        check_output(output, inputs=list(reports), option="-o/--output")
    except OutputPathError as exc:
        raise _fail_from(exc) from exc
    if os.path.exists(output) and not force:
        raise Fail(f"{output} already exists; --force replaces it")
    loaded = [(path, load_report(path)) for path in reports]
    joined = merge_reports(loaded, output)
    try:
        joined.dump_json(output)
    except OSError as exc:
        raise Fail(f"cannot write {output}: {exc.strerror or exc}") from exc
    click.secho(f"Saved JSON report: {output} ({len(joined.records)} judgement(s) from {len(reports)} report(s))",
                fg="green")


def merge_reports(loaded: List[Tuple[str, Report]], output: str) -> Report:
    """One report holding the records of all of ``loaded``; refuses reports of different runs."""
    first_path, first = loaded[0]
    for path, report in loaded[1:]:
        for key, what in (("description", "question set"), ("subjects", "subjects"), ("evaluators", "evaluators")):
            if getattr(report, key) != getattr(first, key):
                raise Fail(f"{path} and {first_path} have different {what} "
                           f"({getattr(report, key)!r} and {getattr(first, key)!r}); they are not shards of one run")
        if Path(report.test_set_path).name != Path(first.test_set_path).name:
            raise Fail(f"{path} and {first_path} use different question sets "
                       f"({report.test_set_path} and {first.test_set_path})")
    records: Dict[str, Tuple[str, EvalRecord]] = {}
    for path, report in loaded:
        for record in report.records:
            seen = records.get(record.id)
            if seen is None:
                records[record.id] = (path, record)
            elif seen[1] != record:
                raise Fail(f"case {record.case_id}: {record.subject} by {record.evaluator} is recorded in {seen[0]} "
                           f"and in {path} with different values")
    ordered = [record for _, record in records.values()]
    try:
        cases = QuestionSet.load_json(find_test_set(first, first_path)).cases
        position = {str(c.id): i for i, c in enumerate(cases)}
        subjects = {s: i for i, s in enumerate(first.subjects)}
        evaluators = {e: i for i, e in enumerate(first.evaluators)}
        ordered.sort(key=lambda r: (position.get(str(r.case_id), len(position)), subjects.get(r.subject, 0),
                                    evaluators.get(r.evaluator, 0)))
    except (Fail, QuestionSetError, OSError):
        pass  # the question set is not at hand: the reports' order
    errors = [f"{path}: {r.error_msg}" for path, r in loaded if r.error_msg]

    def total(key: str) -> Optional[int]:
        values = [getattr(r, key) for _, r in loaded]
        return sum(values) if all(v is not None for v in values) else None

    classes: Dict[str, Dict[str, str]] = {}
    for _, report in loaded:
        for kind, table in (report.classes or {}).items():
            classes.setdefault(kind, {}).update(table)
    return Report(
        name=report_name(output), date=report_date(),
        test_set_path=first.test_set_path, subjects=list(first.subjects), evaluators=list(first.evaluators),
        records=ordered, description=first.description, error_msg="; ".join(errors),
        requests=total("requests"), retries=total("retries"), tokens=total("tokens"), classes=classes or None,
    )
