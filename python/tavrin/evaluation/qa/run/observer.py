"""What a run tells whoever watches it: a progress bar, a test, a caller's own log."""

from __future__ import annotations

from typing import Any, Sequence, Tuple

from tavrin.evaluation.qa.report import EvalRecord, PathArg

__all__ = ["RunObserver", "Line"]

#: One line of a judgement's verbose block: the arguments of ``click.secho``.
Line = Tuple[Tuple[Any, ...], dict]


class RunObserver:
    """Hears how a run goes; every method here does nothing, so override what you need.

    The methods are called on the thread that started the run, in the order things happen.
    """

    def started(self, total: int) -> None:
        """``total`` judgements are to be made."""

    def block(self, lines: Sequence[Line]) -> None:
        """The verbose block of one judgement (question, answer, verdict), printed whole with
        ``--verbose``. A sequential run prints its lines as it goes and sends no blocks."""

    def recorded(self, record: EvalRecord) -> None:
        """One judgement was made and recorded."""

    def failed(self, error: BaseException) -> None:
        """One judgement failed."""

    def written(self, path: PathArg, text: str) -> None:
        """The run's report was written to ``path``; ``text`` is what the file holds."""


class _Watcher:
    """Passes the report package's news on to a run's observer."""

    def __init__(self, observer: RunObserver, records: bool) -> None:
        self._observer = observer
        self._records = records

    def appended(self, record: Any) -> None:
        if self._records:
            self._observer.recorded(record)

    def written(self, path: PathArg, text: str) -> None:
        self._observer.written(path, text)
