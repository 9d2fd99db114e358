"""The report for people: Markdown, and the figures of its summary table."""

import json
import re
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple

from tavrin.evaluation.qa.report.record import EvalRecord

if TYPE_CHECKING:
    from tavrin.evaluation.qa.report.model import Report

_SURROGATE = re.compile("[\ud800-\udfff]")


def render(report: "Report") -> str:
    """The Markdown of ``report`` (``Report.to_markdown``)."""
    out: List[str] = [f"# {_escape(report.name)}", ""]
    out.append(f"- **Date:** {_escape(report.date)}")
    out.append(f"- **Test set:** {_escape(report.test_set_path)}")
    out.append(f"- **Subjects:** {_escape(', '.join(report.subjects)) or '(none)'}")
    out.append(f"- **Evaluators:** {_escape(', '.join(report.evaluators)) or '(none)'}")
    out.append("")
    if report.description:
        out += [_escape(report.description), ""]
    if report.error_msg:
        lines = report.error_msg.splitlines() or [""]
        out.append(f"> **Run stopped early:** {_escape(lines[0])}")
        out += [f"> {_escape(line)}" if line else ">" for line in lines[1:]]
        out.append("")

    cases = _group_by_case(report.records)
    subjects = _ordered(report.subjects, (r.subject for r in report.records))
    evaluators = _ordered(report.evaluators, (r.evaluator for r in report.records))
    out += ["## Summary", ""]
    out += [f"{len(cases)} case(s), {len(report.records)} judgement(s).", ""]
    if subjects and evaluators:
        out.append(_row(["Subject", *evaluators]))
        out.append(_row(["---"] * (len(evaluators) + 1), escape=False))
        for subject in subjects:
            cells = [
                _summarise([r for r in report.records if r.subject == subject and r.evaluator == e]) for e in evaluators
            ]
            out.append(_row([subject, *cells]))
        out.append("")
    out += _jury(report)

    if cases:
        out += ["## Cases", ""]
    for case_id, records in cases.items():
        first = records[0]
        out += [f"### Case {_escape(str(case_id))}", ""]
        out += ["**Question**", "", _quote(first.question), ""]
        out += ["**Reference answer**", "", _quote(first.expected), ""]
        for subject in _ordered([], (r.subject for r in records)):
            out += [f"#### {_escape(subject)}", ""]
            for prediction, documents, judged in _answers([r for r in records if r.subject == subject]):
                out += [_quote(prediction), ""]
                if documents:
                    out += ["References:", ""]
                    out += [f"- {_reference(doc)}" for doc in documents]
                    out.append("")
                out.append(_row(["Evaluator", "Value", "Reason"]))
                out.append(_row(["---"] * 3, escape=False))
                out += [_judgement_row(r) for r in judged]
                out.append("")
    # A lone surrogate (an answer may hold one; the JSON report keeps it escaped) cannot be
    # printed or saved as UTF-8: people see the replacement character, as a decoder shows it.
    return _SURROGATE.sub("\ufffd", "\n".join(out))


_MD_SPECIAL = re.compile(r"([\\`*_\[\]<>|#])")


def _escape(text: str) -> str:
    """Escape ``text`` so Markdown shows it literally."""
    return _MD_SPECIAL.sub(r"\\\1", text)


def _row(cells: List[str], escape: bool = True) -> str:
    if escape:
        cells = [_escape(cell).replace("\r\n", "\n").replace("\n", "<br>") for cell in cells]
    return "| " + " | ".join(cells) + " |"


def _quote(text: Optional[str]) -> str:
    """Show an answer (Markdown of its own) as a block quote, whatever its lines hold."""
    if text is None:
        return "> _No answer._"
    if not text.strip():
        return "> _Empty answer._"
    return "\n".join(f"> {line}" if line.strip() else ">" for line in text.splitlines())


def _value(value: Any) -> str:
    return "—" if value is None else format(value, "")


def _reference(doc: Any) -> str:
    if not isinstance(doc, dict):
        return _escape(str(doc))
    url = doc.get("url")
    label = doc.get("label") or url or json.dumps(doc, ensure_ascii=False, default=str)
    label = _escape(str(label))
    if not url:
        return label
    target = str(url).replace(" ", "%20").replace("(", "%28").replace(")", "%29")
    target = target.replace("<", "%3C").replace(">", "%3E")
    return f"[{label}]({target})"


