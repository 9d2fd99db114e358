"""A QA report, or two of them side by side, as one self-contained HTML page.

The page needs no server and no network: its style sheet and script are inline, and the
report travels inside it as JSON in a ``<script type="application/json">`` element. The
script builds the page from that data with ``textContent`` only, so whatever a report
holds (answers, reasons, case ids) is shown as text and never read as markup; a content
security policy in the page forbids every request it could make. Only ``http(s)`` source
links become clickable.

``render_html(reports, labels, comparison)`` returns the page's text; the ``tavrin html``
command (``command.py``) loads the reports, compares two of them and writes the page.
"""

from __future__ import annotations

import json
import math
import re
from importlib import resources
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Optional, Sequence, Tuple
from urllib.parse import urlsplit

from tavrin import _json_text
from tavrin.evaluation.qa.report import EvalRecord, Report

if TYPE_CHECKING:
    from tavrin.evaluation.qa.compare import Comparison

__all__ = ["page_data", "render_html"]

_MARKER = re.compile(r"@@([A-Z]+)@@")


def render_html(reports: Sequence[Report], labels: Sequence[str], comparison: Optional["Comparison"] = None) -> str:
    """The HTML page of ``reports`` (one, or two with their ``comparison``), named by ``labels``."""
    data = page_data(reports, labels, comparison)
    parts = {
        "TITLE": _escape_html(data["title"]),
        "STYLE": _asset("page.css"),
        "SCRIPT": _asset("page.js"),
        "DATA": embed_json(data),
    }
    # one pass over the template: text put in by one marker is never scanned for another
    return _MARKER.sub(lambda m: parts[m.group(1)], _asset("page.html"))


def embed_json(data: Any) -> str:
    """``data`` as JSON that can stand inside a ``<script>`` element: ``<``, ``>`` and ``&``
    are written as ``\\u`` escapes, so no text in it can close the element."""
    text = _json_text.dumps(data, allow_nan=False, separators=(",", ":"))
    for char, escape in (
        ("<", "\\u003c"),
        (">", "\\u003e"),
        ("&", "\\u0026"),
        ("\u2028", "\\u2028"),
        ("\u2029", "\\u2029"),
    ):
        text = text.replace(char, escape)
    return text


def page_data(
    reports: Sequence[Report], labels: Sequence[str], comparison: Optional["Comparison"] = None
) -> Dict[str, Any]:
    """What the page shows, as JSON-ready data: the reports' run fields, their summary cells
    with 95% intervals, the comparison table of two reports, and every case with its
    question, reference answer, and each report's answers, sources and judgements (those
    whose verdict changed between two reports marked as flips)."""
    from tavrin.evaluation.qa.stats import summary_cells

    if len(reports) != len(labels) or not 1 <= len(reports) <= 2:
        raise ValueError("render one report, or two with a label each")
    flips = _flip_directions(comparison)
    subjects = _ordered(*(r.subjects for r in reports), *((x.subject for x in r.records) for r in reports))
    evaluators = _ordered(*(r.evaluators for r in reports), *((x.evaluator for x in r.records) for r in reports))
    return _finite(
        {
            "title": labels[0] if len(reports) == 1 else f"{labels[0]} vs {labels[1]}",
            "labels": list(labels),
            "reports": [_run(report, label) for report, label in zip(reports, labels)],
            "subjects": subjects,
            "evaluators": evaluators,
            "summary": [_cell(index, cell) for index, report in enumerate(reports) for cell in summary_cells(report)],
            "comparison": _comparison(comparison, reports, labels) if comparison is not None else None,
            "cases": _cases(reports, flips),
        }
    )


def _asset(name: str) -> str:
    return resources.files(__package__).joinpath(name).read_text(encoding="utf-8")


def _escape_html(text: str) -> str:
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace('"', "&quot;")


