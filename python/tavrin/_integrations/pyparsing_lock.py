"""pyparsing: one parse at a time, and each guidance template parsed once.

Why: guidance parses templates and chat prompts with pyparsing, whose packrat cache is
one per process and is cleared at the start of every parse, so two parses on two threads
at once corrupt each other ("Expected end of text"). pyparsing has no hook for a lock, so
``serialise_parsing()`` replaces ``ParserElement.parse_string`` and its alias
``parseString`` with versions that hold one process-wide lock; each keeps the original
as its ``__wrapped__``. While at it, the tree of each program template, which guidance
would parse again on every call, is parsed once and reused (guidance only reads it).
``tavrin.evaluation.qa.run.run`` installs this before the threads of a concurrent run start.
"""

from __future__ import annotations

import threading
from typing import Any, Dict

__all__ = ["serialise_parsing"]

_parse_lock = threading.RLock()
_template_trees: Dict[Any, Any] = {}
_parsing_serialised = False


def serialise_parsing() -> None:
    """Let only one thread at a time parse with pyparsing (process-wide, once)."""
    global _parsing_serialised
    with _parse_lock:
        if _parsing_serialised:
            return
        import pyparsing

        try:
            from guidance._grammar import grammar as program_grammar
        except ImportError:
            program_grammar = None
        element = pyparsing.ParserElement
        for name in ("parse_string", "parseString"):
            original = getattr(element, name)

            def locked(self: Any, *args: Any, __original: Any = original, **kwargs: Any) -> Any:
                # guidance parses a program's template anew on every call; the tree is only
                # read, so one parse of each template serves all calls
                key = (args, tuple(sorted(kwargs.items()))) if self is program_grammar else None
                with _parse_lock:
                    if key is not None and key in _template_trees:
                        return _template_trees[key]
                    tree = __original(self, *args, **kwargs)
                    if key is not None and len(_template_trees) < 256:
                        _template_trees[key] = tree
                    return tree

            locked.__wrapped__ = original  # type: ignore[attr-defined]
            locked.__name__ = name
            setattr(element, name, locked)
        _parsing_serialised = True
