"""Running an evaluation from the command line: request settings, the run, saving its
report, the gates and the JUnit file, and the options ``evaluate`` and ``resume`` share."""

from __future__ import annotations

import contextlib
import shlex
import sys
from typing import Any, Callable, Dict, List, Optional, Tuple

import click

from tavrin import _llm
from tavrin._outputs import atomic_write_text
from tavrin.commands._qa import costs
from tavrin.commands._qa.common import Fail
from tavrin.commands._qa.summary import error_count, print_summary
from tavrin.evaluation.qa import run as qa_run
from tavrin.evaluation.qa.report import (
    Report,
    ReportError,
    journal_path,
    read_journal,
)

JUDGE_MODULE = "tavrin.evaluation.qa.evaluator.llm_helper.conf"


def _configure(
    max_retries: int, request_timeout: float, rpm: Optional[float], judge_model: Tuple[str, ...], no_cache: bool
) -> None:
    _llm.configure(max_retries=max_retries, request_timeout=request_timeout, rpm=rpm)
    if JUDGE_MODULE in sys.modules:  # a judge is in use
        from tavrin.evaluation.qa.evaluator.judge_model import configure_judge

        # a jury's first model; the jury itself is made by _qa.juries
        configure_judge(model=judge_model[0] if judge_model else None, cache=not no_cache)


def _run(
    evaluation: Any,
    output: str,
    request: Dict[str, Any],
    *,
    verbose: bool,
    jobs: int,
    keep_going: bool,
    quiet: bool,
    fmt: str = "text",
) -> Report:
    """Run ``evaluation``, writing its report to ``output``; return the report as written.

    ``request`` holds the engine's ``extras``, ``usage`` and ``start_note`` (and perhaps
    ``finishing``, called with the report before it is written). With ``fmt``
    "json" standard output is kept for the JSON summary: what the run prints (verbose
    lines, its failure lines) goes to standard error instead.
    """
    request = dict(request)
    progress = costs.progress(quiet, verbose, finishing=request.pop("finishing", None))
    try:
        with contextlib.redirect_stdout(sys.stderr if fmt == "json" else sys.stdout):
            return qa_run.run(
                evaluation, output, verbose=verbose, jobs=jobs, keep_going=keep_going, observer=progress, **request
            )
    except (OSError, ReportError) as exc:
        # the run itself reports failures of subjects and evaluators: this is the report's
        reason = getattr(exc, "strerror", None) or exc
        if request.get("start_note") is not None and not progress.writes:
            raise Fail(f"cannot write {output}: {reason}") from exc
        _drop_empty_journal(output)
        raise Fail(f"cannot write the report {output}: {reason}") from exc
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


def _finish(report: Report, output: str, markdown_path: Optional[str], fmt: str, cases: List[Any]) -> None:
    """Write the Markdown of a completed run and say how the run went."""
    status: Dict[str, Any] = {"err": fmt == "json"}
    if report.error_msg:
        _quiet_teardown()
        print_summary(report, output, fmt, cases)
        click.secho(
            f"The evaluation stopped early: {report.error_msg}\n"
            f"The records made so far are in {output}; `tavrin resume {shlex.quote(output)}` continues the run.",
            fg="red",
            err=True,
        )
        raise click.exceptions.Exit(1)
    click.secho(f"Saved JSON report: {output}", fg="green", **status)
    if markdown_path:
        try:
            report.dump_md(markdown_path)
        except OSError as exc:
            raise Fail(
                f"the JSON report is complete, but the Markdown report {markdown_path} "
                f"could not be written: {exc.strerror or exc}"
            ) from exc
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
        click.option(
            "-j",
            "--jobs",
            type=int,
            default=1,
            show_default=True,
            callback=_positive_jobs,
            help="Judgements in flight at once (1: one after another).",
        ),
        click.option(
            "--keep-going",
            is_flag=True,
            help="Record a judgement that fails as an error and go on; `tavrin resume --retry-errors` "
            "makes it again later.",
        ),
        click.option(
            "--max-retries",
            type=click.IntRange(min=0),
            default=6,
            show_default=True,
            help="Retries of a model request that fails with 429, 5xx, a timeout or a dropped connection.",
        ),
        click.option(
            "--request-timeout",
            type=click.FloatRange(min=0, min_open=True),
            default=120.0,
            show_default=True,
            help="Seconds a model request may take.",
        ),
        click.option(
            "--rpm",
            type=click.FloatRange(min=0, min_open=True),
            default=None,
            help="Model requests per minute, shared by all jobs (default: no limit).",
        ),
        click.option(
            "--judge-model",
            multiple=True,
            metavar="MODEL",
            help=f"The judges' model (default: ${_llm.JUDGE_MODEL_ENV} or {_llm.DEFAULT_JUDGE_MODEL}); "
            "repeated, a jury: every judgement is made by each model and decided by majority.",
        ),
        click.option("--no-cache", is_flag=True, help="Ask the judge model every time (no answer cache)."),
        click.option(
            "--subject-option",
            "subject_options",
            multiple=True,
            metavar="KEY=VALUE",
            help="A constructor argument for subjects that need one, e.g. source_name=myrepo (repeatable).",
        ),
        click.option("-q", "--quiet", is_flag=True, help="No progress bar."),
        click.option(
            "--format",
            "fmt",
            type=click.Choice(["text", "json"]),
            default="text",
            show_default=True,
            help="How the score summary is printed.",
        ),
        click.option(
            "--fail-under",
            "fail_under",
            multiple=True,
            metavar="[SUBJECT:]EVALUATOR=RATE",
            help="Exit with status 3 when a subject scores under RATE for EVALUATOR, e.g. Correctness=0.8 "
            "(repeatable; ratings: RATE x 10 is the mean asked for).",
        ),
        click.option(
            "--fail-on-error",
            "fail_on_error",
            default=None,
            metavar="N|P%",
            help="Exit with status 3 when more than N judgements, or more than P% of them, ended in an "
            "error (without it, any error makes the exit status 1).",
        ),
        click.option(
            "--junit",
            "junit_path",
            type=click.Path(dir_okay=False),
            help="Write a JUnit XML file: one test case per judgement and per gate.",
        ),
    ]
    function = costs.cost_options(function)  # listed after the options above
    for option in reversed(options):
        function = option(function)
    return function


