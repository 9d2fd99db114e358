"""Running an ``Evaluation`` with several judgements in flight at once.

``Evaluation.run`` makes one judgement at a time. ``run_concurrently(evaluation, json_path,
jobs=N)`` makes the same judgements, with up to ``N`` of them in flight on worker threads,
and writes the same report:

- each case's subject is still asked once, lazily, by the first of its evaluators that
  needs the answer (again for the next evaluator when the answer was None);
- the report's records come in the order a sequential run of the set gives them, whatever
  the order the judgements finished in; the journal beside the report takes each record as
  it is made, so a run killed outright loses at most the judgements in flight;
- the first failure stops new work; the judgements in flight may finish (for at most
  ``drain_timeout`` seconds) and are recorded; the first error becomes the report's
  ``error_msg``. Ctrl-C and SIGTERM do the same; a second Ctrl-C stops at once;
- with ``keep_going`` a failed judgement is left unrecorded and the run goes on; its
  ``error_msg`` then says how many failed and what the first error was, so that a resumed
  run makes exactly those;
- all console output is printed by the calling thread: each judgement's verbose block is
  printed whole, never interleaved with another's.

Threads suit the work: judgements wait on the network. guidance runs each program call in
an event loop of its own, on the thread that calls it, and the openai library opens one
HTTP session per request there, so judges can run on several threads at once; the shared
judge model is only read (its throttle is lifted by ``configure_judge``). One
thing is not safe: guidance parses templates and chat prompts with pyparsing, whose
packrat cache is one per process and is cleared at the start of every parse, so two parses
at once corrupt each other ("Expected end of text"). Parsing is therefore serialised
(``tavrin._integrations.pyparsing_lock``), and the tree of each judge template, which guidance would parse
again on every call, is parsed once and reused (guidance only reads it). A subject or
evaluator of your own must likewise allow calls from several threads.
"""

from __future__ import annotations

import queue
import signal
import threading
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Tuple

import click

from tavrin._integrations.pyparsing_lock import serialise_parsing
from tavrin.evaluation.qa.report import EvalRecord, Report, watching
from tavrin.evaluation.qa.run.observer import RunObserver, _Watcher
from tavrin.evaluation.qa.run.plan import Judgement, plan, run_fields

__all__ = ["run_concurrently", "serialise_parsing", "DEFAULT_DRAIN_TIMEOUT"]

#: How long the judgements in flight may go on after a failure or Ctrl-C (seconds).
DEFAULT_DRAIN_TIMEOUT = 60.0


@dataclass
class _Slot:
    """One case's answer from one subject, asked for once."""

    lock: threading.Lock = field(default_factory=threading.Lock)
    answer: Optional[Tuple[Any, Any]] = None


class _Failure(Exception):
    def __init__(self, job: Judgement, where: str, error: BaseException, lines: List[Tuple[tuple, dict]]) -> None:
        super().__init__(str(error))
        self.job, self.where, self.error, self.lines = job, where, error, lines


def _check_answer(result: Any) -> Tuple[Any, Any]:
    try:
        answer, documents = result
    except TypeError:
        raise TypeError(f"cannot unpack non-iterable {type(result).__name__} object") from None
    if answer is not None and type(answer) is not str:
        raise TypeError(f"Expected unicode, got {type(answer).__name__}")
    if documents is not None and type(documents) is not list:
        raise TypeError(f"Expected list, got {type(documents).__name__}")
    return answer, documents


def _work(job: Judgement, slot: _Slot) -> Tuple[EvalRecord, List[Tuple[tuple, dict]]]:
    lines: List[Tuple[tuple, dict]] = []

    def say(*args: Any, **kwargs: Any) -> None:
        lines.append((args, kwargs))

    case = job.case
    say(f"\n>>>>>>>>> question {case.id}: {case.question}", bold=True, fg="yellow")
    say(f"# Ref:\n{case.reference_answer}")
    with slot.lock:
        answer = slot.answer
        if answer is None:
            try:
                answer = _check_answer(job.subject.predict(case.question))
            except Exception as exc:
                raise _Failure(job, "predict", exc, lines) from exc
            if answer[0] is not None:
                slot.answer = answer
    prediction, documents = answer
    try:
        say(f"\n===> {job.s_name} Ans:", fg="blue")
        say(prediction)
        if documents:
            say("\nReferences:")
            for doc in documents:
                say(f"  - [{doc['label']}] {doc['url']}")
    except Exception as exc:
        raise _Failure(job, "predict", exc, lines) from exc
    try:
        result = job.evaluator.evaluate(prediction, case)
    except Exception as exc:
        raise _Failure(job, "evaluate", exc, lines) from exc
    record = EvalRecord(
        case_id=case.id,
        question=case.question,
        subject=job.s_name,
        prediction=prediction,
        expected=case.reference_answer,
        documents=documents,
        evaluator=job.e_name,
        value=result.value,
        reason=result.reason,
    )
    say(f"\n--- {job.evaluator.description}", fg="cyan")
    say(f"{job.e_name}: {result.value}", fg="green")
    say(f"reason: {result.reason}")
    return record, lines


