"""Paired significance tests for comparing two retrievers query by query.

Both tests look at the per-query differences ``b - a`` of one metric:

- ``randomization_test``: the two-sided paired randomization (permutation) test. Under
  the null hypothesis the two runs are exchangeable for each query, so the sign of each
  difference is a coin flip; the p-value is the share of random sign assignments whose
  mean difference is at least as far from 0 as the observed one, counting the observed
  assignment itself: (hits + 1) / (permutations + 1). Fixed seed, so it is repeatable.
- ``paired_t_test``: Student's paired t-test, two-sided, with n - 1 degrees of freedom.

``holm`` adjusts a family of p-values for multiple comparisons (Holm-Bonferroni).
"""

import math
from typing import List, Sequence

import numpy as np

__all__ = ["randomization_test", "paired_t_test", "holm", "student_t_sf"]


def _differences(a: "Sequence[float] | np.ndarray", b: "Sequence[float] | np.ndarray") -> np.ndarray:
    x = np.asarray(a, dtype=float)
    y = np.asarray(b, dtype=float)
    if x.shape != y.shape or x.ndim != 1:
        raise ValueError(f"paired tests need two runs over the same queries, got {x.shape} and {y.shape} values")
    d = y - x
    return d[~np.isnan(d)]  # a query for which either value is undefined does not take part


def randomization_test(
    a: "Sequence[float] | np.ndarray", b: "Sequence[float] | np.ndarray", permutations: int = 10_000, seed: int = 0
) -> float:
    """Two-sided p-value of the paired randomization test of ``b`` against ``a``."""
    if permutations < 1:
        raise ValueError(f"permutations must be at least 1, got {permutations}")
    d = _differences(a, b)
    n = len(d)
    if n == 0:
        return 1.0
    observed = abs(d.mean())
    # sums compared with a little slack, so that rounding does not decide ties
    tolerance = 1e-12 * max(1.0, float(np.abs(d).sum()))
    rng = np.random.default_rng(seed)
    hits = 0
    chunk = max(1, min(permutations, 4_000_000 // max(n, 1)))
    done = 0
    while done < permutations:
        m = min(chunk, permutations - done)
        signs = rng.integers(0, 2, size=(m, n), dtype=np.int8) * 2 - 1
        means = np.abs(signs @ d) / n
        hits += int(np.count_nonzero(means >= observed - tolerance / n))
        done += m
    return (hits + 1) / (permutations + 1)


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


def paired_t_test(a: "Sequence[float] | np.ndarray", b: "Sequence[float] | np.ndarray") -> float:
    """Two-sided p-value of the paired t-test of ``b`` against ``a``.

    Differences that are all equal have no spread: p is 1 when they are all 0 and 0
    otherwise. Fewer than two queries give p = 1 (nothing can be said).
    """
    d = _differences(a, b)
    n = len(d)
    if n < 2:
        return 1.0
    mean = float(d.mean())
    sd = float(d.std(ddof=1))
    if sd == 0.0 or sd < 1e-15 * max(1.0, abs(mean)):
        return 1.0 if abs(mean) < 1e-15 else 0.0
    t = mean / (sd / math.sqrt(n))
    return student_t_sf(t, n - 1)


def holm(p_values: Sequence[float]) -> List[float]:
    """Holm-Bonferroni adjusted p-values, in the order given."""
    p = [float(x) for x in p_values]
    m = len(p)
    order = sorted(range(m), key=lambda i: p[i])
    adjusted = [0.0] * m
    running = 0.0
    for rank, i in enumerate(order):
        running = max(running, min(1.0, (m - rank) * p[i]))
        adjusted[i] = running
    return adjusted