def _gates(texts: Tuple[str, ...], subjects: List[str], evaluators: List[str], where: str) -> List[Any]:
    """The ``--fail-under`` gates, checked against the run's subjects and evaluators."""
    from tavrin.evaluation.qa.gates import check_names, parse_gates

    gates = parse_gates(texts)
    check_names(gates, subjects, evaluators, where)
    return gates


def _error_limit(text: Optional[str]) -> Optional[Any]:
    """The ``--fail-on-error`` limit, or None when the option was not given."""
    from tavrin.evaluation.qa.gates import parse_error_limit

    return parse_error_limit(text) if text is not None else None


def _run_and_conclude(
    evaluation: Any,
    output: str,
    markdown_path: Optional[str],
    base: _llm.Usage,
    extras: Dict[str, Any],
    gates: List[Any],
    junit_path: Optional[str],
    *,
    verbose: bool,
    jobs: int,
    keep_going: bool,
    quiet: bool,
    fmt: str,
    start_note: Optional[str] = None,
    error_limit: Optional[Any] = None,
    finishing: Optional[Callable[[Report], None]] = None,
) -> None:
    """Run ``evaluation`` to ``output``, its report holding the run's usage (added to ``base``,
    a resumed run's earlier usage) and ``extras``; then conclude as ``_conclude`` does.
    ``finishing(report)`` may set the records in order before the report is written."""
    before = _llm.usage()
    request = {"extras": extras, "usage": lambda: base + (_llm.usage() - before), "start_note": start_note}
    if finishing is not None:
        request["finishing"] = finishing
    costs.begin(extras)
    try:
        report = _run(
            evaluation, output, request, verbose=verbose, jobs=jobs, keep_going=keep_going, quiet=quiet, fmt=fmt
        )
    finally:
        costs.end()
    cases = evaluation.cases
    _conclude(
        lambda: _finish(report, output, markdown_path, fmt, cases), report, output, gates, junit_path, error_limit
    )


def _conclude(
    finish: Callable[[], None],
    report: Report,
    output: str,
    gates: List[Any],
    junit_path: Optional[str],
    error_limit: Optional[Any] = None,
) -> None:
    """Run ``finish`` (save the report, print the summary), then write the JUnit file and
    check the gates: exit status 3 when one fails. A run that stopped early keeps its exit
    status 1, and its JUnit file holds an error case. Judgements that ended in an error
    make the exit status 1 too, unless ``error_limit`` (``--fail-on-error``) judges them:
    then 3 when there are more than it allows."""
    from tavrin.evaluation.qa.gates import (
        GATE_FAILED,
        check_gates,
        gate_cases,
        junit_xml,
        report_cases,
    )

    errors = error_count(report)
    error_gate = _error_gate(error_limit, report, output)

    def write_junit(results: List[Any]) -> None:
        if junit_path:
            cases = gate_cases(results) + ([error_gate[2]] if error_gate is not None else [])
            suites = report_cases(report, output) + ([("tavrin gates", cases)] if cases else [])
            try:
                atomic_write_text(junit_path, junit_xml(suites))
            except OSError as exc:
                raise Fail(f"cannot write the JUnit file {junit_path}: {exc.strerror or exc}") from exc

    try:
        finish()
    except click.exceptions.Exit:
        if report.error_msg:
            error_gate = None  # a run that stopped early is not gated
            write_junit([])
        raise
    results = check_gates(gates, report, output)
    write_junit(results)
    for result in results:
        if result.passed:
            click.echo(f"Gate passed: {result.message}", err=True)
        else:
            click.secho(f"Gate failed: {result.message}", fg="red", err=True)
    if error_gate is not None:
        if error_gate[0]:
            click.echo(f"Gate passed: {error_gate[1]}", err=True)
        else:
            click.secho(f"Gate failed: {error_gate[1]}", fg="red", err=True)
    elif errors:
        click.secho(
            f"{errors} judgement(s) ended in an error; `tavrin resume {shlex.quote(output)} --retry-errors` "
            "makes them again (--fail-on-error sets how many are acceptable).",
            fg="red",
            err=True,
        )
        raise click.exceptions.Exit(1)
    if not all(result.passed for result in results) or (error_gate is not None and not error_gate[0]):
        raise click.exceptions.Exit(GATE_FAILED)


def _error_gate(error_limit: Optional[Any], report: Report, output: str) -> Optional[Tuple[bool, str, Any]]:
    """How ``report`` fares against ``--fail-on-error``: (passed, message, JUnit case), or None."""
    if error_limit is None:
        return None
    from tavrin.evaluation.qa.gates import check_errors, error_gate_case

    passed, message = check_errors(error_limit, report, output)
    return passed, message, error_gate_case(error_limit, output, passed, message)


#: The error message of the report that stands at the output while a run works, so that a
#: run killed outright can still be resumed by name (its records come back from the journal).
START_NOTE = "The run did not finish: `tavrin resume` continues it"
