"""Juries of judge models, run against a local server whose judges disagree in known ways."""

import importlib
import json
from itertools import combinations
from pathlib import Path
from typing import Any, List

import pytest
from click.testing import CliRunner
from statsmodels.stats.inter_rater import aggregate_raters, cohens_kappa, fleiss_kappa

from tavrin.cli import cli
from tavrin.evaluation.qa.evaluator.judge_model import JUDGE_PROGRAMS
from tavrin.evaluation.qa.jury import jury_value
from tavrin.evaluation.qa.report import EvalRecord, Report, ReportError
from tavrin.evaluation.qa.report.schema import record_from_dict

JUDGES = ["judge-a", "judge-b", "judge-c"]
# the judge named "judge-x" finds the answer correct when x is in the reference answer
REFERENCES = ["abc", "cab", "ab", "a", "-", "bc", "c", "bca", "b", "--"]
JURY = [arg for model in JUDGES for arg in ("--judge-model", model)]



def cohen_kappa_score(a: Any, b: Any) -> float:
    """Cohen's kappa of two raters' labels, by statsmodels (from their contingency table)."""
    labels = sorted(set(a) | set(b), key=repr)
    table = [[sum(1 for x, y in zip(a, b) if x == p and y == q) for q in labels] for p in labels]
    return float(cohens_kappa(table).kappa)

def votes(reference: str) -> List[bool]:
    return [model[-1] in reference for model in JUDGES]


@pytest.fixture
def jury_server(tmp_path: Path, llm_env: Any, servers: Any, monkeypatch: pytest.MonkeyPatch) -> Any:
    for module, name in JUDGE_PROGRAMS.items():  # a jury redirects the judges' programs: undone afterwards
        module = importlib.import_module(module)
        monkeypatch.setattr(module, name, getattr(module, name))
    server = servers(judge_rule=lambda model, text1, text2: model[-1] in text2, latency=0.01)  # judgements overlap
    llm_env(server)
    cases = [{"id": f"c{i}", "question": f"question {i}?", "reference_answer": r} for i, r in enumerate(REFERENCES)]
    (tmp_path / "set.json").write_text(json.dumps({"name": "jury", "cases": cases}), encoding="utf-8")
    monkeypatch.chdir(tmp_path)
    return server


def invoke(*args: str) -> Any:
    return CliRunner().invoke(cli, list(args), catch_exceptions=False)


def test_a_jury_of_three_gives_each_verdict_the_majority_and_the_kappas_statsmodels_gives(jury_server: Any) -> None:
    result = invoke("evaluate", "set.json", "-s", "YesWoman", "-e", "Correctness", "-e", "ExactMatch",
                    "-o", "r.json", "-j", "4", "--format", "json", *JURY)
    assert result.exit_code == 0, result.output
    report = Report.load_json("r.json")
    assert report.judge_models == JUDGES
    judged = [r for r in report.records if r.evaluator == "Correctness"]
    for record, reference in zip(judged, REFERENCES):
        expected = votes(reference)
        # each judge was asked on its own model, however the four threads interleaved
        assert [(j["model"], j["value"]) for j in record.judges] == list(zip(JUDGES, expected))
        assert record.value is (sum(expected) >= 2)
        assert record.reason.startswith("jury of 3 judges")
    assert all(r.judges is None for r in report.records if r.evaluator == "ExactMatch")  # no judge: made once
    assert len(jury_server.judge_requests()) == len(REFERENCES) * 3

    (entry,) = json.loads(result.stdout)["jury"]
    table = [votes(r) for r in REFERENCES]
    assert [j["estimate"] for j in entry["judges"]] == pytest.approx([sum(c) / len(c) for c in zip(*table)])
    assert entry["majority"]["estimate"] == pytest.approx(sum(sum(v) >= 2 for v in table) / len(table))
    assert entry["fleiss_kappa"] == pytest.approx(fleiss_kappa(aggregate_raters(table)[0]), abs=1e-12)
    low, high = entry["fleiss_interval"]["low"], entry["fleiss_interval"]["high"]
    assert low < entry["fleiss_kappa"] < high
    columns = list(zip(*table))
    assert [p["kappa"] for p in entry["cohen"]] == pytest.approx(
        [cohen_kappa_score(columns[i], columns[j]) for i, j in combinations(range(3), 2)], abs=1e-12)

    markdown = invoke("markdown", "r.json").output
    assert "## Jury" in markdown and "Fleiss' kappa" in markdown
    # a run of one judge keeps its report and summary as they were
    assert invoke("evaluate", "set.json", "-s", "YesWoman", "-e", "Correctness", "-o", "one.json",
                  "--judge-model", "judge-a").exit_code == 0
    one = json.loads(Path("one.json").read_text(encoding="utf-8"))
    assert "judge_models" not in one and all("judges" not in r for r in one["records"])
    assert "Jury" not in invoke("markdown", "one.json").output


