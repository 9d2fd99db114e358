"""Running an ``Evaluation``: the plan of its judgements, the run, and its observer.

``run(evaluation, json_path, ...)`` is the one way the command line runs an evaluation:
with ``jobs=1`` (and without ``keep_going``) it is ``Evaluation.run`` exactly as it is; else
the concurrent run (``run.concurrent``). Either way the ``RunObserver`` passed in hears of
the judgements to make, each record, each failure and the report written, and the report
is returned as its file holds it.

- ``plan``: what a run has to do (the only reader of an evaluation's inner state);
- ``observer``: ``RunObserver``;
- ``concurrent``: several judgements in flight at once.
"""

from __future__ import annotations

from typing import Any, Optional

from tavrin.evaluation.qa.report import Report, watching
from tavrin.evaluation.qa.run.concurrent import DEFAULT_DRAIN_TIMEOUT, run_concurrently
from tavrin.evaluation.qa.run.observer import RunObserver, _Watcher
from tavrin.evaluation.qa.run.plan import Plan, cases, keep_cases, plan, run_fields, set_test_set_path

__all__ = [
    "DEFAULT_DRAIN_TIMEOUT",
    "Plan",
    "RunObserver",
    "cases",
    "keep_cases",
    "plan",
    "run",
    "run_concurrently",
    "run_fields",
    "set_test_set_path",
]


class _Last(RunObserver):
    """Keeps the text of the last report written, and passes everything on."""

    def __init__(self, observer: RunObserver) -> None:
        self.observer = observer
        self.text: Optional[str] = None

    def started(self, total: int) -> None:
        self.observer.started(total)

    def block(self, lines: Any) -> None:
        self.observer.block(lines)

    def recorded(self, record: Any) -> None:
        self.observer.recorded(record)

    def failed(self, error: BaseException) -> None:
        self.observer.failed(error)

    def written(self, path: Any, text: str) -> None:
        self.text = text
        self.observer.written(path, text)


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
) -> Report:
    """Run ``evaluation``, writing its report to ``json_path``; return the report as written.

    ``jobs=1`` without ``keep_going`` calls ``Evaluation.run`` (its records reach the
    observer as its journal takes them); otherwise ``run_concurrently`` makes the
    judgements, up to ``jobs`` at once.
    """
    last = _Last(observer or RunObserver())
    if jobs == 1 and not keep_going:
        last.started(plan(evaluation).total)
        with watching(_Watcher(last, records=True)):
            evaluation.run(json_path=json_path, markdown_path=markdown_path, verbose=verbose)
    else:
        run_concurrently(
            evaluation,
            json_path,
            markdown_path,
            verbose=verbose,
            jobs=jobs,
            keep_going=keep_going,
            drain_timeout=drain_timeout,
            observer=last,
        )
    # the report as its file holds it: the run ended by writing it
    return Report.from_json_text(last.text, json_path) if last.text is not None else Report.load_json(json_path)
