"""Paired comparison of evaluation reports over the same question set.

The first report is the baseline; every other report is compared with it, judgement by
judgement: records are paired by case id, subject and evaluator. For each subject x
evaluator of each other report:

- yes/no values: the difference of rates ``p_b - p_a = (f - g) / n`` (``f`` cases true only
  in b, ``g`` true only in a), Newcombe's hybrid score interval for a paired difference
  (built from the Wilson intervals of both rates and their correlation), and the exact
  McNemar test: ``p = min(1, 2 * P(X <= min(f, g)))`` for ``X ~ Binomial(f + g, 1/2)``;
- ratings: the mean paired difference ``mean(b - a)`` with Student's t interval, and the
  two-sided paired randomization test: under the null hypothesis each difference's sign
  is a coin flip; ``p`` is the share of sign assignments whose |sum| is at least the
  observed |sum|, computed exactly (by enumeration, or by the distribution of sums of
  integer differences) when that is cheap, else from ``permutations`` seeded random
  assignments as ``(hits + 1) / (permutations + 1)``.

A judgement that ended in an error (in either report) leaves its pair: only cases both
reports judged are compared, and the errors are listed apart (``Comparison.errors``).

Holm's method corrects the p-values across the whole table; a row is significant when
its corrected p-value is below ``alpha``, and its direction is then "better" (b higher)
or "worse".
"""

import math
from dataclasses import dataclass, field
from itertools import product
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Optional, Sequence, Tuple

from tavrin.errors import ComparisonError
from tavrin.evaluation.qa.report.record import EvalRecord
from tavrin.evaluation.qa.stats import cell_kind
from tavrin.evaluation.statistics import (
    Interval,
    holm,
    mcnemar_exact,
    mean_interval,
    newcombe_paired_interval,
    randomization_p,
    scaled,
    unscaled,
)

if TYPE_CHECKING:
    from tavrin.evaluation.qa.report.model import Report

__all__ = [
    "Comparison",
    "ComparisonError",
    "ComparisonRow",
    "Flip",
    "compare_reports",
    "holm",
    "mcnemar_exact",
    "newcombe_paired_interval",
    "randomization_p",
]


@dataclass(frozen=True)
class Flip:
    """A case whose judgement changed from the baseline (``before``) to the other report (``after``)."""

    case_id: str
    question: str
    evaluator: str
    subject: str
    before: EvalRecord
    after: EvalRecord

    def to_dict(self) -> Dict[str, Any]:
        """The flip as a JSON-ready dictionary, both records whole."""
        return {
            "case_id": self.case_id,
            "question": self.question,
            "subject": self.subject,
            "evaluator": self.evaluator,
            "before": self.before.to_dict(),
            "after": self.after.to_dict(),
        }


@dataclass(frozen=True)
class ComparisonRow:
    """One subject x evaluator of one report against the baseline.

    ``a_estimate``/``b_estimate`` are the rates (yes/no) or mean ratings of the paired
    cases in the baseline and the other report, ``difference`` is b - a with its
    ``interval`` (None only for ratings with a single pair). ``flips`` are the pairs
    whose values differ (ratings: largest change first).
    """

    subject: str
    evaluator: str
    kind: str
    n_pairs: int
    baseline: str
    other: str
    a_estimate: float
    b_estimate: float
    difference: float
    interval: Optional[Interval]
    test: str
    p_value: float
    p_holm: float
    significant: bool
    direction: str
    flips: List[Flip]
    #: yes/no only: pairs true in both, true only in b, true only in a, false in both
    table: Optional[Tuple[int, int, int, int]] = None

    def to_dict(self) -> Dict[str, Any]:
        """The row as a JSON-ready dictionary."""
        data = {
            key: getattr(self, key)
            for key in (
                "subject",
                "evaluator",
                "kind",
                "n_pairs",
                "baseline",
                "other",
                "a_estimate",
                "b_estimate",
                "difference",
            )
        }
        data["interval"] = self.interval.to_dict() if self.interval is not None else None
        data.update(
            test=self.test,
            p_value=self.p_value,
            p_holm=self.p_holm,
            significant=self.significant,
            direction=self.direction,
        )
        if self.table is not None:
            data["table"] = dict(zip(("both_true", "only_other_true", "only_baseline_true", "both_false"), self.table))
        data["flips"] = [flip.to_dict() for flip in self.flips]
        return data


