"""What a run tells whoever watches it: a progress bar, a test, a caller's own log."""

from __future__ import annotations

from typing import Any, Tuple

from tavrin.evaluation.qa.evaluation import RunPrinter

__all__ = ["RunObserver", "Line"]

#: One line of a judgement's verbose block: the arguments of ``click.secho``.
Line = Tuple[Tuple[Any, ...], dict]


class RunObserver(RunPrinter):
    """Hears how a run goes, and prints what it says; override what you need.

    ``say`` (a verbose line: printed only when the observer was made with ``verbose``) and
    ``alert`` (a line printed always: failures, interrupts) print through ``click.secho``;
    ``started(total)``, ``block(lines)``, ``recorded(record)``, ``failed(error)``,
    ``finishing(report)`` and ``written(path)`` do nothing here. The methods are called on
    the thread that started the run, in the order things happen.
    """
