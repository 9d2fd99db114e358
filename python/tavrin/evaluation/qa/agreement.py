"""How well a judge agrees with human labels.

Labels are human verdicts per (case, subject[, evaluator]), in JSON Lines or CSV with the
fields ``case_id``, ``subject``, ``evaluator`` (optional: blank or absent means every
evaluator of the report) and ``label``: ``true``/``false``/``yes``/``no`` for yes/no
evaluators (0 and 1 count as no and yes there), a number for 0-10 rating evaluators.

For each report x subject x evaluator, over the labelled judgements:

- accuracy: the share where judge and human give the same value;
- Cohen's kappa ``(p_o - p_e) / (1 - p_e)``, ``p_o`` the observed agreement and ``p_e =
  sum_k r_k c_k`` the agreement expected from the margins, with the large-sample
  standard error of Fleiss, Cohen and Everitt (1969)::

      var = (sum_k p_kk (1 - (r_k + c_k)(1 - kappa))^2
             + (1 - kappa)^2 sum_{j != k} p_jk (c_j + r_k)^2
             - (kappa - p_e (1 - kappa))^2) / ((1 - p_e)^2 n)

  and the interval ``kappa +- z sqrt(var)``, clipped to [-1, 1];
- the confusion matrix, human values by rows and the judge's by columns;
- for ratings also Spearman's rank correlation (Pearson's correlation of the average
  ranks) and the mean absolute error ``mean |judge - human|``.

Kappa and the confusion matrix need categories: for ratings they are given when every
value is a whole number.
"""

import csv
import json
import math
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

from tavrin import _json_text
from tavrin.errors import LabelsError
from tavrin.evaluation.qa.stats import is_finite_number
from tavrin.evaluation.statistics import Interval, cohen_kappa, mean_of

if TYPE_CHECKING:
    from tavrin.evaluation.qa.report.model import Report

__all__ = [
    "Agreement",
    "AgreementRow",
    "Label",
    "LabelsError",
    "cohen_kappa",
    "judge_agreement",
    "load_labels",
    "spearman",
]


@dataclass(frozen=True)
class Label:
    """One human verdict; ``evaluator`` None applies to every evaluator of the report."""

    case_id: str
    subject: str
    evaluator: Optional[str]
    value: Any
    where: str


_YES = {"true", "yes", "y"}
_NO = {"false", "no", "n"}


def _label_value(raw: Any, where: str) -> Any:
    if isinstance(raw, bool):
        return raw
    if isinstance(raw, (int, float)) and math.isfinite(raw):
        return raw
    if isinstance(raw, str):
        text = raw.strip().lower()
        if text in _YES:
            return True
        if text in _NO:
            return False
        try:
            number = float(text)
        except ValueError:
            number = math.nan
        if math.isfinite(number):
            return int(number) if number == int(number) and "." not in text and "e" not in text else number
    raise LabelsError(f"{where}: label {raw!r} is neither yes/no (true, false, yes, no) nor a number")


def _text_field(row: Dict[str, Any], key: str, where: str, required: bool = True) -> Optional[str]:
    value = row.get(key)
    if value is None or (isinstance(value, str) and not value.strip()):
        if required:
            raise LabelsError(f"{where}: missing field {key!r}")
        return None
    if isinstance(value, bool) or not isinstance(value, (str, int)):
        raise LabelsError(f"{where}: field {key!r} must be text, got {type(value).__name__}")
    return str(value).strip()


def load_labels(path: str) -> List[Label]:
    """The labels in ``path``: JSON Lines (``.jsonl``/``.json``) or CSV with a header row
    (any other suffix). Raises ``LabelsError`` naming the file, line and field."""
    source = Path(path)
    try:
        text = source.read_text(encoding="utf-8-sig")
    except FileNotFoundError as exc:
        raise LabelsError(f"{path}: no such labels file") from exc
    except IsADirectoryError as exc:
        raise LabelsError(f"{path} is a directory, not a labels file") from exc
    except UnicodeDecodeError as exc:
        raise LabelsError(f"{path}: not UTF-8 text ({exc})") from exc
    except OSError as exc:
        raise LabelsError(f"{path}: cannot read: {exc.strerror or exc}") from exc
    rows: List[Tuple[str, Dict[str, Any]]] = []
    if source.suffix.lower() in (".jsonl", ".json", ".ndjson"):
        for number, line in enumerate(text.splitlines(), 1):
            if not line.strip():
                continue
            where = f"{path}:{number}"
            try:
                row = _json_text.loads(line)
            except json.JSONDecodeError as exc:
                raise LabelsError(f"{where}: invalid JSON: {exc.msg}") from exc
            if not isinstance(row, dict):
                raise LabelsError(f"{where}: expected a JSON object, got {type(row).__name__}")
            rows.append((where, row))
    else:
        reader = csv.DictReader(text.splitlines())
        missing = [key for key in ("case_id", "subject", "label") if key not in (reader.fieldnames or [])]
        if missing:
            raise LabelsError(
                f"{path}: the CSV header lacks column(s) {', '.join(missing)} (write case_id,subject,evaluator,label)"
            )
        for row in reader:
            rows.append((f"{path}:{reader.line_num}", row))
    labels = []
    seen: Dict[Tuple[str, str, Optional[str]], str] = {}
    for where, row in rows:
        if "label" not in row or row["label"] is None or row["label"] == "":
            raise LabelsError(f"{where}: missing field 'label'")
        label = Label(
            case_id=_text_field(row, "case_id", where) or "",
            subject=_text_field(row, "subject", where) or "",
            evaluator=_text_field(row, "evaluator", where, required=False),
            value=_label_value(row["label"], where),
            where=where,
        )
        key = (label.case_id, label.subject, label.evaluator)
        if key in seen:
            raise LabelsError(
                f"{where}: case {label.case_id!r}, subject {label.subject!r} is labelled twice (also at {seen[key]})"
            )
        seen[key] = where
        labels.append(label)
    if not labels:
        raise LabelsError(f"{path}: no labels")
    return labels