@dataclass(frozen=True)
class Comparison:
    """The comparison of ``labels[1:]`` against ``labels[0]``: ``overlap`` cases common to all
    reports, ``only_in`` the cases each report has beyond them, one row per report x
    subject x evaluator. ``skipped`` names cells whose values are neither all yes/no nor
    all ratings in both reports. ``errors`` are the (report label, record) of every judgement
    of the common cases that ended in an error, left out of the pairs."""

    labels: List[str]
    overlap: int
    only_in: Dict[str, int]
    rows: List[ComparisonRow]
    alpha: float
    skipped: List[str] = field(default_factory=list)
    errors: List[Tuple[str, EvalRecord]] = field(default_factory=list)

    def to_dict(self) -> Dict[str, Any]:
        """The comparison as a JSON-ready dictionary."""
        return {
            "labels": list(self.labels),
            "baseline": self.labels[0],
            "overlap": self.overlap,
            "only_in": dict(self.only_in),
            "alpha": self.alpha,
            "skipped": list(self.skipped),
            "rows": [row.to_dict() for row in self.rows],
            **({"errors": [_error_dict(label, record) for label, record in self.errors]} if self.errors else {}),
        }


def _error_dict(label: str, record: EvalRecord) -> Dict[str, Any]:
    return {
        "report": label,
        "case_id": str(record.case_id),
        "subject": record.subject,
        "evaluator": record.evaluator,
        "error_msg": record.error_msg,
    }


# ---------------------------------------------------------------- tests and intervals


# ---------------------------------------------------------------- pairing reports


def _questions(report: "Report", label: str) -> Dict[str, str]:
    """case id -> question of every case the report judged."""
    cases: Dict[str, str] = {}
    for record in report.records:
        key = str(record.case_id)
        if cases.setdefault(key, record.question) != record.question:
            raise ComparisonError(f"{label}: case {key} is recorded with two different questions")
    return cases


def _ordered(names: Iterable[Any]) -> List[Any]:
    return list(dict.fromkeys(names))


def compare_reports(
    reports: Sequence["Report"],
    labels: Sequence[str],
    *,
    allow_subset: bool = False,
    alpha: float = 0.05,
    permutations: int = 10000,
    seed: int = 0,
    confidence: float = 0.95,
) -> Comparison:
    """Compare every report after the first with the first, case by case (see the module text).

    Raises ``ComparisonError`` when the reports judged different cases (unless
    ``allow_subset``: then only the cases common to all are compared), ask different
    questions under one case id, or have no subject x evaluator in common.
    """
    if len(reports) < 2 or len(reports) != len(labels):
        raise ValueError("compare_reports needs at least two reports and one label per report")
    if not 0.0 < alpha < 1.0:
        raise ValueError(f"alpha must lie strictly between 0 and 1, got {alpha}")
    questions = [_questions(report, label) for report, label in zip(reports, labels)]
    base_label = labels[0]
    for label, cases in zip(labels[1:], questions[1:]):
        for case_id in questions[0].keys() & cases.keys():
            if questions[0][case_id] != cases[case_id]:
                raise ComparisonError(
                    f"{label} and {base_label} ask different questions under case {case_id}: "
                    "they do not use the same question set"
                )
    common = set(questions[0]).intersection(*questions[1:])
    only_in = {label: len(set(cases) - common) for label, cases in zip(labels, questions)}
    if any(only_in.values()) and not allow_subset:
        detail = ", ".join(f"{count} only in {label}" for label, count in only_in.items() if count)
        raise ComparisonError(
            f"the reports judged different cases ({len(common)} in common, {detail}); "
            "--allow-subset compares the cases they share"
        )
    if not common:
        raise ComparisonError("the reports have no case in common")

    def index(report: "Report") -> Dict[Tuple[str, str, str], EvalRecord]:
        return {
            (str(r.case_id), r.subject, r.evaluator): r
            for r in report.records
            if str(r.case_id) in common and not r.error_msg
        }

    base = index(reports[0])
    case_order = _ordered(str(r.case_id) for r in reports[0].records if str(r.case_id) in common)
    pending: List[Dict[str, Any]] = []
    skipped: List[str] = []
    for other_report, label in zip(reports[1:], labels[1:]):
        other = index(other_report)
        subjects = [s for s in _ordered([*reports[0].subjects, *(k[1] for k in base)]) if any(k[1] == s for k in other)]
        evaluators = [
            e for e in _ordered([*reports[0].evaluators, *(k[2] for k in base)]) if any(k[2] == e for k in other)
        ]
        for subject, evaluator in product(subjects, evaluators):
            pairs = [
                (base[(c, subject, evaluator)], other[(c, subject, evaluator)])
                for c in case_order
                if (c, subject, evaluator) in base and (c, subject, evaluator) in other
            ]
            if not pairs:
                continue
            kind = cell_kind([r.value for pair in pairs for r in pair])
            if kind == "other":
                skipped.append(f"{label}: {subject} by {evaluator}: values are neither all yes/no nor all ratings")
                continue
            pending.append(_row(subject, evaluator, kind, base_label, label, pairs, permutations, seed, confidence))
    if not pending:
        raise ComparisonError(
            "the reports have no subject and evaluator in common"
            + (f" that can be compared ({'; '.join(skipped)})" if skipped else "")
        )
    adjusted = holm([row["p_value"] for row in pending])
    rows = []
    for row, p_holm in zip(pending, adjusted):
        significant = p_holm < alpha
        direction = "same"
        if significant and row["difference"] > 0:
            direction = "better"
        elif significant and row["difference"] < 0:
            direction = "worse"
        rows.append(ComparisonRow(**row, p_holm=p_holm, significant=significant, direction=direction))
    return Comparison(
        labels=list(labels),
        overlap=len(common),
        only_in=only_in,
        rows=rows,
        alpha=alpha,
        skipped=skipped,
        errors=_errors(reports, labels, common),
    )


