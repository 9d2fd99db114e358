"""The executor of a run with several judgements in flight at once.

The evaluation module's engine makes one judgement at a time on the caller's thread; given
``jobs=N`` (or ``keep_going``) it hands the judgements to ``ThreadExecutor(N)``, which makes
them on up to ``N`` worker threads, and writes the same report:

- each case's subject is still asked once, lazily, by the first of its evaluators that
  needs the answer (again for the next evaluator when the answer was None);
- the report's records come in the order a sequential run of the set gives them, whatever
  the order the judgements finished in; the journal beside the report takes each record as
  it is made, so a run killed outright loses at most the judgements in flight;
- the first failure stops new work; the judgements in flight may finish (for at most
  ``drain_timeout`` seconds) and are recorded; the first error becomes the report's
  ``error_msg``. Ctrl-C and SIGTERM do the same; a second Ctrl-C stops at once;
- with ``keep_going`` a failed judgement becomes an error record (no value, the error's
  text as its ``error_msg``) and the run goes on; ``resume --retry-errors`` makes exactly
  those again;
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
import threading
import time
from typing import Any, Callable, List, Optional, Tuple

from tavrin import _costs
from tavrin._integrations.pyparsing_lock import serialise_parsing

__all__ = ["DEFAULT_DRAIN_TIMEOUT", "ThreadExecutor", "serialise_parsing"]

#: How long the judgements in flight may go on after a failure or Ctrl-C (seconds).
DEFAULT_DRAIN_TIMEOUT = 60.0


class ThreadExecutor:
    """Makes a run's judgements on up to ``jobs`` daemon threads, in the order submitted.

    The engine submits every judgement (``submit(work, job)``), then takes the outcomes
    with ``next()`` on its own thread as they come (None when every thread is done), and
    calls ``stop()`` at the first failure or interrupt: no new judgement is started, and
    ``next()`` waits for the ones in flight for at most ``drain_timeout`` seconds more, then
    gives ``("timeout", None, in_flight, None)``.
    """

    def __init__(self, jobs: int, drain_timeout: float = DEFAULT_DRAIN_TIMEOUT) -> None:
        self._jobs = jobs
        self._drain_timeout = drain_timeout
        self._work: List[Tuple[Callable[[Any], Any], Any]] = []
        self._next = 0
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._deadline: Optional[float] = None
        self._done: "queue.Queue[Tuple[str, Any]]" = queue.Queue()
        self._threads: Optional[List[threading.Thread]] = None
        self._started = 0
        self._exits = 0
        self.in_flight = 0

    def submit(self, work: Callable[[Any], Any], job: Any) -> None:
        self._work.append((work, job))

    def stop(self) -> None:
        if not self._stopping.is_set():
            self._stopping.set()
            self._deadline = time.monotonic() + self._drain_timeout

    def next(self) -> Any:
        while True:
            self._launch()
            if self._exits >= self._started:
                return None
            if self._deadline is not None and time.monotonic() > self._deadline:
                return ("timeout", None, self.in_flight, None)
            try:
                kind, payload = self._done.get(timeout=0.1)
            except queue.Empty:
                continue
            if kind == "exit":
                self._exits += 1
                continue
            return payload

    def _launch(self) -> None:
        """Start the threads not yet started (an interrupt may cut this short; it goes on next time)."""
        if self._threads is None:
            count = min(self._jobs, len(self._work))
            self._threads = [
                threading.Thread(target=self._loop, name=f"tavrin-judge-{i}", daemon=True) for i in range(count)
            ]
        while self._started < len(self._threads) and not self._stopping.is_set():
            thread = self._threads[self._started]
            self._started += 1
            thread.start()

    def _take(self) -> Optional[Tuple[Callable[[Any], Any], Any]]:
        with self._lock:
            if self._stopping.is_set() or self._next >= len(self._work):
                return None
            item = self._work[self._next]
            self._next += 1
            self.in_flight += 1
            return item

    def _loop(self) -> None:
        while True:
            item = self._take()
            if item is None:
                self._done.put(("exit", None))
                return
            work, job = item
            try:
                # the model requests of this judgement are charged to it (and its subject)
                with _costs.judging(*_kind_of(job)):
                    outcome = work(job)
            except BaseException as exc:  # not a subject's or evaluator's failure: the run stops
                outcome = ("fatal", job, exc, None)
            with self._lock:
                self.in_flight -= 1
            self._done.put(("outcome", outcome))


def _kind_of(job: Any) -> Tuple[Optional[str], Any]:
    """The subject's name in an engine's job (index, case, subject, _, evaluator, ...), and
    the kind of judgement it is (its subject and evaluator)."""
    if isinstance(job, tuple) and len(job) > 4 and isinstance(job[2], str):
        return job[2], (job[2], job[4])
    return None, None
