"""Where ``run_concurrently`` was found before the run package: a run with several judgements
in flight at once (``tavrin.evaluation.qa.run``)."""

from typing import Any, Optional

from tavrin.evaluation.qa.report import Report
from tavrin.evaluation.qa.run import DEFAULT_DRAIN_TIMEOUT, RunObserver, run
from tavrin.evaluation.qa.run.concurrent import serialise_parsing

__all__ = ["DEFAULT_DRAIN_TIMEOUT", "run_concurrently", "serialise_parsing"]


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
    """``tavrin.evaluation.qa.run.run`` with up to ``jobs`` judgements in flight."""
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