def _errors(reports: Sequence["Report"], labels: Sequence[str], common: set) -> List[Tuple[str, EvalRecord]]:
    """The (label, record) of every judgement of the ``common`` cases that ended in an error."""
    return [
        (label, record)
        for report, label in zip(reports, labels)
        for record in report.records
        if record.error_msg and str(record.case_id) in common
    ]


def _row(
    subject: str,
    evaluator: str,
    kind: str,
    baseline: str,
    other: str,
    pairs: List[Tuple[EvalRecord, EvalRecord]],
    permutations: int,
    seed: int,
    confidence: float,
) -> Dict[str, Any]:
    n = len(pairs)
    flips = [Flip(str(a.case_id), a.question, evaluator, subject, a, b) for a, b in pairs if a.value != b.value]
    row: Dict[str, Any] = {
        "subject": subject,
        "evaluator": evaluator,
        "kind": kind,
        "n_pairs": n,
        "baseline": baseline,
        "other": other,
    }
    if kind == "yes_no":
        e = sum(1 for a, b in pairs if a.value and b.value)
        f = sum(1 for a, b in pairs if b.value and not a.value)
        g = sum(1 for a, b in pairs if a.value and not b.value)
        h = n - e - f - g
        a_rate, b_rate = (e + g) / n, (e + f) / n
        row.update(
            a_estimate=a_rate,
            b_estimate=b_rate,
            difference=b_rate - a_rate,
            interval=newcombe_paired_interval(e, f, g, h, confidence),
            test="mcnemar-exact",
            p_value=mcnemar_exact(f, g),
            flips=flips,
            table=(e, f, g, h),
        )
        return row
    # Ratings too large to subtract and square as they are are compared scaled down by one
    # power of two (exactly); the test does not depend on the scale, the figures are scaled back.
    both, exponent = scaled([float(r.value) for pair in pairs for r in pair])
    a_values, b_values = both[0::2], both[1::2]
    differences = [y - x for x, y in zip(a_values, b_values)]
    flips.sort(key=lambda flip: -abs(float(flip.after.value) - float(flip.before.value)))
    interval = mean_interval(differences, confidence, method="t") if n >= 2 else None
    row.update(
        a_estimate=unscaled(math.fsum(a_values) / n, exponent),
        b_estimate=unscaled(math.fsum(b_values) / n, exponent),
        difference=unscaled(math.fsum(differences) / n, exponent),
        interval=(
            Interval(unscaled(interval.low, exponent), unscaled(interval.high, exponent), interval.method)
            if interval is not None
            else None
        ),
        test="randomization",
        p_value=randomization_p(differences, permutations, seed),
        flips=flips,
    )
    return row
