"""Intervals, paired tests and agreement measures, each checked against scipy or statsmodels."""

import math
from typing import List, Sequence

import numpy as np
import pytest
import scipy.stats
from statsmodels.stats.contingency_tables import mcnemar
from statsmodels.stats.inter_rater import cohens_kappa
from statsmodels.stats.inter_rater import fleiss_kappa as statsmodels_fleiss_kappa
from statsmodels.stats.multitest import multipletests
from statsmodels.stats.proportion import confint_proportions_2indep, proportion_confint

from tavrin.evaluation.qa.agreement import cohen_kappa, spearman
from tavrin.evaluation.qa.compare import (
    ComparisonError, compare_reports, holm, mcnemar_exact, newcombe_paired_interval, randomization_p,
)
from tavrin.evaluation.qa.report import EvalRecord, Report
from tavrin.evaluation.qa.stats import mean_interval, summary_cells, t_quantile, wilson_interval
from tavrin.evaluation.statistics import fleiss_kappa


def report(values: Sequence, ratings: Sequence = (), *, cases: Sequence[str] = (), subject: str = "S") -> Report:
    ids = list(cases) or [str(i) for i in range(len(values))]
    records = []
    for i, case in enumerate(ids):
        records.append(EvalRecord(case_id=case, question=f"question {case}", subject=subject,
                                  prediction=f"answer {values[i]}", expected="ref", documents=[],
                                  evaluator="Correctness", value=values[i], reason=f"reason {values[i]}"))
        if ratings:
            records.append(EvalRecord(case_id=case, question=f"question {case}", subject=subject, prediction="a",
                                      expected="ref", documents=[], evaluator="Rating", value=ratings[i], reason="r"))
    evaluators = ["Correctness", "Rating"] if ratings else ["Correctness"]
    return Report(name="r", date="d", test_set_path="q.json", subjects=[subject], evaluators=evaluators,
                  records=records)


@pytest.mark.parametrize("k, n", [(7, 12), (0, 1), (1, 1), (0, 30), (30, 30), (3, 1000)])
def test_wilson_interval_matches_statsmodels(k: int, n: int) -> None:
    interval = wilson_interval(k, n)
    assert (interval.low, interval.high) == pytest.approx(proportion_confint(k, n, method="wilson"), abs=1e-12)
    assert wilson_interval(0, 0).low == 0.0 and wilson_interval(0, 0).high == 1.0


def test_t_and_bootstrap_intervals_of_a_mean() -> None:
    values = [7, 9, 3, 8, 8, 10, 6, 7, 2, 9, 8, 5]
    expected = scipy.stats.ttest_1samp(values, 0).confidence_interval(0.95)
    got = mean_interval(values)
    assert (got.low, got.high) == pytest.approx((expected.low, expected.high), rel=1e-10)
    for df in (1, 2, 11, 500):
        assert t_quantile(0.95, df) == pytest.approx(scipy.stats.t.ppf(0.975, df), rel=1e-9)
    boot = mean_interval(values, method="bootstrap", seed=3)
    assert boot == mean_interval(values, method="bootstrap", seed=3)  # seeded: repeatable
    reference = scipy.stats.bootstrap((values,), np.mean, method="percentile", n_resamples=10000,
                                      random_state=1).confidence_interval
    assert boot.low == pytest.approx(reference.low, abs=0.25) and boot.high == pytest.approx(reference.high, abs=0.25)
    with pytest.raises(ValueError, match="at least 2"):
        mean_interval([5])


def test_summary_cells_carry_the_intervals() -> None:
    cells = {c.evaluator: c for c in summary_cells(report([True] * 7 + [False] * 5, [8] * 6 + [6] * 6))}
    assert cells["Correctness"].text == "7/12 true (58%, 95% CI 32-81%)"
    assert (cells["Correctness"].kind, cells["Correctness"].successes, cells["Correctness"].n) == ("yes_no", 7, 12)
    rating = cells["Rating"]
    assert rating.kind == "rating" and rating.estimate == 7.0 and rating.interval.method == "t"
    assert rating.text == f"mean 7 of 12 (95% CI {round(rating.interval.low, 2):g} to {round(rating.interval.high, 2):g})"


# ---------------------------------------------------------------- paired tests


