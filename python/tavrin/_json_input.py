"""Parsing JSON that users hand to tavrin (reports, journals, question sets, labels, ground
truths), so that every reader reports a bad file in its own one-line words.

``json.loads`` parses arrays and objects recursively and fails with ``RecursionError`` on
nesting deeper than the interpreter's recursion limit (``'[' * 100000``). ``loads`` turns
that into the ``json.JSONDecodeError`` every reader already handles, positioned where the
nesting passes ``DEPTH_SHOWN`` levels, so the message names the file, line and column.
"""

import json
import re
from typing import Any

#: The depth whose position a "nested too deeply" error points at.
DEPTH_SHOWN = 500

_TOKENS = re.compile(r'"(?:[^"\\]|\\.)*"|[\[\]{}]', re.DOTALL)


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