def _error_text(error: BaseException) -> str:
    return str(error) or type(error).__name__


class _Pool:
    """``jobs`` daemon threads taking jobs in order until told to stop."""

    def __init__(self, jobs: int, work: List[Judgement], slots: Dict[Tuple[int, Any], _Slot]) -> None:
        self._work = work
        self._slots = slots
        self._next = 0
        self._lock = threading.Lock()
        self.stopping = threading.Event()
        self.done: "queue.Queue[Tuple[str, Any]]" = queue.Queue()
        self.in_flight = 0
        self.started = 0
        self._threads = [
            threading.Thread(target=self._loop, name=f"tavrin-judge-{i}", daemon=True)
            for i in range(min(jobs, len(work)))
        ]

    def launch(self) -> None:
        """Start the threads not yet started (an interrupt may cut this short; call again)."""
        while self.started < len(self._threads) and not self.stopping.is_set():
            thread = self._threads[self.started]
            self.started += 1
            thread.start()

    @property
    def launched(self) -> bool:
        return self.started == len(self._threads) or self.stopping.is_set()

    def _take(self) -> Optional[Judgement]:
        with self._lock:
            if self.stopping.is_set() or self._next >= len(self._work):
                return None
            job = self._work[self._next]
            self._next += 1
            self.in_flight += 1
            return job

    def _loop(self) -> None:
        while True:
            job = self._take()
            if job is None:
                self.done.put(("exit", None))
                return
            try:
                outcome: Tuple[str, Any] = ("ok", (job, _work(job, self._slots[(job.case_index, job.s_name)])))
            except _Failure as failure:
                outcome = ("failed", failure)
            except BaseException as exc:  # not a subject's or evaluator's failure: stop
                outcome = ("fatal", (job, exc))
            with self._lock:
                self.in_flight -= 1
            self.done.put(outcome)