@pytest.mark.parametrize("f, g", [(0, 0), (5, 1), (1, 5), (12, 2), (30, 18), (0, 9)])
def test_exact_mcnemar_matches_statsmodels(f: int, g: int) -> None:
    assert mcnemar_exact(f, g) == pytest.approx(mcnemar([[10, g], [f, 10]], exact=True).pvalue, rel=1e-12)


def test_newcombe_paired_interval() -> None:
    # uncorrelated ratings (eh = fg): the paired interval is Newcombe's square-and-add interval
    # for two independent rates
    got = newcombe_paired_interval(4, 2, 6, 3)
    assert (got.low, got.high) == pytest.approx(
        confint_proportions_2indep(6, 15, 10, 15, method="newcomb", compare="diff"), abs=1e-12)
    # correlated: the same construction with phi = the correlation of the two yes/no vectors
    e, f, g, h = 30, 9, 3, 8
    first = np.array([1] * e + [1] * f + [0] * g + [0] * h)
    second = np.array([1] * e + [0] * f + [1] * g + [0] * h)
    phi = np.corrcoef(first, second)[0, 1]
    n = len(first)
    p1, p2 = first.mean(), second.mean()
    l1, u1 = proportion_confint(first.sum(), n, method="wilson")
    l2, u2 = proportion_confint(second.sum(), n, method="wilson")
    low = p1 - p2 - math.sqrt((p1 - l1) ** 2 - 2 * phi * (p1 - l1) * (u2 - p2) + (u2 - p2) ** 2)
    high = p1 - p2 + math.sqrt((u1 - p1) ** 2 - 2 * phi * (u1 - p1) * (p2 - l2) + (p2 - l2) ** 2)
    got = newcombe_paired_interval(e, f, g, h)
    assert (got.low, got.high) == pytest.approx((low, high), abs=1e-12)
    assert got.low < (f - g) / n < got.high


def _scipy_randomization(d: Sequence[float], resamples: int) -> float:
    d = np.asarray(d, dtype=float)
    return scipy.stats.permutation_test((d, np.zeros_like(d)), lambda x, y: np.mean(x - y), permutation_type="samples",
                                        n_resamples=resamples, random_state=0).pvalue


def test_randomization_test_exact_paths_match_scipy() -> None:
    rng = np.random.default_rng(7)
    small = rng.integers(-3, 4, 9)
    assert randomization_p(small) == pytest.approx(_scipy_randomization(small, 2**9), rel=1e-12)
    # 18 whole-number differences: exact through the distribution of the signed sum
    whole = rng.integers(-2, 5, 18)
    assert randomization_p(whole, permutations=100) == pytest.approx(_scipy_randomization(whole, 2**18), rel=1e-9)
    # fractional differences with 2^m > permutations: seeded random assignments, near the exact value
    fractional = rng.normal(0.4, 1.0, 16)
    estimate = randomization_p(fractional, permutations=20000, seed=1)
    assert estimate == randomization_p(fractional, permutations=20000, seed=1)
    assert estimate == pytest.approx(_scipy_randomization(fractional, 2**16), abs=0.01)


def test_holm_matches_statsmodels() -> None:
    p = [0.01, 0.04, 0.03, 0.005, 0.5, 0.04]
    assert holm(p) == pytest.approx(list(multipletests(p, method="holm")[1]), abs=1e-15)


def test_identical_reports_give_p_1_and_no_flips() -> None:
    a = report([True, False] * 10, [7, 3, 9, 5] * 5)
    comparison = compare_reports([a, a], ["a.json", "again.json"])
    assert [(row.p_value, row.p_holm, row.direction, row.flips, row.difference) for row in comparison.rows] == [
        (1.0, 1.0, "same", [], 0.0)] * 2
    assert comparison.overlap == 20 and comparison.only_in == {"a.json": 0, "again.json": 0}