def _finite(value: Any) -> Any:
    """``value`` with every float that JSON cannot hold (NaN, infinities) as None."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: _finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite(v) for v in value]
    return value


def _ordered(*groups: Iterable[str]) -> List[str]:
    return list(dict.fromkeys(name for group in groups for name in group))


def _run(report: Report, label: str) -> Dict[str, Any]:
    return {
        "label": label,
        "name": report.name,
        "date": report.date,
        "test_set_path": report.test_set_path,
        "description": report.description,
        "error_msg": report.error_msg,
        "shard": report.shard,
        "judgements": len(report.records),
        "cases": len({str(r.case_id) for r in report.records}),
    }


def _cell(report: int, cell: Any) -> Dict[str, Any]:
    interval = cell.interval
    return {
        "report": report,
        "subject": cell.subject,
        "evaluator": cell.evaluator,
        "kind": cell.kind,
        "n": cell.n,
        "successes": cell.successes,
        "estimate": _number(cell.estimate),
        "low": _number(interval.low) if interval is not None else None,
        "high": _number(interval.high) if interval is not None else None,
        "method": interval.method if interval is not None else None,
        "text": cell.text,
        **({"errors": cell.errors} if cell.errors else {}),
    }


def _number(value: Any) -> Optional[float]:
    return float(value) if isinstance(value, (int, float)) and not isinstance(value, bool) else None


def _comparison(comparison: "Comparison", reports: Sequence[Report], labels: Sequence[str]) -> Dict[str, Any]:
    case_ids = [list(dict.fromkeys(str(r.case_id) for r in report.records)) for report in reports]
    id_sets = [set(ids) for ids in case_ids]
    return {
        "alpha": comparison.alpha,
        "overlap": comparison.overlap,
        # the cases of each report that the other lacks (left out of the paired tests)
        "only_in": {
            str(label): [c for c in ids if c not in id_sets[1 - index]]
            for index, (label, ids) in enumerate(zip(labels, case_ids))
        },
        "skipped": [str(note) for note in getattr(comparison, "skipped", [])],
        "rows": [
            {
                "subject": row.subject,
                "evaluator": row.evaluator,
                "kind": row.kind,
                "n_pairs": row.n_pairs,
                "baseline": row.baseline,
                "other": row.other,
                "a": _number(row.a_estimate),
                "b": _number(row.b_estimate),
                "difference": _number(row.difference),
                "low": _number(row.interval.low) if row.interval is not None else None,
                "high": _number(row.interval.high) if row.interval is not None else None,
                "test": row.test,
                "p_value": _number(row.p_value),
                "p_holm": _number(row.p_holm),
                "significant": bool(row.significant),
                "direction": row.direction,
                "flips": len(row.flips),
            }
            for row in comparison.rows
        ],
    }


def _flip_directions(comparison: Optional["Comparison"]) -> Dict[Tuple[str, str, str], str]:
    """(case id, subject, evaluator) -> "better", "worse" or "changed", for every flipped case."""
    out: Dict[Tuple[str, str, str], str] = {}
    for row in comparison.rows if comparison is not None else ():
        for flip in row.flips:
            out[(str(flip.case_id), flip.subject, flip.evaluator)] = _direction(flip.before.value, flip.after.value)
    return out


def _direction(before: Any, after: Any) -> str:
    if isinstance(before, bool) and isinstance(after, bool):
        return "better" if after else "worse"
    numbers = [v for v in (before, after) if isinstance(v, (int, float)) and not isinstance(v, bool)]
    if len(numbers) == 2 and before != after:
        return "better" if after > before else "worse"
    return "changed"


def _cases(reports: Sequence[Report], flips: Dict[Tuple[str, str, str], str]) -> List[Dict[str, Any]]:
    """Every case of the reports, in the first report's order then the second's new ones."""
    cases: Dict[str, Dict[str, Any]] = {}
    for index, report in enumerate(reports):
        for record in report.records:
            case_id = str(record.case_id)
            case = cases.get(case_id)
            if case is None:
                case = cases[case_id] = {
                    "id": case_id,
                    "question": record.question,
                    "expected": record.expected,
                    "answers": [],
                    "flips": [],
                }
            _add_judgement(case, index, record, flips.get((case_id, record.subject, record.evaluator)))
    for case in cases.values():
        flipped: Dict[Tuple[str, str], str] = {}
        for answer in case["answers"]:
            del answer["_key"]
            for judgement in answer["judgements"]:
                if judgement["flip"]:
                    flipped[(answer["subject"], judgement["evaluator"])] = judgement["flip"]
        case["flips"] = [{"subject": s, "evaluator": e, "direction": d} for (s, e), d in flipped.items()]
    return list(cases.values())


def _add_judgement(case: Dict[str, Any], report: int, record: EvalRecord, flip: Optional[str]) -> None:
    answers = case["answers"]
    # one answer block per report, subject and answer (a resumed run may hold two answers)
    for answer in answers:
        if (answer["report"], answer["subject"]) == (report, record.subject) and answer["_key"] == _answer_key(record):
            break
    else:
        answer = {
            "report": report,
            "subject": record.subject,
            "prediction": record.prediction,
            "sources": [_source(doc) for doc in record.documents or []],
            "judgements": [],
            "_key": _answer_key(record),
        }
        answers.append(answer)
    answer["judgements"].append(
        {
            "evaluator": record.evaluator,
            # a judgement that ended in an error shows it in place of a reason
            "value": "error" if record.error_msg else _value_text(record.value),
            "verdict": _verdict(record.value),
            "reason": record.error_msg or ("" if record.reason is None else _text(record.reason)),
            "flip": flip,
        }
    )


def _answer_key(record: EvalRecord) -> str:
    return json.dumps([record.prediction, record.documents], sort_keys=True, default=str)


def _text(value: Any) -> str:
    return value if isinstance(value, str) else json.dumps(value, ensure_ascii=False, default=str)


def _verdict(value: Any) -> str:
    """The verdict a filter selects: "true", "false", "rating" (a number) or "other"."""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (int, float)):
        return "rating"
    return "other"


def _value_text(value: Any) -> str:
    if value is None:
        return "—"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return format(round(value, 2), "g") if math.isfinite(value) else str(value)
    return _text(value)


def _source(doc: Any) -> Dict[str, Any]:
    """A source document as the page shows it: its text, and a link when it has a web address."""
    if not isinstance(doc, dict):
        return {"text": _text(doc), "href": None, "detail": None}
    address = next((str(doc[k]) for k in ("url", "reference") if doc.get(k)), None)
    label = next((str(doc[k]) for k in ("label", "name", "source", "filepath") if doc.get(k)), None)
    text = label or address or json.dumps(doc, ensure_ascii=False, default=str)
    return {
        "text": text,
        "href": address if address is not None and _is_web_link(address) else None,
        "detail": address if address is not None and address != text else None,
    }


def _is_web_link(address: str) -> bool:
    """Whether ``address`` is an absolute http(s) link, the only kind the page makes clickable."""
    try:
        parts = urlsplit(address)
    except ValueError:
        return False
    return parts.scheme.lower() in ("http", "https") and bool(parts.netloc) and not any(c.isspace() for c in address)
