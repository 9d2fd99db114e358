"""The figures of a report's summary table, with their confidence intervals.

``summary_cells`` gives every subject x evaluator cell of a report with its interval:
Wilson's for a yes/no rate, Student's t (or a seeded bootstrap) for the mean of 0-10
ratings; the intervals themselves are ``tavrin.evaluation.statistics``'s, re-exported here.
A report is read only through its ``subjects``, ``evaluators`` and ``records``.
"""

import math
from dataclasses import dataclass, replace
from typing import Any, List, Optional, Sequence

from tavrin.evaluation.statistics import (
    Interval,
    mean_interval,
    mean_of,
    normal_quantile,
    scaled,
    t_quantile,
    unscaled,
    wilson_interval,
)

__all__ = [
    "Interval",
    "SummaryCell",
    "cell_kind",
    "errors_text",
    "is_finite_number",
    "mean_interval",
    "mean_of",
    "normal_quantile",
    "scaled",
    "summary_cells",
    "t_quantile",
    "unscaled",
    "wilson_interval",
]


# ---------------------------------------------------------------- summary cells


@dataclass(frozen=True)
class SummaryCell:
    """One cell of a report's summary table: the judgements of one subject by one evaluator.

    ``kind`` is "yes_no" when every value is a bool, "rating" when every value is a number
    (0-10 ratings), "other" otherwise (no values, or values of mixed or other types).
    ``estimate`` is the rate of true values or the mean rating; ``interval`` its 95%
    interval (None for "other" cells and for a single rating). ``text`` is the cell as
    the summary prints it. ``errors`` counts the judgements that ended in an error: they
    are in none of the other figures (``n`` counts the judgements with a value), and the
    text names them last ("4/11 true (36%, 95% CI 15-65%), 1 error").
    """

    subject: str
    evaluator: str
    kind: str
    n: int
    successes: Optional[int]
    estimate: Optional[float]
    interval: Optional[Interval]
    text: str
    errors: int = 0


def is_finite_number(value: Any) -> bool:
    """A finite int or float that a float can hold (JSON integers may be of any size)."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return False
    try:
        return math.isfinite(value)
    except OverflowError:
        return False


def cell_kind(values: Sequence[Any]) -> str:
    """ "yes_no", "rating" or "other": what a list of judgement values holds (see ``SummaryCell``)."""
    if values and all(isinstance(v, bool) for v in values):
        return "yes_no"
    if values and all(is_finite_number(v) for v in values):
        return "rating"
    return "other"


def _number(value: float) -> str:
    text = format(round(value, 2), "g")
    return "0" if text == "-0" else text


def percent(value: float) -> str:
    """A rate as a whole percentage, e.g. "58%"."""
    return f"{round(value * 100)}%"


def _yes_no_text(successes: int, n: int, interval: Interval, confidence: float) -> str:
    return (
        f"{successes}/{n} true ({percent(successes / n)}, {round(confidence * 100)}% CI "
        f"{round(interval.low * 100)}-{percent(interval.high)})"
    )


def _rating_text(mean: float, n: int, interval: Optional[Interval], confidence: float) -> str:
    text = f"mean {_number(mean)} of {n}"
    if interval is not None:
        text += f" ({round(confidence * 100)}% CI {_number(interval.low)} to {_number(interval.high)})"
    return text


def _rating_interval(numbers: List[float], confidence: float, method: str, seed: int) -> Optional[Interval]:
    return mean_interval(numbers, confidence, method=method, seed=seed) if len(numbers) >= 2 else None


def cell_text(
    values: Sequence[Any], confidence: float = 0.95, *, rating_method: str = "t", seed: int = 0, errors: int = 0
) -> str:
    """The summary text of one cell's values and its count of errors (see ``summary_cells``)."""
    return _with_errors(_cell(values, "", "", confidence, rating_method, seed), errors).text


def errors_text(errors: int) -> str:
    """ "1 error", "3 errors"."""
    return f"{errors} error" + ("" if errors == 1 else "s")


def _with_errors(cell: SummaryCell, errors: int) -> SummaryCell:
    if not errors:
        return cell
    text = errors_text(errors) if cell.n == 0 else f"{cell.text}, {errors_text(errors)}"
    return replace(cell, text=text, errors=errors)


def _cell(
    values: Sequence[Any], subject: str, evaluator: str, confidence: float, rating_method: str, seed: int
) -> SummaryCell:
    n = len(values)
    kind = cell_kind(values)
    if kind == "yes_no":
        successes = sum(bool(v) for v in values)
        interval = wilson_interval(successes, n, confidence)
        return SummaryCell(
            subject,
            evaluator,
            kind,
            n,
            successes,
            successes / n,
            interval,
            _yes_no_text(successes, n, interval, confidence),
        )
    if kind == "rating":
        numbers = [float(v) for v in values]
        average = mean_of(numbers)
        spread = _rating_interval(numbers, confidence, rating_method, seed)
        return SummaryCell(
            subject, evaluator, kind, n, None, average, spread, _rating_text(average, n, spread, confidence)
        )
    if not values:
        return SummaryCell(subject, evaluator, kind, 0, None, None, None, "—")
    bools = [v for v in values if isinstance(v, bool)]
    numbers = [float(v) for v in values if is_finite_number(v)]
    others = n - len(bools) - len(numbers)
    if others == n:
        return SummaryCell(subject, evaluator, kind, n, None, None, None, f"{others} judged")
    parts = []
    if bools:
        successes = sum(bools)
        parts.append(
            _yes_no_text(successes, len(bools), wilson_interval(successes, len(bools), confidence), confidence)
        )
    if numbers:
        parts.append(
            _rating_text(
                mean_of(numbers), len(numbers), _rating_interval(numbers, confidence, rating_method, seed), confidence
            )
        )
    if others:
        parts.append(f"{others} other")
    return SummaryCell(subject, evaluator, kind, n, None, None, None, f"{n} judged: " + ", ".join(parts))


def summary_cells(
    report: Any, confidence: float = 0.95, *, rating_method: str = "t", seed: int = 0
) -> List[SummaryCell]:
    """Every subject x evaluator cell of ``report``'s summary, subjects then evaluators in
    the report's order (names met only in records follow), with a ``confidence`` interval:
    Wilson for yes/no rates, ``rating_method`` ("t" or "bootstrap", seeded) for ratings."""
    subjects = list(dict.fromkeys([*report.subjects, *(r.subject for r in report.records)]))
    evaluators = list(dict.fromkeys([*report.evaluators, *(r.evaluator for r in report.records)]))
    values: dict = {}
    errors: dict = {}
    for record in report.records:
        key = (record.subject, record.evaluator)
        if getattr(record, "error_msg", ""):
            errors[key] = errors.get(key, 0) + 1
        else:
            values.setdefault(key, []).append(record.value)
    return [
        _with_errors(_cell(values.get((s, e), []), s, e, confidence, rating_method, seed), errors.get((s, e), 0))
        for s in subjects
        for e in evaluators
    ]