def test_a_clear_improvement_is_significant_and_lists_the_flips() -> None:
    a = report([False] * 15 + [True] * 5, [3] * 10 + [4] * 10)
    b = report([True] * 18 + [False] * 2, [8] * 19 + [2])
    comparison = compare_reports([a, b], ["a.json", "b.json"])
    yes_no, rating = comparison.rows
    assert yes_no.table == (3, 15, 2, 0) and yes_no.difference == pytest.approx(0.65)
    assert yes_no.p_value == pytest.approx(mcnemar([[0, 2], [15, 3]], exact=True).pvalue)
    assert yes_no.p_value < 0.01 and rating.p_value < 0.01
    assert yes_no.p_holm == pytest.approx(multipletests([yes_no.p_value, rating.p_value], method="holm")[1][0])
    assert (yes_no.direction, rating.direction) == ("better", "better")
    assert len(yes_no.flips) == 17 and {f.case_id for f in yes_no.flips if f.after.value is False} == {"18", "19"}
    flip = yes_no.flips[0]
    assert (flip.before.prediction, flip.after.prediction) == ("answer False", "answer True")
    assert [f.case_id for f in rating.flips] == [str(i) for i in range(20)]  # largest change first: +5, +4, -2
    reverse = compare_reports([b, a], ["b.json", "a.json"])
    assert [row.direction for row in reverse.rows] == ["worse", "worse"]


def test_reports_of_different_question_sets() -> None:
    a = report([True] * 4, cases=["1", "2", "3", "4"])
    b = report([True] * 3, cases=["2", "3", "5"])
    with pytest.raises(ComparisonError, match=r"judged different cases \(2 in common, 2 only in a.json, 1 only in b.json\)"):
        compare_reports([a, b], ["a.json", "b.json"])
    subset = compare_reports([a, b], ["a.json", "b.json"], allow_subset=True)
    assert (subset.overlap, subset.only_in, subset.rows[0].n_pairs) == (2, {"a.json": 2, "b.json": 1}, 2)
    other = report([True] * 4, cases=["1", "2", "3", "4"])
    other.records[0] = EvalRecord(case_id="1", question="another question", subject="S", prediction="x",
                                  expected="ref", documents=[], evaluator="Correctness", value=True, reason="")
    with pytest.raises(ComparisonError, match="different questions under case 1"):
        compare_reports([a, other], ["a.json", "other.json"], allow_subset=True)
    with pytest.raises(ComparisonError, match="no subject and evaluator in common"):
        compare_reports([a, report([True] * 4, cases=["1", "2", "3", "4"], subject="T")], ["a", "t"])


# ---------------------------------------------------------------- agreement


@pytest.mark.parametrize("table", [[[20, 5], [10, 15]], [[30, 2], [4, 1]], [[12, 3, 1], [2, 9, 4], [0, 3, 11]]])
def test_cohen_kappa_matches_statsmodels(table: List[List[int]]) -> None:
    kappa, interval = cohen_kappa(table)
    reference = cohens_kappa(np.array(table))
    assert kappa == pytest.approx(reference.kappa, abs=1e-12)
    assert (interval.low, interval.high) == pytest.approx((reference.kappa_low, reference.kappa_upp), abs=1e-12)
    assert cohen_kappa([[5, 0], [0, 0]]) == (None, None)  # one category on both sides: kappa is undefined


@pytest.mark.parametrize("counts", [
    [[3, 0], [2, 1], [1, 2], [0, 3], [3, 0], [0, 3]],  # three raters, yes/no
    [[1, 2, 0, 1], [0, 4, 0, 0], [1, 1, 1, 1], [4, 0, 0, 0], [0, 0, 2, 2], [0, 1, 0, 3]],  # four raters, 4 ratings
])
def test_fleiss_kappa_matches_statsmodels_with_a_seeded_bootstrap_interval(counts: List[List[int]]) -> None:
    kappa, interval = fleiss_kappa(counts)
    assert kappa == pytest.approx(statsmodels_fleiss_kappa(np.array(counts), method="fleiss"), abs=1e-12)
    assert interval.method == "bootstrap" and -1.0 <= interval.low < kappa < interval.high <= 1.0
    assert fleiss_kappa(counts) == (kappa, interval) and fleiss_kappa(counts, seed=1)[1] != interval
    assert fleiss_kappa([[3, 0], [3, 0]]) == (None, None)  # every rating alike: kappa is undefined
    with pytest.raises(ValueError, match="same number of raters"):
        fleiss_kappa([[3, 0], [1, 1]])


def test_spearman_with_ties_matches_scipy() -> None:
    human = [7, 8, 8, 2, 5, 10, 7, 3, 3, 9]
    judge = [6, 9, 7, 1, 5, 10, 8, 5, 2, 9]
    assert spearman(human, judge) == pytest.approx(scipy.stats.spearmanr(human, judge).statistic, abs=1e-12)
    assert spearman([5, 5, 5], [1, 2, 3]) is None