def test_resume_and_merge_keep_the_jury_and_refuse_another(jury_server: Any) -> None:
    assert invoke("evaluate", "set.json", "-s", "YesWoman", "-e", "Correctness", "-o", "r.json", *JURY).exit_code == 0
    full = Report.load_json("r.json")
    cut = Report.load_json("r.json")
    cut.records = cut.records[:4]  # a run stopped early
    cut.dump_json("r.json")

    for other in (["--judge-model", "judge-a"], [*JURY[2:], *JURY[:2]]):
        refused = invoke("resume", "r.json", *other)
        assert refused.exit_code == 1
        assert refused.output.strip().splitlines() == [
            "Error: r.json was judged by the jury judge-a, judge-b, judge-c; "
            "resume it with no --judge-model or with those, in that order"]
    assert invoke("resume", "r.json").exit_code == 0
    resumed = Report.load_json("r.json")
    assert resumed.judge_models == JUDGES and resumed.records == full.records

    assert invoke("merge", "r.json", "r.json", "-o", "m.json").exit_code == 0
    assert Report.load_json("m.json").judge_models == JUDGES
    cut.judge_models = ["judge-a", "judge-b"]
    cut.dump_json("other.json")
    refused = invoke("merge", "r.json", "other.json", "-o", "m2.json")
    assert refused.exit_code == 1 and "different juries of judge models" in refused.output

    assert invoke("evaluate", "set.json", "-s", "YesWoman", "-e", "Correctness", "-o", "one.json").exit_code == 0
    refused = invoke("resume", "one.json", *JURY)
    assert refused.exit_code == 1 and "was judged by one judge model; a jury cannot continue it" in refused.output
    twice = invoke("evaluate", "set.json", "-s", "YesWoman", "-e", "Correctness", "-o", "x.json",
                   "--judge-model", "m", "--judge-model", "m")
    assert twice.exit_code == 1 and "names m twice" in twice.output and not Path("x.json").exists()


def test_judge_agreement_scores_each_judge_and_the_majority(jury_server: Any) -> None:
    assert invoke("evaluate", "set.json", "-s", "YesWoman", "-e", "Correctness", "-o", "r.json", *JURY).exit_code == 0
    human = ["a" in r for r in REFERENCES]  # the humans side with judge-a
    Path("labels.jsonl").write_text("".join(
        json.dumps({"case_id": f"c{i}", "subject": "YesWoman", "label": label}) + "\n" for i, label in enumerate(human)))
    result = invoke("judge-agreement", "r.json", "labels.jsonl", "--format", "json")
    assert result.exit_code == 0, result.output
    rows = {row["report"]: row for row in json.loads(result.stdout)["rows"]}
    assert list(rows) == [f"r.json [{m}]" for m in JUDGES] + ["r.json [majority]"]
    for model, column in zip(JUDGES, zip(*(votes(r) for r in REFERENCES))):
        assert rows[f"r.json [{model}]"]["accuracy"] == pytest.approx(
            sum(h == j for h, j in zip(human, column)) / len(human))
    assert rows["r.json [judge-a]"]["kappa"] == 1.0
    majority = [sum(votes(r)) >= 2 for r in REFERENCES]
    assert rows["r.json [majority]"]["accuracy"] == pytest.approx(
        sum(h == m for h, m in zip(human, majority)) / len(human))


def test_the_jury_value_and_the_judges_field_of_a_record() -> None:
    assert [jury_value(v) for v in ([True, False], [True, True, False], [False, False, True])] == [False, True, False]
    assert (jury_value([7, 3, 9]), jury_value([6, 7]), jury_value(["x", "x", "y"]), jury_value(["x", "y"])) == (
        7, 6.5, "x", None)

    judges = [{"model": "a", "value": True, "reason": "r"}, {"model": "b", "value": False, "reason": ""}]
    record = EvalRecord(case_id="1", question="q", subject="S", prediction="p", expected="e", documents=[],
                        evaluator="Correctness", value=False, reason="tie", judges=judges)
    raw = record.to_dict()
    assert list(raw)[-1] == "judges" and record_from_dict(raw, "r.json: record 0") == record
    plain = EvalRecord(case_id="1", question="q", subject="S", prediction="p", expected="e", documents=[],
                       evaluator="Correctness", value=False, reason="")
    assert "judges" not in plain.to_dict() and record_from_dict(plain.to_dict(), "w").judges is None
    for bad, message in ((["a"], "entry 0 must be an object"), ([{"value": 1, "reason": ""}], "missing field 'model'"),
                         ([{"model": "a", "value": 1}], "missing field 'reason'"), ({}, "must be an array")):
        with pytest.raises(ReportError, match=f"r.json: record 0: field 'judges'.*{message}"):
            record_from_dict({**raw, "judges": bad}, "r.json: record 0")


def test_a_jury_of_ratings_takes_the_median_and_treats_ratings_as_categories() -> None:
    from tavrin.evaluation.qa.jury import jury_summary

    ratings = [[7, 7, 8], [3, 5, 3], [9, 9, 9], [5, 6, 8], [7, 8, 7], [2, 2, 2]]
    records = [EvalRecord(case_id=str(i), question=f"q{i}", subject="S", prediction="p", expected="e", documents=[],
                          evaluator="Rating", value=jury_value(votes), reason="",
                          judges=[{"model": m, "value": v, "reason": ""} for m, v in zip(JUDGES, votes)])
               for i, votes in enumerate(ratings)]
    report = Report(name="r", date="d", test_set_path="t", subjects=["S"], evaluators=["Rating"], records=records)
    (entry,) = jury_summary(report)
    assert entry["kind"] == "rating" and [r.value for r in records] == [7, 3, 9, 6, 7, 2]
    assert [j["estimate"] for j in entry["judges"]] == pytest.approx([5.5, 37 / 6, 37 / 6], abs=1e-4)
    assert entry["fleiss_kappa"] == pytest.approx(fleiss_kappa(aggregate_raters(ratings)[0]), abs=1e-12)
    columns = list(zip(*ratings))
    assert entry["cohen"][0]["kappa"] == pytest.approx(cohen_kappa_score(columns[0], columns[1]), abs=1e-12)
