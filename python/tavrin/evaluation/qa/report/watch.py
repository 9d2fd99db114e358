"""Who watches the report files a run writes: one watcher at a time per thread (a context
variable), set by the evaluation run for as long as it runs.

A journal tells the watcher of every record it takes, and ``Report.dump_json`` of every
report it writes, with the JSON text on disk, so that the run's observer learns of both
even when the run is ``Evaluation.run`` itself, which writes them on its own.
"""

from __future__ import annotations

import contextlib
from contextvars import ContextVar
from typing import Any, Iterator, Optional, Protocol

from tavrin.evaluation.qa.report.record import PathArg

__all__ = ["ReportWatcher", "watching"]


class ReportWatcher(Protocol):
    def appended(self, record: Any) -> None:
        """A journal took ``record``."""

    def written(self, path: PathArg, text: str) -> None:
        """A report was written to ``path``; ``text`` is what the file holds."""


_watcher: ContextVar[Optional[ReportWatcher]] = ContextVar("tavrin_report_watcher", default=None)


@contextlib.contextmanager
def watching(watcher: ReportWatcher) -> Iterator[None]:
    """Within the block, ``watcher`` hears of the records journals take and the reports written."""
    token = _watcher.set(watcher)
    try:
        yield
    finally:
        _watcher.reset(token)


def appended(record: Any) -> None:
    watcher = _watcher.get()
    if watcher is not None:
        watcher.appended(record)


def written(path: PathArg, text: str) -> None:
    watcher = _watcher.get()
    if watcher is not None:
        watcher.written(path, text)
