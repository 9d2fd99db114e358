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
from typing import Any, Iterator, TextIO

import click

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


# The position of ``disable`` among tqdm's positional parameters.
_DISABLE_POSITION = 10


@contextmanager
def _bars_disabled() -> Iterator[None]:
    """Every tqdm bar made inside the block is disabled (its subclasses' bars too)."""
    from tqdm import std

    original = std.tqdm.__dict__["__init__"]

    def __init__(self: Any, *args: Any, **kwargs: Any) -> None:
        if len(args) > _DISABLE_POSITION:
            args = args[:_DISABLE_POSITION] + (True,) + args[_DISABLE_POSITION + 1:]
        else:
            kwargs["disable"] = True
        original.__get__(self, type(self))(*args, **kwargs)

    std.tqdm.__init__ = __init__  # type: ignore[method-assign]
    try:
        yield
    finally:
        std.tqdm.__init__ = original  # type: ignore[method-assign]


@contextmanager
def console_conventions(ctx: click.Context, *, quiet: bool = False) -> Iterator[None]:
    """Apply the conventions to the commands run under ``ctx`` while the block runs."""
    if no_color():
        ctx.color = False
    if quiet or not is_terminal(sys.stderr):
        with _bars_disabled():
            yield
    else:
        yield
