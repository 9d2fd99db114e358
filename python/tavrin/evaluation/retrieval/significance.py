"""Paired significance tests for comparing two retrievers query by query.

Both tests look at the per-query differences ``b - a`` of one metric (a query for which
either value is undefined does not take part), and are those of
``tavrin.evaluation.statistics``, which the QA comparison uses too:

- ``randomization_test``: the two-sided paired randomization (sign-flip) test. Under the
  null hypothesis the two runs are exchangeable for each query, so the sign of each
  difference is a coin flip. Exact when cheap (every assignment of signs, or the exact
  distribution of integer differences); otherwise the share of ``permutations`` random
  assignments (seeded, so repeatable) whose sum is at least as far from 0 as the observed
  one, counting the observed assignment itself: (hits + 1) / (permutations + 1).
- ``paired_t_test``: Student's paired t-test, two-sided, with n - 1 degrees of freedom.

``holm`` adjusts a family of p-values for multiple comparisons (Holm-Bonferroni).
"""

from typing import Sequence

import numpy as np

from tavrin.evaluation.statistics import holm, paired_differences, paired_t_p, randomization_p, student_t_sf

__all__ = ["randomization_test", "paired_t_test", "holm", "student_t_sf"]


def randomization_test(
    a: "Sequence[float] | np.ndarray", b: "Sequence[float] | np.ndarray", permutations: int = 10_000, seed: int = 0
) -> float:
    """Two-sided p-value of the paired randomization test of ``b`` against ``a``."""
    if permutations < 1:
        raise ValueError(f"permutations must be at least 1, got {permutations}")
    return randomization_p(paired_differences(a, b), permutations, seed)


def paired_t_test(a: "Sequence[float] | np.ndarray", b: "Sequence[float] | np.ndarray") -> float:
    """Two-sided p-value of the paired t-test of ``b`` against ``a``.

    Differences that are all equal have no spread: p is 1 when they are all 0 and 0
    otherwise. Fewer than two queries give p = 1 (nothing can be said).
    """
    return paired_t_p(paired_differences(a, b))
