"""Console conventions of the ``tavrin`` command: colour and progress bars.

- ``NO_COLOR`` (any non-empty value, https://no-color.org) turns colour off, on a
  terminal too.
- Progress bars (tqdm) are drawn only when standard error is a terminal, and never with
  ``--quiet``; ``TQDM_DISABLE=1`` in the environment turns them off as well (tqdm reads it).
"""

from __future__ import annotations

import os
import sys
from contextlib import contextmanager
from typing import Iterator, TextIO

import click

from tavrin._integrations.tqdm_bars import bars_disabled

__all__ = ["console_conventions", "debug_requested", "is_terminal", "no_color"]


def no_color() -> bool:
    """Whether the environment asks for no colour."""
    return bool(os.environ.get("NO_COLOR"))


def debug_requested() -> bool:
    """Whether ``TAVRIN_DEBUG`` asks for full tracebacks."""
    return os.environ.get("TAVRIN_DEBUG", "").strip().lower() in {"1", "true", "yes", "on"}


def is_terminal(stream: TextIO) -> bool:
    """Whether ``stream`` is a terminal (False for anything that cannot say)."""
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError, OSError):
        return False


@contextmanager
def console_conventions(ctx: click.Context, *, quiet: bool = False) -> Iterator[None]:
    """Apply the conventions to the commands run under ``ctx`` while the block runs."""
    if no_color():
        ctx.color = False
    if quiet or not is_terminal(sys.stderr):
        with bars_disabled():
            yield
    else:
        yield
