"""The statistics both evaluation wings use: intervals, paired tests and Holm's correction.

- Intervals (``Interval``): ``wilson_interval`` of a yes/no rate; ``mean_interval`` of a mean,
  Student's t or a seeded percentile bootstrap; ``newcombe_paired_interval`` of the
  difference of two rates measured on the same cases.
- Paired tests, two-sided, over the differences of paired values (``paired_differences``
  drops the pairs where either value is undefined): ``randomization_p`` (sign flips: exact
  when cheap, else seeded random assignments), ``paired_t_p`` (Student's t),
  ``mcnemar_exact`` (for the discordant pairs of yes/no judgements).
- ``holm``: Holm-Bonferroni adjusted p-values of a family of tests.
- Agreement between raters: ``cohen_kappa`` of two raters' confusion table, with its
  large-sample interval; ``fleiss_kappa`` of several raters' category counts per item,
  with a seeded bootstrap interval over the items.
- Distributions: ``normal_quantile``, ``t_quantile`` and ``student_t_sf``.

Only the standard library is needed but for the randomization test and the bootstrap,
which use numpy.
"""

import math
import sys
from dataclasses import dataclass
from statistics import NormalDist
from typing import TYPE_CHECKING, List, Optional, Sequence, Tuple

if TYPE_CHECKING:
    import numpy as np

