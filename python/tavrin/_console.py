"""Console conventions of the ``tavrin`` command: colour, progress bars and errors.

- ``NO_COLOR`` (any non-empty value, https://no-color.org) turns colour off, on a
  terminal too.
- Progress bars (tqdm) are drawn only when standard error is a terminal, and never with
  ``--quiet``; ``TQDM_DISABLE=1`` in the environment turns them off as well (tqdm reads it).
- An error the user can act on is one line, ``Error: <message>``, exit status 1
  (``one_line_error``); in debug mode (``--traceback``, ``TAVRIN_DEBUG=1``) tavrin's own
  errors show their traceback first, and any other error goes through with its own.
"""

from __future__ import annotations

import codecs
import os
import sys
import traceback
from contextlib import contextmanager
from typing import Iterator, Optional, TextIO, Tuple, Union

import click

from tavrin._errors import user_message
from tavrin._integrations.tqdm_bars import bars_disabled
from tavrin.errors import TavrinError

__all__ = ["console_conventions", "debug_requested", "is_terminal", "no_color", "one_line_error"]


def no_color() -> bool:
    """Whether the environment asks for no colour."""
    return bool(os.environ.get("NO_COLOR"))


def debug_requested() -> bool:
    """Whether ``TAVRIN_DEBUG`` asks for full tracebacks."""
    return os.environ.get("TAVRIN_DEBUG", "").strip().lower() in {"1", "true", "yes", "on"}


def one_line_error(exc: Exception, debug: bool) -> Optional[click.ClickException]:
    """The click error that shows ``exc`` as ``Error: <message>``, or None when ``exc``
    should go through with its traceback: it is not an error of the user's input
    (``tavrin._errors.user_message``), or ``debug`` is set and it is not tavrin's own.
    With ``debug``, the traceback of tavrin's own error is written to standard error here.
    """
    if isinstance(exc, TavrinError):
        if debug:
            click.echo("".join(traceback.format_exception(exc)).rstrip(), err=True)
        return click.ClickException(user_message(exc) or type(exc).__name__)
    message = user_message(exc)
    if message is None or debug:
        return None
    return click.ClickException(message)


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
    with _printable_surrogates():
        if quiet or not is_terminal(sys.stderr):
            with bars_disabled():
                yield
        else:
            yield


def _escape_or_pass_bytes(exc: UnicodeError) -> Tuple[Union[str, bytes], int]:
    """The error handler ``tavrin-surrogateescape``: "surrogateescape" for the surrogates
    that stand for undecodable bytes (U+DC80-U+DCFF), a backslash escape for any other
    character the encoding cannot take."""
    if not isinstance(exc, UnicodeEncodeError):
        raise exc
    code = ord(exc.object[exc.start])
    if 0xDC80 <= code <= 0xDCFF:
        return bytes([code - 0xDC00]), exc.start + 1
    return (f"\\u{code:04x}" if code <= 0xFFFF else f"\\U{code:08x}"), exc.start + 1


codecs.register_error("tavrin-surrogateescape", _escape_or_pass_bytes)

#: How a console stream's error handler changes while a command runs.
_PRINTABLE = {"strict": "backslashreplace", "surrogateescape": "tavrin-surrogateescape"}


@contextmanager
def _printable_surrogates() -> Iterator[None]:
    """Print a character that the console's encoding cannot take (a lone surrogate in an
    answer: "\\ud800") as its backslash escape instead of failing the command on it."""
    changed = []
    for stream in (sys.stdout, sys.stderr):
        errors = getattr(stream, "errors", None)
        if errors in _PRINTABLE and hasattr(stream, "reconfigure"):
            try:
                stream.reconfigure(errors=_PRINTABLE[errors])
            except (AttributeError, ValueError, OSError):
                continue
            changed.append((stream, errors))
    try:
        yield
    finally:
        for stream, errors in changed:
            try:
                stream.reconfigure(errors=errors)
            except (AttributeError, ValueError, OSError):
                pass
