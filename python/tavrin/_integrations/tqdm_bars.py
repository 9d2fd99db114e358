"""tqdm: no progress bars while a command runs off a terminal or with ``--quiet``.

Why: the bars are drawn by code tavrin does not own (langchain's and its own loops, the
judges' runs), and tqdm reads its public switch, ``TQDM_DISABLE``, only once, when tqdm is
imported. So ``bars_disabled()`` replaces ``tqdm.std.tqdm.__init__`` for the length of a
block with one that passes ``disable=True``, which reaches every bar made in the block,
those of tqdm's subclasses too, and puts the original back when the block ends.
``tavrin._console.console_conventions`` uses it around every command.
"""

from __future__ import annotations

from contextlib import contextmanager
from typing import Any, Iterator

__all__ = ["bars_disabled"]

# The position of ``disable`` among tqdm's positional parameters.
_DISABLE_POSITION = 10


@contextmanager
def bars_disabled() -> Iterator[None]:
    """Every tqdm bar made inside the block is disabled (its subclasses' bars too)."""
    from tqdm import std

    original = std.tqdm.__dict__["__init__"]

    def __init__(self: Any, *args: Any, **kwargs: Any) -> None:
        if len(args) > _DISABLE_POSITION:
            args = args[:_DISABLE_POSITION] + (True,) + args[_DISABLE_POSITION + 1 :]
        else:
            kwargs["disable"] = True
        original.__get__(self, type(self))(*args, **kwargs)

    std.tqdm.__init__ = __init__
    try:
        yield
    finally:
        std.tqdm.__init__ = original