__all__ = [
    "LARGE",
    "mean_of",
    "scaled",
    "unscaled",
    "EXACT_LIMIT",
    "Interval",
    "cohen_kappa",
    "fleiss_kappa",
    "holm",
    "mcnemar_exact",
    "mean_interval",
    "newcombe_paired_interval",
    "normal_quantile",
    "paired_differences",
    "paired_t_p",
    "randomization_p",
    "student_t_sf",
    "t_quantile",
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


# ---------------------------------------------------------------- Student's t


def _betacf(a: float, b: float, x: float) -> float:
    """Continued fraction of the regularized incomplete beta function (modified Lentz)."""
    tiny = 1e-300
    qab, qap, qam = a + b, a + 1.0, a - 1.0
    c, d = 1.0, 1.0 - qab * x / qap
    d = 1.0 / (d if abs(d) > tiny else tiny)
    h = d
    for m in range(1, 300):
        m2 = 2 * m
        aa = m * (b - m) * x / ((qam + m2) * (a + m2))
        d = 1.0 + aa * d
        d = 1.0 / (d if abs(d) > tiny else tiny)
        c = 1.0 + aa / c
        c = c if abs(c) > tiny else tiny
        h *= d * c
        aa = -(a + m) * (qab + m) * x / ((a + m2) * (qap + m2))
        d = 1.0 + aa * d
        d = 1.0 / (d if abs(d) > tiny else tiny)
        c = 1.0 + aa / c
        c = c if abs(c) > tiny else tiny
        delta = d * c
        h *= delta
        if abs(delta - 1.0) < 1e-15:
            break
    return h


def _betainc(a: float, b: float, x: float) -> float:
    """The regularized incomplete beta function I_x(a, b)."""
    if x <= 0.0:
        return 0.0
    if x >= 1.0:
        return 1.0
    log_front = math.lgamma(a + b) - math.lgamma(a) - math.lgamma(b) + a * math.log(x) + b * math.log1p(-x)
    front = math.exp(log_front)
    if x < (a + 1.0) / (a + b + 2.0):
        return front * _betacf(a, b, x) / a
    return 1.0 - front * _betacf(b, a, 1.0 - x) / b


def student_t_sf(t: float, df: float) -> float:
    """Two-sided tail probability P(|T| >= |t|) of Student's t with ``df`` degrees of freedom."""
    if math.isinf(t):
        return 0.0
    return min(1.0, _betainc(df / 2.0, 0.5, df / (df + t * t)))


# ---------------------------------------------------------------- paired tests


def paired_differences(a: "Sequence[float] | np.ndarray", b: "Sequence[float] | np.ndarray") -> "np.ndarray":
    """The differences ``b - a`` of paired values; a pair in which either value is undefined
    (NaN) does not take part."""
    import numpy as np

    x = np.asarray(a, dtype=float)
    y = np.asarray(b, dtype=float)
    if x.shape != y.shape or x.ndim != 1:
        raise ValueError(f"paired tests need two runs over the same items, got {x.shape} and {y.shape} values")
    d = y - x
    return d[~np.isnan(d)]


def paired_t_p(differences: "Sequence[float] | np.ndarray") -> float:
    """Two-sided p-value of Student's paired t-test of ``differences`` (n - 1 degrees of freedom).

    Differences that are all equal have no spread: p is 1 when they are all 0 and 0
    otherwise. Fewer than two differences give p = 1 (nothing can be said).
    """
    import numpy as np

    d = np.asarray(differences, dtype=float)
    n = len(d)
    if n < 2:
        return 1.0
    mean = float(d.mean())
    sd = float(d.std(ddof=1))
    if sd == 0.0 or sd < 1e-15 * max(1.0, abs(mean)):
        return 1.0 if abs(mean) < 1e-15 else 0.0
    t = mean / (sd / math.sqrt(n))
    return student_t_sf(t, n - 1)


def mcnemar_exact(f: int, g: int) -> float:
    """Two-sided p-value of the exact McNemar test for ``f`` and ``g`` discordant pairs."""
    n = f + g
    if n == 0:
        return 1.0
    k = min(f, g)
    tail = sum(math.comb(n, i) for i in range(k + 1))
    return min(1.0, 2 * tail / 2**n)


def newcombe_paired_interval(e: int, f: int, g: int, h: int, confidence: float = 0.95) -> Interval:
    """Newcombe's hybrid score interval (his method 10, no continuity correction) for the
    difference ``(e + f) / n - (e + g) / n`` of two rates measured on the same ``n`` cases:
    ``e`` true in both, ``f`` true in the first only, ``g`` in the second only, ``h`` in neither.

    With Wilson intervals ``[l1, u1]`` of ``p1 = (e + f) / n`` and ``[l2, u2]`` of
    ``p2 = (e + g) / n`` and ``phi = (e h - f g) / sqrt((e + f)(g + h)(e + g)(f + h))``
    (0 when a margin is empty)::

        low  = d - sqrt((p1 - l1)^2 - 2 phi (p1 - l1)(u2 - p2) + (u2 - p2)^2)
        high = d + sqrt((u1 - p1)^2 - 2 phi (u1 - p1)(p2 - l2) + (p2 - l2)^2)
    """
    n = e + f + g + h
    if n == 0:
        return Interval(-1.0, 1.0, "newcombe")
    p1, p2 = (e + f) / n, (e + g) / n
    w1, w2 = wilson_interval(e + f, n, confidence), wilson_interval(e + g, n, confidence)
    denominator = (e + f) * (g + h) * (e + g) * (f + h)
    phi = (e * h - f * g) / math.sqrt(denominator) if denominator else 0.0
    d = p1 - p2
    below = (p1 - w1.low) ** 2 - 2 * phi * (p1 - w1.low) * (w2.high - p2) + (w2.high - p2) ** 2
    above = (w1.high - p1) ** 2 - 2 * phi * (w1.high - p1) * (p2 - w2.low) + (p2 - w2.low) ** 2
    return Interval(max(-1.0, d - math.sqrt(max(below, 0.0))), min(1.0, d + math.sqrt(max(above, 0.0))), "newcombe")


#: Work (sums x differences, or assignments) up to which the randomization test is exact.
EXACT_LIMIT = 20_000_000


def randomization_p(differences: "Sequence[float] | np.ndarray", permutations: int = 10000, seed: int = 0) -> float:
    """Two-sided p-value of the paired randomization (sign-flip) test of ``differences``.

    Exact when cheap: all 2^m sign assignments of the m non-zero differences when
    2^m <= ``permutations``, or, for integer differences, the exact distribution of their
    signed sums. Otherwise ``permutations`` random assignments (numpy, seeded) give
    ``(hits + 1) / (permutations + 1)``.
    """
    import numpy as np

    d = np.asarray([float(x) for x in differences if x != 0], dtype=float)
    m = len(d)
    if m == 0:
        return 1.0
    observed = abs(float(d.sum()))
    tolerance = 1e-9 * max(1.0, float(np.abs(d).sum()))
    if 2**m <= max(permutations, 1):
        signs = ((np.arange(2**m)[:, None] >> np.arange(m)) & 1) * 2 - 1
        sums = np.abs(signs @ d)
        return float(np.count_nonzero(sums >= observed - tolerance)) / 2**m
    magnitudes = np.abs(d)
    if np.all(magnitudes == np.round(magnitudes)):
        total = int(magnitudes.sum())
        if total * m <= EXACT_LIMIT:
            # probabilities of every signed sum from -total to total, one difference at a time
            probs = np.zeros(2 * total + 1)
            probs[total] = 1.0
            for size in magnitudes.astype(int):
                shifted = np.zeros_like(probs)
                shifted[: len(probs) - size] += probs[size:]
                shifted[size:] += probs[: len(probs) - size]
                probs = shifted / 2.0
            sums = np.abs(np.arange(-total, total + 1))
            return float(min(1.0, probs[sums >= round(observed)].sum()))
    if permutations < 1:
        raise ValueError(f"permutations must be at least 1, got {permutations}")
    rng = np.random.default_rng(seed)
    hits, done = 0, 0
    chunk = max(1, min(permutations, 4_000_000 // m))
    while done < permutations:
        size = min(chunk, permutations - done)
        signs = rng.integers(0, 2, size=(size, m), dtype=np.int8) * 2 - 1
        hits += int(np.count_nonzero(np.abs(signs @ d) >= observed - tolerance))
        done += size
    return (hits + 1) / (permutations + 1)


def holm(p_values: Sequence[float]) -> List[float]:
    """Holm-Bonferroni adjusted p-values, in the order given."""
    p = [float(x) for x in p_values]
    m = len(p)
    adjusted = [0.0] * m
    running = 0.0
    for rank, i in enumerate(sorted(range(m), key=lambda i: p[i])):
        running = max(running, min(1.0, (m - rank) * p[i]))
        adjusted[i] = running
    return adjusted


# ---------------------------------------------------------------- agreement between raters


def cohen_kappa(table: Sequence[Sequence[int]], confidence: float = 0.95) -> Tuple[Optional[float], Optional[Interval]]:
    """Cohen's kappa of a square confusion table (one rater by rows, the other by columns)
    and its interval.

    ``kappa = (p_o - p_e) / (1 - p_e)``, ``p_o`` the observed agreement and ``p_e = sum_k
    r_k c_k`` the agreement expected from the margins; the interval is ``kappa +- z
    sqrt(var)``, clipped to [-1, 1], with the large-sample variance of Fleiss, Cohen and
    Everitt (1969)::

        var = (sum_k p_kk (1 - (r_k + c_k)(1 - kappa))^2
               + (1 - kappa)^2 sum_{j != k} p_jk (c_j + r_k)^2
               - (kappa - p_e (1 - kappa))^2) / ((1 - p_e)^2 n)

    None when the margins leave no room for agreement beyond chance (``p_e = 1``).
    """
    k = len(table)
    n = sum(sum(row) for row in table)
    if n == 0:
        return None, None
    p = [[table[i][j] / n for j in range(k)] for i in range(k)]
    rows = [sum(p[i]) for i in range(k)]
    cols = [sum(p[i][j] for i in range(k)) for j in range(k)]
    p_o = sum(p[i][i] for i in range(k))
    p_e = sum(rows[i] * cols[i] for i in range(k))
    if p_e >= 1.0 - 1e-12:
        return None, None
    kappa = (p_o - p_e) / (1.0 - p_e)
    term_a = sum(p[i][i] * (1.0 - (rows[i] + cols[i]) * (1.0 - kappa)) ** 2 for i in range(k))
    term_b = (1.0 - kappa) ** 2 * sum(p[i][j] * (cols[i] + rows[j]) ** 2 for i in range(k) for j in range(k) if i != j)
    term_c = (kappa - p_e * (1.0 - kappa)) ** 2
    variance = max(0.0, (term_a + term_b - term_c) / ((1.0 - p_e) ** 2 * n))
    half = normal_quantile(confidence) * math.sqrt(variance)
    return kappa, Interval(max(-1.0, kappa - half), min(1.0, kappa + half), "fleiss-cohen-everitt")


def _fleiss(counts: "np.ndarray", raters: int) -> "np.ndarray":
    """Fleiss' kappa of each stack of item-by-category counts in ``counts`` (shape
    (..., items, categories)); NaN where every rating falls in one category."""
    import numpy as np

    items = counts.shape[-2]
    per_item = (np.sum(counts * counts, axis=-1) - raters) / (raters * (raters - 1))
    observed = per_item.mean(axis=-1)
    shares = counts.sum(axis=-2) / (items * raters)
    expected = np.sum(shares * shares, axis=-1)
    with np.errstate(divide="ignore", invalid="ignore"):
        kappa = (observed - expected) / (1.0 - expected)
    return np.where(expected >= 1.0 - 1e-12, np.nan, kappa)


def fleiss_kappa(
    counts: Sequence[Sequence[int]], confidence: float = 0.95, *, seed: int = 0, resamples: int = 2000
) -> Tuple[Optional[float], Optional[Interval]]:
    """Fleiss' kappa of ``counts``: one row per item, how many raters put it in each category
    (every row sums to the same number of raters, at least two).

    ``kappa = (P - P_e) / (1 - P_e)``, ``P`` the mean over items of ``(sum_j n_ij^2 - m) /
    (m (m - 1))`` (m raters) and ``P_e = sum_j p_j^2``, ``p_j`` the share of all ratings in
    category j. The interval is the percentile interval of ``resamples`` kappas of items
    drawn with replacement (numpy's generator seeded by ``seed``, so the same counts give
    the same interval); resamples whose ratings all fall in one category take no part.
    None when all ratings fall in one category (kappa is undefined); no interval for a
    single item.
    """
    import numpy as np

    _check_confidence(confidence)
    table = np.asarray(counts, dtype=float)
    if table.ndim != 2 or table.shape[0] == 0:
        raise ValueError("Fleiss' kappa needs a table of items by categories with at least one item")
    raters = table.sum(axis=1)
    if np.any(raters != raters[0]) or raters[0] < 2:
        raise ValueError("Fleiss' kappa needs the same number of raters, at least two, for every item")
    m = int(raters[0])
    kappa = float(_fleiss(table, m))
    if math.isnan(kappa):
        return None, None
    n = table.shape[0]
    if n < 2:
        return kappa, None
    if resamples < 1:
        raise ValueError(f"resamples must be at least 1, got {resamples}")
    rng = np.random.default_rng(seed)
    drawn = np.empty(resamples)
    chunk = max(1, 2_000_000 // (n * table.shape[1]))
    for start in range(0, resamples, chunk):
        stop = min(resamples, start + chunk)
        drawn[start:stop] = _fleiss(table[rng.integers(0, n, size=(stop - start, n))], m)
    drawn = drawn[~np.isnan(drawn)]
    if not len(drawn):
        return kappa, None
    tail = (1.0 - confidence) / 2.0
    low, high = np.quantile(drawn, [tail, 1.0 - tail])
    return kappa, Interval(max(-1.0, float(low)), min(1.0, float(high)), "bootstrap")