# ---------------------------------------------------------------- measures


def _ranks(values: Sequence[float]) -> List[float]:
    order = sorted(range(len(values)), key=lambda i: values[i])
    ranks = [0.0] * len(values)
    start = 0
    while start < len(order):
        stop = start
        while stop + 1 < len(order) and values[order[stop + 1]] == values[order[start]]:
            stop += 1
        for position in range(start, stop + 1):
            ranks[order[position]] = (start + stop) / 2.0 + 1.0
        start = stop + 1
    return ranks


def spearman(x: Sequence[float], y: Sequence[float]) -> Optional[float]:
    """Spearman's rank correlation (ties take their average rank); None when either side
    has fewer than two distinct values."""
    if len(x) != len(y):
        raise ValueError("spearman needs two sequences of one length")
    rx, ry = _ranks(list(x)), _ranks(list(y))
    n = len(rx)
    if n < 2:
        return None
    mx, my = math.fsum(rx) / n, math.fsum(ry) / n
    sxy = math.fsum((a - mx) * (b - my) for a, b in zip(rx, ry))
    sxx = math.fsum((a - mx) ** 2 for a in rx)
    syy = math.fsum((b - my) ** 2 for b in ry)
    if sxx == 0 or syy == 0:
        return None
    return max(-1.0, min(1.0, sxy / math.sqrt(sxx * syy)))


# ---------------------------------------------------------------- agreement


@dataclass(frozen=True)
class AgreementRow:
    """The judge of one report against the human labels, for one subject and evaluator.

    ``categories`` label the rows (human) and columns (judge) of ``confusion``.
    """

    report: str
    subject: str
    evaluator: str
    kind: str
    n: int
    accuracy: float
    kappa: Optional[float]
    kappa_interval: Optional[Interval]
    categories: List[Any]
    confusion: List[List[int]]
    spearman: Optional[float] = None
    mae: Optional[float] = None
    #: labels that apply here but whose judgement the report lacks
    unjudged: int = 0

    def to_dict(self) -> Dict[str, Any]:
        """The row as a JSON-ready dictionary."""
        return {
            "report": self.report,
            "subject": self.subject,
            "evaluator": self.evaluator,
            "kind": self.kind,
            "n": self.n,
            "accuracy": self.accuracy,
            "kappa": self.kappa,
            "kappa_interval": self.kappa_interval.to_dict() if self.kappa_interval else None,
            "categories": list(self.categories),
            "confusion": [list(r) for r in self.confusion],
            "spearman": self.spearman,
            "mae": self.mae,
            "unjudged": self.unjudged,
        }


@dataclass(frozen=True)
class Agreement:
    """Every report's agreement with the labels; ``skipped`` says which pairings could not be scored."""

    reports: List[str]
    labels: int
    rows: List[AgreementRow]
    skipped: List[str] = field(default_factory=list)

    def to_dict(self) -> Dict[str, Any]:
        """The agreement as a JSON-ready dictionary."""
        return {
            "reports": list(self.reports),
            "labels": self.labels,
            "rows": [r.to_dict() for r in self.rows],
            "skipped": list(self.skipped),
        }


def _check_known(labels: Sequence[Label], report: "Report", name: str) -> None:
    cases = {str(r.case_id) for r in report.records}
    subjects = set(report.subjects) | {r.subject for r in report.records}
    evaluators = set(report.evaluators) | {r.evaluator for r in report.records}
    for label in labels:
        if label.case_id not in cases:
            raise LabelsError(f"{label.where}: case {label.case_id!r} is not in {name}")
        if label.subject not in subjects:
            raise LabelsError(f"{label.where}: subject {label.subject!r} is not in {name}")
        if label.evaluator is not None and label.evaluator not in evaluators:
            raise LabelsError(f"{label.where}: evaluator {label.evaluator!r} is not in {name}")


