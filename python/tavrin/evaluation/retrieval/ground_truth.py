"""Retrieval ground truths in JSON Lines: (query, document, grade) judgements, read with
every line checked.

Every non-blank line is one object with a string "query", a string "document" and a
number "score"; it may carry an "id" and a "trivial" mark. A bad line is a
``GroundTruthFileError`` naming the file and the line.
"""

import json
import math
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List, Optional, Tuple

from tavrin import _json_text
from tavrin.errors import GroundTruthFileError
from tavrin.evaluation.retrieval.references import parse_reference

__all__ = [
    "GroundTruthFile",
    "GroundTruthFileError",
    "GroundTruthQuery",
    "read_ground_truth",
    "read_ground_truth_file",
]


@dataclass(frozen=True)
class GroundTruthQuery:
    """A query of a ground-truth file: the text searched, and its "id" and "trivial"
    mark when the file gives them."""

    text: str
    id: Optional[str] = None
    trivial: Optional[bool] = None


@dataclass(frozen=True)
class GroundTruthFile:
    """What a ground-truth file holds: (query key, document, grade) judgements, and the
    queries whose key is not their text or that carry an id or a mark (key -> query)."""

    triples: List[Tuple[str, str, float]]
    queries: Dict[str, GroundTruthQuery] = field(default_factory=dict)


def read_ground_truth(path: str) -> List[Tuple[str, str, float]]:
    """Read (query, document, score) judgements from a JSON Lines file.

    Every non-blank line is one object with a string "query", a string "document" and a
    number "score" (the document's relevance grade for the query; 0 for judged irrelevant).
    A document is the text of a chunk, or a file reference (``path``, ``path#Lstart-Lend``:
    see ``tavrin.evaluation.retrieval.references``); a reference whose lines run backwards
    is an error. Queries are their texts here; ``read_ground_truth_file`` also reads the
    lines' "id" and "trivial".
    """
    return [(entry.query, entry.document, entry.score) for entry in _read_lines(path)]


def read_ground_truth_file(path: str) -> GroundTruthFile:
    """Read a ground truth whose queries may carry an "id" (a string or an integer) and a
    "trivial" mark (true or false).

    Lines with the same id are one query, and must have the same text; lines without an
    id are grouped by their text, as ``read_ground_truth`` does. The judgements name each
    query by its key: its text, unless another query has the same text, when the key of a
    query with an id is its text followed by " [id ID]". ``queries`` describes the queries
    whose key is not their text, or that carry an id or a mark.
    """
    entries = _read_lines(path)
    # (id or None, text) -> line of its first appearance
    first: Dict[Tuple[Optional[str], str], int] = {}
    id_line: Dict[str, Tuple[str, int]] = {}
    trivial: Dict[Tuple[Optional[str], str], bool] = {}
    for entry in entries:
        group = (entry.id, entry.query)
        first.setdefault(group, entry.line)
        if entry.id is not None:
            text, line = id_line.setdefault(entry.id, (entry.query, entry.line))
            if text != entry.query:
                raise GroundTruthFileError(
                    f"{path}, line {entry.line}: 'id' {entry.id!r} names another query on line {line}"
                )
        if entry.trivial is not None:
            trivial[group] = trivial.get(group, False) or entry.trivial
    groups_of_text: Dict[str, int] = {}
    for _, text in first:
        groups_of_text[text] = groups_of_text.get(text, 0) + 1
    texts = {text for _, text in first}
    keys: Dict[Tuple[Optional[str], str], str] = {}
    taken = set(texts)
    for group in first:
        query_id, text = group
        if query_id is None or groups_of_text[text] == 1:
            keys[group] = text
            continue
        key, n = f"{text} [id {query_id}]", 2
        while key in taken:
            key, n = f"{text} [id {query_id}] ({n})", n + 1
        taken.add(key)
        keys[group] = key
    queries = {
        keys[group]: GroundTruthQuery(group[1], group[0], trivial.get(group))
        for group in first
        if keys[group] != group[1] or group[0] is not None or group in trivial
    }
    triples = [(keys[(e.id, e.query)], e.document, e.score) for e in entries]
    return GroundTruthFile(triples, queries)


@dataclass(frozen=True)
class _Line:
    line: int
    query: str
    document: str
    score: float
    id: Optional[str]
    trivial: Optional[bool]


def _read_lines(path: str) -> List[_Line]:
    try:
        text = Path(path).read_text(encoding="utf-8")
    except UnicodeDecodeError as exc:
        raise GroundTruthFileError(f"{path}: not UTF-8 text ({exc.reason} at byte {exc.start})") from exc
    except OSError as exc:
        raise GroundTruthFileError(f"{path}: cannot be read: {exc.strerror or exc}") from exc
    out: List[_Line] = []
    for number, line in enumerate(text.splitlines(), start=1):
        if not line.strip():
            continue
        where = f"{path}, line {number}"
        try:
            entry = _json_text.loads(line)
        except json.JSONDecodeError as exc:
            raise GroundTruthFileError(f"{where}: not valid JSON ({exc.msg} at column {exc.colno})") from exc
        if not isinstance(entry, dict):
            raise GroundTruthFileError(f"{where}: expected an object with query, document and score")
        missing = [key for key in ("query", "document", "score") if key not in entry]
        if missing:
            raise GroundTruthFileError(f"{where}: missing {', '.join(repr(key) for key in missing)}")
        query, document, score = entry["query"], entry["document"], entry["score"]
        for key, value in (("query", query), ("document", document)):
            if not isinstance(value, str) or not value.strip():
                raise GroundTruthFileError(f"{where}: {key!r} must be a non-empty string, got {value!r:.60}")
        if isinstance(score, bool) or not isinstance(score, (int, float)) or not math.isfinite(score):
            raise GroundTruthFileError(f"{where}: 'score' must be a finite number, got {score!r:.60}")
        try:
            parse_reference(document)
        except ValueError as exc:
            raise GroundTruthFileError(f"{where}: 'document' {exc}") from exc
        query_id = entry.get("id")
        if query_id is not None:
            if isinstance(query_id, bool) or not isinstance(query_id, (str, int)) or not str(query_id).strip():
                raise GroundTruthFileError(
                    f"{where}: 'id' must be a non-empty string or an integer, got {query_id!r:.60}"
                )
            query_id = str(query_id)
        trivial = entry.get("trivial")
        if trivial is not None and not isinstance(trivial, bool):
            raise GroundTruthFileError(f"{where}: 'trivial' must be true or false, got {trivial!r:.60}")
        out.append(_Line(number, query, document, float(score), query_id, trivial))
    if not out:
        raise GroundTruthFileError(f"{path}: holds no judgements")
    return out
