"""Running an ``Evaluation`` from the host: the engine with a pool for concurrent judgements.

``run(evaluation, json_path, ...)`` is the one way the command line runs an evaluation: the
evaluation module's engine (``run_evaluation``), which makes the judgements one after
another with ``jobs=1`` (and without ``keep_going``), exactly as ``Evaluation.run`` does,
and else hands them to ``concurrent.ThreadExecutor``. The ``RunObserver`` passed in prints
what the run says and hears how it goes; the report written last is returned.

- ``observer``: ``RunObserver``;
- ``concurrent``: the threads that make several judgements at once.
"""

from __future__ import annotations

import functools
from typing import Any, Callable, Dict, Optional

from tavrin.evaluation.qa.evaluation import run_evaluation
from tavrin.evaluation.qa.report import Report
from tavrin.evaluation.qa.run.concurrent import DEFAULT_DRAIN_TIMEOUT, ThreadExecutor, serialise_parsing
from tavrin.evaluation.qa.run.observer import RunObserver

__all__ = ["DEFAULT_DRAIN_TIMEOUT", "RunObserver", "ThreadExecutor", "run", "run_concurrently"]


def run(
    evaluation: Any,
    json_path: str,
    markdown_path: Optional[str] = None,
    *,
    verbose: bool = False,
    jobs: int = 1,
    keep_going: bool = False,
    observer: Optional[RunObserver] = None,
    drain_timeout: float = DEFAULT_DRAIN_TIMEOUT,
    extras: Optional[Dict[str, Any]] = None,
    usage: Optional[Callable[[], Any]] = None,
    start_note: Optional[str] = None,
) -> Report:
    """Run ``evaluation``, writing its report to ``json_path``; return the report written last.

    ``extras`` are report fields of this run (set on every report it writes), ``usage()``
    the model service's use to record, ``start_note`` the error message of a report written
    before the first judgement (so that a run killed outright can still be resumed by name).
    """
    if isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1:
        raise ValueError(f"jobs must be a positive integer, got {jobs!r}")
    if jobs > 1 or keep_going:
        serialise_parsing()
    return run_evaluation(
        evaluation,
        json_path,
        markdown_path,
        verbose=verbose,
        jobs=jobs,
        keep_going=keep_going,
        observer=observer if observer is not None else RunObserver(verbose),
        executor=functools.partial(ThreadExecutor, drain_timeout=drain_timeout),
        extras=extras,
        usage=usage,
        start_note=start_note,
    )


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
    """``run`` with up to ``jobs`` judgements in flight (its earlier name)."""
    return run(
        evaluation,
        json_path,
        markdown_path,
        verbose=verbose,
        jobs=jobs,
        keep_going=keep_going,
        drain_timeout=drain_timeout,
        observer=observer,
    )