def run_concurrently(
    evaluation: Any,
    json_path: str,
    markdown_path: Optional[str] = None,
    verbose: bool = False,
    *,
    jobs: int,
    keep_going: bool = False,
    drain_timeout: float = DEFAULT_DRAIN_TIMEOUT,
    observer: Optional[RunObserver] = None,
) -> Report:
    """Run ``evaluation`` with up to ``jobs`` judgements in flight; write and return its report.

    Writes the JSON report to ``json_path`` (and the Markdown to ``markdown_path`` after a run
    without error) exactly like ``Evaluation.run``; see the module's text for the rest.
    """
    if isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1:
        raise ValueError(f"jobs must be a positive integer, got {jobs!r}")
    observer = observer or RunObserver()
    serialise_parsing()
    v_print = _printer(verbose)
    v_print("\nEvaluation start", bold=True)

    todo = plan(evaluation)
    records, work, positions = todo.records, todo.pending, todo.positions
    for case, s_name, e_name in todo.skipped:
        v_print(f"Skip evaluate {s_name} by {e_name} on {case.id}")
    slots = {(case_index, s_name): _Slot() for case_index in range(len(todo.cases)) for s_name in todo.subjects}
    observer.started(len(work))

    fields = run_fields(evaluation, json_path)
    journal = Report.open_journal(json_path, **fields)
    made: Dict[int, EvalRecord] = {}
    first_error: Optional[str] = None
    failures = 0
    interrupted: Optional[str] = None
    escaped: Optional[BaseException] = None
    sigterm: List[int] = []
    previous_handler = _install_sigterm(sigterm)
    pool = _Pool(jobs, work, slots)
    try:
        exits = 0
        deadline: Optional[float] = None
        while True:
            try:
                if not pool.launched:
                    pool.launch()
                if exits >= pool.started:
                    break
                if deadline is not None and time.monotonic() > deadline:
                    click.secho(f"Stopped waiting for {pool.in_flight} judgement(s) in flight.", fg="red", err=True)
                    break
                try:
                    kind, payload = pool.done.get(timeout=0.1)
                except queue.Empty:
                    continue
                if kind == "exit":
                    exits += 1
                elif kind == "ok":
                    job, (record, lines) = payload
                    made[job.index] = record
                    journal.append(record)
                    for args, kwargs in lines:
                        v_print(*args, **kwargs)
                    if verbose:
                        observer.block(lines)
                    observer.recorded(record)
                elif kind == "failed":
                    failure: _Failure = payload
                    for args, kwargs in failure.lines:
                        v_print(*args, **kwargs)
                    if verbose:
                        observer.block(failure.lines)
                    job = failure.job
                    if failure.where == "predict":
                        click.secho(f"> Error when predicting. Raise by {job.s_name} on {job.case.id}", fg="red")
                    else:
                        click.secho(
                            f">>> Error when evaluating. Raise by {job.e_name} on {job.s_name} with {job.case.id}",
                            fg="red",
                        )
                    observer.failed(failure.error)
                    failures += 1
                    if first_error is None:
                        first_error = _error_text(failure.error)
                        click.secho(f"\n***** Exception *****\n{failure.error}\n", fg="red")
                    if not keep_going and not pool.stopping.is_set():
                        pool.stopping.set()
                        deadline = time.monotonic() + drain_timeout
                else:  # fatal
                    escaped = payload[1]
                    pool.stopping.set()
                    deadline = time.monotonic() + drain_timeout
            except KeyboardInterrupt:
                if pool.stopping.is_set() and interrupted is not None:
                    click.secho("Stopped at once; the judgements in flight are lost.", fg="red", err=True)
                    break  # second Ctrl-C
                interrupted = "SIGTERM" if sigterm else "KeyboardInterrupt"
                click.secho(f"\n***** {interrupted} *****\n", fg="red")
                pool.stopping.set()
                deadline = time.monotonic() + drain_timeout
                if pool.in_flight:
                    click.secho(
                        f"Waiting for {pool.in_flight} judgement(s) in flight; Ctrl-C again to stop now.",
                        fg="yellow",
                        err=True,
                    )
    finally:
        _restore_sigterm(previous_handler)

    if interrupted is not None and first_error is None:
        error_msg = interrupted
    elif first_error is not None and keep_going and interrupted is None:
        error_msg = f"{failures} judgement(s) failed; the first: {first_error}"
    elif first_error is not None:
        error_msg = first_error
    elif escaped is not None:
        error_msg = _error_text(escaped)
    else:
        error_msg = ""

    new = [made[i] for i in sorted(made)]
    records.extend(new)
    records.sort(key=lambda r: positions.get(r.id, -1))
    report = Report(
        name=fields["name"],
        date=fields["date"],
        test_set_path=fields["test_set_path"],
        subjects=fields["subjects"],
        evaluators=fields["evaluators"],
        records=records,
        description=fields["description"],
        error_msg=error_msg,
    )
    with watching(_Watcher(observer, records=False)):
        report.dump_json(json_path)
    if markdown_path and not error_msg:
        report.dump_md(markdown_path)
    journal.discard()
    if escaped is not None:
        raise escaped
    return report


def _printer(verbose: bool) -> Callable[..., None]:
    def v_print(*args: Any, **kwargs: Any) -> None:
        if verbose:
            click.secho(*args, **kwargs)

    return v_print


def _install_sigterm(flag: List[int]) -> Any:
    if threading.current_thread() is not threading.main_thread():
        return None

    def on_sigterm(signum: int, frame: Any) -> None:
        flag.append(signum)
        raise KeyboardInterrupt("SIGTERM")

    try:
        return (signal.signal(signal.SIGTERM, on_sigterm),)
    except ValueError:
        return None


def _restore_sigterm(previous: Any) -> None:
    if previous is not None:
        signal.signal(signal.SIGTERM, previous[0] if previous[0] is not None else signal.SIG_DFL)
