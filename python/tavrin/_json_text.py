"""JSON text that users hand to tavrin, and that tavrin writes for them.

``loads`` parses what a reader gets (reports, journals, question sets, labels, ground
truths). ``json.loads`` parses arrays and objects recursively and fails with
``RecursionError`` on nesting deeper than the interpreter's recursion limit
(``'[' * 100000``); ``loads`` turns that into the ``json.JSONDecodeError`` every reader
already handles, positioned where the nesting passes ``DEPTH_SHOWN`` levels, so the
message names the file, line and column.

``dumps`` writes what ``loads`` reads back as the same value. A Python string may hold a
lone surrogate (``"\\ud800"``: JSON allows the escape, a subject may answer with it), which
UTF-8 cannot encode; ``dumps`` writes such characters as their ``\\uXXXX`` escapes and
leaves every other character as it is (``ensure_ascii=False``).
"""

import json
import re
from typing import Any

#: The depth whose position a "nested too deeply" error points at.
DEPTH_SHOWN = 500

_TOKENS = re.compile(r'"(?:[^"\\]|\\.)*"|[\[\]{}]', re.DOTALL)
_SURROGATE = re.compile("[\ud800-\udfff]")


def loads(text: str) -> Any:
    """``json.loads(text)``; nesting too deep for the parser raises ``json.JSONDecodeError``."""
    try:
        return json.loads(text)
    except RecursionError:
        raise json.JSONDecodeError("arrays or objects nested too deeply", text, _deep_position(text)) from None


def _deep_position(text: str) -> int:
    depth = 0
    for match in _TOKENS.finditer(text):
        token = match.group()
        if token in "[{":
            depth += 1
            if depth > DEPTH_SHOWN:
                return match.start()
        elif token in "]}":
            depth -= 1
    return 0


def dumps(value: Any, **options: Any) -> str:
    """``json.dumps(value, ensure_ascii=False, **options)``, encodable as UTF-8: lone
    surrogates (which can stand only inside JSON strings) are written escaped."""
    return escape_surrogates(json.dumps(value, ensure_ascii=False, **options))


def escape_surrogates(text: str) -> str:
    """``text`` with each surrogate character replaced by its ``\\uXXXX`` escape."""
    return _SURROGATE.sub(lambda match: f"\\u{ord(match.group()):04x}", text)


def lone_surrogate(text: str) -> int:
    """The index of the first surrogate character of ``text``, or -1 when it is valid text."""
    match = _SURROGATE.search(text)
    return match.start() if match else -1