def _as_kind(value: Any, kind: str) -> Any:
    """``value`` as a value of ``kind`` ("yes_no" or "rating"), or None when it is not one."""
    if kind == "yes_no":
        if isinstance(value, bool):
            return value
        if isinstance(value, (int, float)) and value in (0, 1):
            return bool(value)
        return None
    if is_finite_number(value):
        return float(value)
    return None


def judge_agreement(
    reports: Sequence["Report"], names: Sequence[str], labels: Sequence[Label], confidence: float = 0.95
) -> Agreement:
    """Score every report's judgements against ``labels`` (see the module text).

    Raises ``LabelsError`` when a label names a case, subject or evaluator that a report
    does not hold.
    """
    from tavrin.evaluation.qa.stats import cell_kind

    for report, name in zip(reports, names):
        _check_known(labels, report, name)
    rows: List[AgreementRow] = []
    skipped: List[str] = []
    for report, name in zip(reports, names):
        evaluators = list(dict.fromkeys([*report.evaluators, *(r.evaluator for r in report.records)]))
        # a judgement that ended in an error is left unjudged
        records = {(str(r.case_id), r.subject, r.evaluator): r for r in report.records if not r.error_msg}
        specific = {(label.case_id, label.subject, label.evaluator) for label in labels if label.evaluator is not None}
        by_cell: Dict[Tuple[str, str], List[Tuple[Label, Any]]] = {}
        for label in labels:
            targets = (
                [label.evaluator]
                if label.evaluator is not None
                else [e for e in evaluators if (label.case_id, label.subject, e) not in specific]
            )
            for evaluator in targets:
                record = records.get((label.case_id, label.subject, evaluator))
                by_cell.setdefault((label.subject, evaluator), []).append(
                    (label, record.value if record is not None else _UNJUDGED)
                )
        for (subject, evaluator), pairs in by_cell.items():
            judged = [(label, value) for label, value in pairs if value is not _UNJUDGED]
            unjudged = len(pairs) - len(judged)
            kind = cell_kind([value for _, value in judged])
            if kind == "other":
                if judged:
                    skipped.append(
                        f"{name}: {subject} by {evaluator}: the judge's values are neither all yes/no nor all ratings"
                    )
                else:
                    skipped.append(f"{name}: {subject} by {evaluator}: no labelled case is judged")
                continue
            human = [_as_kind(label.value, kind) for label, _ in judged]
            if any(h is None for h in human):
                bad = next(label for (label, _), h in zip(judged, human) if h is None)
                what = "yes/no" if kind == "yes_no" else "ratings"
                if bad.evaluator is not None:  # a label for this evaluator that cannot be its value
                    raise LabelsError(
                        f"{bad.where}: evaluator {evaluator!r} gives {what}, but the label is {bad.value!r}"
                    )
                skipped.append(f"{name}: {subject} by {evaluator}: it gives {what}; the labels do not")
                continue
            judge = [_as_kind(value, kind) for _, value in judged]
            rows.append(_agreement_row(name, subject, evaluator, kind, human, judge, unjudged, confidence))
    return Agreement(reports=list(names), labels=len(labels), rows=rows, skipped=skipped)


_UNJUDGED = object()


def _agreement_row(
    name: str,
    subject: str,
    evaluator: str,
    kind: str,
    human: List[Any],
    judge: List[Any],
    unjudged: int,
    confidence: float,
) -> AgreementRow:
    n = len(human)
    accuracy = sum(h == j for h, j in zip(human, judge)) / n
    categories: List[Any] = []
    if kind == "yes_no":
        categories = [True, False]
    elif all(float(v).is_integer() for v in [*human, *judge]):
        categories = sorted({int(v) for v in [*human, *judge]})
    confusion = [[0] * len(categories) for _ in categories]
    position = {c: i for i, c in enumerate(categories)}
    for h, j in zip(human, judge):
        if categories:
            key_h, key_j = (h, j) if kind == "yes_no" else (int(h), int(j))
            confusion[position[key_h]][position[key_j]] += 1
    kappa, interval = cohen_kappa(confusion, confidence) if categories else (None, None)
    rho = mae = None
    if kind == "rating":
        rho = spearman(human, judge)
        mae = mean_of([abs(h - j) for h, j in zip(human, judge)])
    return AgreementRow(
        report=name,
        subject=subject,
        evaluator=evaluator,
        kind=kind,
        n=n,
        accuracy=accuracy,
        kappa=kappa,
        kappa_interval=interval,
        categories=categories,
        confusion=confusion,
        spearman=rho,
        mae=mae,
        unjudged=unjudged,
    )
