"""Confidence intervals for the figures of a report's summary table.

- ``wilson_interval``: the Wilson score interval of a yes/no rate. With ``p = k / n`` and
  ``z`` the normal quantile of ``1 - (1 - confidence) / 2``::

      centre = (p + z^2 / 2n) / (1 + z^2 / n)
      half   = z / (1 + z^2 / n) * sqrt(p (1 - p) / n + z^2 / 4n^2)

  It stays inside [0, 1] and is sound for small n and for rates of 0 or 1.
- ``mean_interval``: for 0-10 ratings, Student's t interval ``mean +- t(n-1) * s / sqrt(n)``
  (``s`` the sample standard deviation), or a seeded percentile bootstrap of the mean.

``summary_cells`` gives every subject x evaluator cell of a report with its interval.
Only the standard library is needed here; numpy is imported for the bootstrap alone.
"""

import math
import sys
from dataclasses import dataclass
from statistics import NormalDist
from typing import TYPE_CHECKING, Any, List, Optional, Sequence, Tuple

if TYPE_CHECKING:
    from tavrin.evaluation.qa.report.model import Report

__all__ = [
    "Interval",
    "SummaryCell",
    "cell_kind",
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


@dataclass(frozen=True)
class Interval:
    """A confidence interval ``[low, high]`` and how it was made: "wilson", "t" or "bootstrap"
    (other methods name themselves, e.g. "newcombe" for a paired difference of rates)."""

    low: float
    high: float
    method: str

    def to_dict(self) -> dict:
        """The interval as a JSON-ready dictionary."""
        return {"low": self.low, "high": self.high, "method": self.method}


def _check_confidence(confidence: float) -> None:
    if not 0.0 < confidence < 1.0:
        raise ValueError(f"confidence must lie strictly between 0 and 1, got {confidence}")


def normal_quantile(confidence: float) -> float:
    """The two-sided standard normal quantile: z with P(|Z| <= z) = ``confidence``."""
    _check_confidence(confidence)
    return NormalDist().inv_cdf(1.0 - (1.0 - confidence) / 2.0)


def t_quantile(confidence: float, df: float) -> float:
    """The two-sided quantile of Student's t with ``df`` degrees of freedom: t with
    P(|T| <= t) = ``confidence``."""
    from tavrin.evaluation.retrieval.significance import student_t_sf

    _check_confidence(confidence)
    if df <= 0:
        raise ValueError(f"degrees of freedom must be positive, got {df}")
    tail = 1.0 - confidence
    low, high = 0.0, 1.0
    while student_t_sf(high, df) > tail:
        high *= 2.0
    for _ in range(200):  # bisection: the tail probability falls as t grows
        mid = (low + high) / 2.0
        if student_t_sf(mid, df) > tail:
            low = mid
        else:
            high = mid
        if high - low <= 1e-13 * high:
            break
    return (low + high) / 2.0


def wilson_interval(successes: int, n: int, confidence: float = 0.95) -> Interval:
    """The Wilson score interval of the rate ``successes / n``.

    ``n = 0`` says nothing about the rate: the interval is [0, 1].
    """
    if n < 0 or not 0 <= successes <= n:
        raise ValueError(f"need 0 <= successes <= n, got {successes} of {n}")
    z = normal_quantile(confidence)
    if n == 0:
        return Interval(0.0, 1.0, "wilson")
    p = successes / n
    z2 = z * z
    denominator = 1.0 + z2 / n
    centre = (p + z2 / (2 * n)) / denominator
    half = z / denominator * math.sqrt(p * (1.0 - p) / n + z2 / (4 * n * n))
    low = 0.0 if successes == 0 else max(0.0, centre - half)
    high = 1.0 if successes == n else min(1.0, centre + half)
    return Interval(low, high, "wilson")


#: Values up to 2**LARGE in magnitude are summed and squared as they are; larger ones are
#: scaled down by a power of two first (exactly), so that nothing overflows.
LARGE = 500


def scaled(values: Sequence[float]) -> Tuple[List[float], int]:
    """``values`` as they are with exponent 0 when every one is at most 2**LARGE in
    magnitude; else each times 2**-e (exact), e chosen so that the largest is below 1.
    ``unscaled(x, e)`` takes a figure computed from the scaled values back."""
    data = [float(v) for v in values]
    largest = max((abs(v) for v in data), default=0.0)
    if not math.isfinite(largest) or largest <= 2.0**LARGE:
        return data, 0
    exponent = math.frexp(largest)[1]
    return [math.ldexp(v, -exponent) for v in data], exponent


def unscaled(value: float, exponent: int) -> float:
    """``value`` times 2**``exponent``; beyond the float range, the largest float of its sign."""
    try:
        return math.ldexp(value, exponent)
    except OverflowError:
        return math.copysign(sys.float_info.max, value)


def mean_of(values: Sequence[float]) -> float:
    """The mean of finite ``values`` (at least one), with no overflow however large they are."""
    data, exponent = scaled(values)
    return unscaled(math.fsum(data) / len(data), exponent)


def mean_interval(
    values: Sequence[float], confidence: float = 0.95, *, method: str = "t", seed: int = 0, resamples: int = 10000
) -> Interval:
    """An interval for the mean of ``values``.

    ``method="t"``: Student's t interval, ``mean +- t(n-1) * s / sqrt(n)``; values that are
    all equal give the zero-width interval at their mean. ``method="bootstrap"``: the
    percentile interval of ``resamples`` means of resamples drawn with replacement, with
    numpy's generator seeded by ``seed`` (the same values give the same interval).
    At least two values are needed.
    """
    _check_confidence(confidence)
    data = [float(v) for v in values]
    n = len(data)
    if n < 2:
        raise ValueError(f"an interval for a mean needs at least 2 values, got {n}")
    if any(math.isnan(v) or math.isinf(v) for v in data):
        raise ValueError("an interval for a mean needs finite values")
    data, exponent = scaled(data)
    centre = math.fsum(data) / n
    if method == "t":
        sd = math.sqrt(math.fsum((v - centre) ** 2 for v in data) / (n - 1))
        half = t_quantile(confidence, n - 1) * sd / math.sqrt(n)
        return Interval(unscaled(centre - half, exponent), unscaled(centre + half, exponent), "t")
    if method == "bootstrap":
        import numpy as np

        if resamples < 1:
            raise ValueError(f"resamples must be at least 1, got {resamples}")
        rng = np.random.default_rng(seed)
        array = np.asarray(data)
        means = np.empty(resamples)
        chunk = max(1, 2_000_000 // n)
        for start in range(0, resamples, chunk):
            stop = min(resamples, start + chunk)
            means[start:stop] = array[rng.integers(0, n, size=(stop - start, n))].mean(axis=1)
        tail = (1.0 - confidence) / 2.0
        low, high = np.quantile(means, [tail, 1.0 - tail])
        return Interval(unscaled(float(low), exponent), unscaled(float(high), exponent), "bootstrap")
    raise ValueError(f"unknown interval method {method!r}: use 't' or 'bootstrap'")


# ---------------------------------------------------------------- summary cells


@dataclass(frozen=True)
class SummaryCell:
    """One cell of a report's summary table: the judgements of one subject by one evaluator.

    ``kind`` is "yes_no" when every value is a bool, "rating" when every value is a number
    (0-10 ratings), "other" otherwise (no values, or values of mixed or other types).
    ``estimate`` is the rate of true values or the mean rating; ``interval`` its 95%
    interval (None for "other" cells and for a single rating). ``text`` is the cell as
    the summary prints it.
    """

    subject: str
    evaluator: str
    kind: str
    n: int
    successes: Optional[int]
    estimate: Optional[float]
    interval: Optional[Interval]
    text: str


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


def cell_text(values: Sequence[Any], confidence: float = 0.95, *, rating_method: str = "t", seed: int = 0) -> str:
    """The summary text of one cell's values (see ``summary_cells``)."""
    return _cell(values, "", "", confidence, rating_method, seed).text


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
    report: "Report", confidence: float = 0.95, *, rating_method: str = "t", seed: int = 0
) -> List[SummaryCell]:
    """Every subject x evaluator cell of ``report``'s summary, subjects then evaluators in
    the report's order (names met only in records follow), with a ``confidence`` interval:
    Wilson for yes/no rates, ``rating_method`` ("t" or "bootstrap", seeded) for ratings."""
    subjects = list(dict.fromkeys([*report.subjects, *(r.subject for r in report.records)]))
    evaluators = list(dict.fromkeys([*report.evaluators, *(r.evaluator for r in report.records)]))
    values: dict = {}
    for record in report.records:
        values.setdefault((record.subject, record.evaluator), []).append(record.value)
    return [_cell(values.get((s, e), []), s, e, confidence, rating_method, seed) for s in subjects for e in evaluators]