def _judgement_row(record: EvalRecord) -> str:
    if record.error_msg:
        return _row([record.evaluator, "error", record.error_msg])
    return _row([record.evaluator, _value(record.value), _value(record.reason)])


def _summarise(records: List[EvalRecord]) -> str:
    """One summary cell: how many judgements, how many true or the mean rating, with a 95%
    interval (``tavrin.evaluation.qa.stats``), and how many ended in an error."""
    from tavrin.evaluation.qa.stats import cell_text

    errors = sum(1 for r in records if r.error_msg)
    return cell_text([r.value for r in records if not r.error_msg], errors=errors)


def _jury(report: "Report") -> List[str]:
    """The jury's section of the summary: none for a report of one judge."""
    from tavrin.evaluation.qa.jury import jury_markdown, jury_summary

    return jury_markdown(jury_summary(report), _escape)


def _number(value: float) -> str:
    return format(round(value, 2), "g")


def _group_by_case(records: List[EvalRecord]) -> Dict[Any, List[EvalRecord]]:
    cases: Dict[Any, List[EvalRecord]] = {}
    for record in records:
        cases.setdefault(record.case_id, []).append(record)
    return cases


def _ordered(first: List[str], more: Any) -> List[str]:
    """``first`` followed by the names in ``more`` not yet seen, without duplicates."""
    return list(dict.fromkeys([*first, *more]))


def _answers(records: List[EvalRecord]) -> List[Tuple[Optional[str], Optional[List[Any]], List[EvalRecord]]]:
    """Group one subject's records of a case by the answer they judged, in record order."""
    groups: List[Tuple[Optional[str], Optional[List[Any]], List[EvalRecord]]] = []
    for record in records:
        if groups and groups[-1][0] == record.prediction and groups[-1][1] == record.documents:
            groups[-1][2].append(record)
        else:
            groups.append((record.prediction, record.documents, [record]))
    return groups


def summarise(report: "Report", cases: Optional[List[Any]] = None) -> List[Dict[str, Any]]:
    """The figures of the report's summary table, one entry per subject and evaluator.

    Each entry holds ``subject``, ``evaluator``, ``judged`` (records), ``true`` (values that
    are True), ``yes_rate`` (true / boolean values, or None), ``mean`` (of numeric values, or
    None), ``kind`` ("yes_no", "rating" or "other"), ``estimate`` (the rate or mean rating),
    ``interval`` (its 95% interval as {"low", "high", "method"}: Wilson for rates, Student's t
    for ratings; None for other cells and single ratings), ``text`` (the cell of the
    Markdown summary) and, when the question set's
    ``cases`` are given, ``missing``: judgements of those cases that the report lacks.
    Judgements that ended in an error are counted apart, as ``errors`` (present only when
    there are any), and are in none of the other figures.
    """
    from tavrin.evaluation.qa.stats import is_finite_number, mean_of, summary_cells

    cells: Dict[Tuple[str, str], List[Any]] = {}
    for record in report.records:
        cells.setdefault((record.subject, record.evaluator), []).append(record)
    wanted = {str(c.id) for c in cases} if cases is not None else None
    out = []
    for cell in summary_cells(report):
        records = cells.get((cell.subject, cell.evaluator), [])
        values = [r.value for r in records if not r.error_msg]
        bools = [v for v in values if isinstance(v, bool)]
        numbers = [v for v in values if is_finite_number(v)]
        entry: Dict[str, Any] = {
            "subject": cell.subject,
            "evaluator": cell.evaluator,
            "judged": len(values),
            "true": sum(bools),
            "yes_rate": round(sum(bools) / len(bools), 4) if bools else None,
            "mean": round(mean_of(numbers), 4) if numbers else None,
            "kind": cell.kind,
            "estimate": cell.estimate,
            "interval": cell.interval.to_dict() if cell.interval is not None else None,
            "text": cell.text,
        }
        if cell.errors:
            entry["errors"] = cell.errors
        if wanted is not None:
            done = {str(r.case_id) for r in records}
            entry["missing"] = len(wanted - done)
        out.append(entry)
    return out
