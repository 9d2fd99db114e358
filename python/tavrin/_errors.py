"""One-line messages for the errors a user of the ``tavrin`` command can act on.

``user_message(exc)`` gives the text of ``Error: <text>`` for tavrin's own errors (every
``tavrin.errors.TavrinError``, and anything else defined in the ``tavrin`` package), for
``ValueError`` in general (what the loaders and the standard library raise for bad
input), for ``OSError`` (a missing file, a folder that cannot be written, a full disk),
for the errors of the OpenAI client and for pydantic's validation errors (a model built
from bad settings, such as OpenAI embeddings without a key). Anything else is a fault of
the program, and ``user_message`` returns None so that its traceback is shown.
"""

from __future__ import annotations

import difflib
import os
import sys
from typing import Any, Iterable, Optional

from tavrin.errors import TavrinError

__all__ = ["did_you_mean", "one_line", "os_error_message", "user_message"]


def did_you_mean(name: str, known: Iterable[str]) -> str:
    """The hint " (did you mean 'x'?)" for the known names closest to a mistyped ``name``, or ""."""
    choices = [str(k) for k in known]
    folded = {choice.lower(): choice for choice in choices}
    close = difflib.get_close_matches(name.lower(), list(folded), n=2, cutoff=0.6)
    if not close:
        return ""
    return " (did you mean " + " or ".join(repr(folded[c]) for c in close) + "?)"


def one_line(text: str) -> str:
    """``text`` with its lines joined by single spaces."""
    return " ".join(part.strip() for part in str(text).splitlines() if part.strip())


def _describe(filename: Any) -> str:
    if isinstance(filename, bytes):
        return os.fsdecode(filename)
    return str(filename)


def os_error_message(exc: OSError) -> str:
    """``path: reason`` (``a -> b: reason`` for a rename), or the reason alone."""
    reason = exc.strerror or one_line(str(exc)) or type(exc).__name__
    if exc.filename is not None and exc.filename2 is not None:
        return f"{_describe(exc.filename)} -> {_describe(exc.filename2)}: {reason}"
    if exc.filename is not None:
        return f"{_describe(exc.filename)}: {reason}"
    return reason


def _is_instance(exc: BaseException, module: str, name: str) -> bool:
    """Whether ``exc`` is a ``module.name``, without importing a module not yet loaded."""
    loaded = sys.modules.get(module)
    cls = getattr(loaded, name, None) if loaded is not None else None
    return isinstance(cls, type) and isinstance(exc, cls)


def _validation_message(exc: Any) -> str:
    model = getattr(getattr(exc, "model", None), "__name__", None) or "settings"
    parts = []
    try:
        errors = exc.errors()
    except Exception:
        return f"{model}: {one_line(str(exc))}"
    for error in errors:
        location = ".".join(str(part) for part in error.get("loc", ()) if part != "__root__")
        text = one_line(error.get("msg", ""))
        parts.append(f"{location}: {text}" if location else text)
    return f"{model}: " + "; ".join(parts)


def _text(exc: BaseException) -> str:
    if isinstance(exc, KeyError) and len(exc.args) == 1 and isinstance(exc.args[0], str):
        text = exc.args[0]
    else:
        text = one_line(str(exc))
    return text or type(exc).__name__


def _openai_message(exc: BaseException) -> str:
    name = type(exc).__name__
    text = _text(exc)
    if text.startswith(name + ": "):  # already cleaned by tavrin._llm
        text = text[len(name) + 2 :]
    return f"the OpenAI request failed ({name}): {text}"


def user_message(exc: BaseException) -> Optional[str]:
    """The one-line message for ``exc``, or None when it is not an error of the user's input."""
    if isinstance(exc, TavrinError):
        # tavrin._llm's RetriesExhausted is an error of the OpenAI client too, and reads as one
        return _openai_message(exc) if _is_instance(exc, "openai.error", "OpenAIError") else _text(exc)
    if isinstance(exc, OSError):
        return os_error_message(exc)
    if _is_instance(exc, "openai.error", "OpenAIError"):
        return _openai_message(exc)
    if _is_instance(exc, "pydantic.error_wrappers", "ValidationError") or _is_instance(
        exc, "pydantic", "ValidationError"
    ):
        return _validation_message(exc)
    if isinstance(exc, ValueError):
        return _text(exc)
    module = type(exc).__module__ or ""
    if module == "tavrin" or module.startswith("tavrin."):
        return _text(exc)
    return None
