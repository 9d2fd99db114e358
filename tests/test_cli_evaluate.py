import json
import sys
import types
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

import click
import pytest
from click.testing import CliRunner

from tavrin import cli as cli_module
from tavrin.cli import cli
from tavrin.evaluation.qa.evaluable import base as evaluable_base
from tavrin.evaluation.qa.evaluable.base import EvaluableQA
from tavrin.evaluation.qa.evaluator.exact_match import ExactMatch
from tavrin.evaluation.qa.question_set import QuestionSet
from tavrin.evaluation.qa.report import Report

EXAMPLE = str(Path(__file__).resolve().parents[1] / "examples" / "questions.json")


class AlwaysYes(EvaluableQA):
    def predict(self, question: str) -> Tuple[str, list]:
        return "Yes", []


class Broken(EvaluableQA):
    def predict(self, question: str) -> Tuple[str, list]:
        raise RuntimeError("model unavailable")


@pytest.fixture(autouse=True)
def registered_subjects(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setitem(evaluable_base._registry, "AlwaysYes", AlwaysYes)
    monkeypatch.setitem(evaluable_base._registry, "Broken", Broken)


def test_group_offers_evaluate_and_imports_other_commands_on_use(monkeypatch: pytest.MonkeyPatch) -> None:
    assert set(cli_module.COMMAND_MODULES) >= {"resume", "markdown"}

    @click.command()
    def hello() -> None:
        """Say hello."""
        click.echo("hello from a module")

    module = types.ModuleType("fake_commands")
    module.hello = hello  # type: ignore[attr-defined]
    monkeypatch.setitem(sys.modules, "fake_commands", module)
    monkeypatch.setattr(cli_module, "COMMAND_MODULES", {"hello": ("fake_commands", "hello")})
    monkeypatch.setattr(cli, "commands", dict(cli.commands))

    runner = CliRunner()
    result = runner.invoke(cli, ["--help"])
    assert result.exit_code == 0, result.output
    assert "answer questions about a codebase" in result.output
    assert "evaluate" in result.output and "hello" in result.output
    assert runner.invoke(cli, ["hello"]).output == "hello from a module\n"
    assert runner.invoke(cli, ["--version"]).output.strip().endswith("0.1.0")


@pytest.mark.parametrize(
    "args, message",
    [
        (["-s", "Nobody", "-e", "ExactMatch"], "unknown subject 'Nobody'; known subjects: "),
        (["-s", "AlwaysYes", "-e", "Nobody"], "unknown evaluator 'Nobody'; known evaluators: "),
        (["-s", "AlwaysYse", "-e", "ExactMatch"], "unknown subject 'AlwaysYse' (did you mean 'AlwaysYes'?); known"),
        (["-s", "AlwaysYes", "-e", "exactmatch"], "unknown evaluator 'exactmatch' (did you mean 'ExactMatch'?); known"),
        (["-s", "AlwaysYes", "-e", "ExactMatch", "-o", "no/such/folder/r.json"], "folder 'no/such/folder' does not exist"),
        (["-s", "AlwaysYes", "-e", "ExactMatch", "--jobs", "0"], "--jobs must be at least 1, got 0"),
        (["-s", "AlwaysYes", "-e", "ExactMatch", "-j", "-3"], "--jobs must be at least 1, got -3"),
        (["-s", "AlwaysYes", "-e", "ExactMatch", "--shard", "3/2"], "--shard '3/2': write K/N"),
        (["-s", "AlwaysYes", "-e", "ExactMatch", "--shard", "x"], "--shard 'x': write K/N"),
        (["-s", "collections:OrderedDict", "-e", "ExactMatch"], "subject 'collections:OrderedDict' is not a subclass of EvaluableQA"),
        (["-s", "no_such_module_x:Cls", "-e", "ExactMatch"], "cannot import 'no_such_module_x'"),
        (["-s", "AlwaysYes", "-e", "tavrin.evaluation.qa.evaluator.exact_match:Nothing"], "has no 'Nothing'"),
        (["-s", "AlwaysYes", "-e", "tavrin.evaluation.qa.evaluable.base:EvaluableQA"], "is not a subclass of Evaluator"),
        (["-s", "EvaluableStuffDocumentCodeQA", "-e", "ExactMatch"],
         "subject EvaluableStuffDocumentCodeQA needs constructor argument(s) source_name, embedding_cls: "
         "pass --subject-option source_name=VALUE --subject-option embedding_cls=VALUE"),
        (["-s", "AlwaysYes", "-e", "ExactMatch", "--subject-option", "colour=red"], "--subject-option colour: no subject takes"),
    ],
)
def test_bad_options_are_one_line_errors(tmp_path: Path, args: List[str], message: str) -> None:
    defaults = [] if "-o" in args else ["-o", str(tmp_path / "r.json")]
    result = CliRunner().invoke(cli, ["evaluate", EXAMPLE, *args, *defaults])
    assert result.exit_code == 1, result.output
    assert result.stderr.startswith("Error: ") and result.stderr.count("\n") == 1, result.stderr
    assert message in result.stderr
    assert list(tmp_path.iterdir()) == []


def test_a_missing_option_is_a_usage_error(tmp_path: Path) -> None:
    result = CliRunner().invoke(cli, ["evaluate", EXAMPLE, "-s", "AlwaysYes", "-o", str(tmp_path / "r.json")])
    assert result.exit_code == 2 and "Missing option '-e' / '--evaluator'" in result.output


def test_evaluate_verbose_run_writes_both_reports_and_a_summary(tmp_path: Path) -> None:
    out, md = str(tmp_path / "r.json"), str(tmp_path / "r.md")
    args = ["evaluate", EXAMPLE, "-s", "AlwaysYes", "-e", "ExactMatch", "-o", out, "--markdown", md, "-v"]
    result = CliRunner().invoke(cli, args)
    assert result.exit_code == 0, result.output
    assert ">>>>>>>>> question 1: Is Python dynamically typed?" in result.stdout
    assert f"Saved JSON report: {out}" in result.stdout and f"Saved Markdown report: {md}" in result.stdout
    assert "AlwaysYes  4/12 true" in result.stdout and "12 judgement(s)" in result.stdout
    report = Report.load_json(out)
    assert report.test_set_path == EXAMPLE and report.subjects == ["AlwaysYes"] and report.evaluators == ["ExactMatch"]
    assert (report.requests, report.retries, report.tokens) == (0, 0, 0)
    assert "| AlwaysYes | 4/12 true (33%, 95% CI 14-61%) |" in Path(md).read_text(encoding="utf-8")


def test_evaluate_exits_with_1_and_says_how_to_resume(tmp_path: Path) -> None:
    out = str(tmp_path / "my report.json")
    result = CliRunner().invoke(cli, ["evaluate", EXAMPLE, "-s", "Broken", "-e", "ExactMatch", "-o", out])
    assert result.exit_code == 1
    assert "stopped early: model unavailable" in result.stderr
    assert f"tavrin resume '{out}'" in result.stderr
    assert "Error when predicting. Raise by Broken on 1" in result.stdout


@pytest.mark.parametrize("jobs", ["1", "3"])
def test_evaluate_learns_how_the_run_ended_without_reading_the_report_back(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, jobs: str
) -> None:
    out = str(tmp_path / "r.json")
    real_load = Report.load_json
    monkeypatch.setattr(Report, "load_json", classmethod(lambda cls, path: pytest.fail(f"read back {path}")))
    result = CliRunner().invoke(cli, ["evaluate", EXAMPLE, "-s", "Broken", "-e", "ExactMatch", "-o", out, "-j", jobs])
    assert result.exit_code == 1, result.output
    assert "stopped early: model unavailable" in result.stderr
    report = real_load(out)
    assert report.error_msg == "model unavailable" and report.requests == 0


def test_unloadable_question_set_is_reported_without_traceback(tmp_path: Path) -> None:
    bad = tmp_path / "questions.json"
    bad.write_text('{"name": "x", "cases": [{"id": "1"}]}', encoding="utf-8")
    result = CliRunner().invoke(cli, ["evaluate", str(bad), "-s", "AlwaysYes", "-e", "ExactMatch", "-o", str(tmp_path / "r.json")])
    assert result.exit_code == 1
    assert f"Error: {bad}: case 1: missing field 'question'" in result.output
    assert not (tmp_path / "r.json").exists()


def test_an_existing_report_is_kept_unless_forced(tmp_path: Path) -> None:
    out = tmp_path / "r.json"
    out.write_text("precious", encoding="utf-8")
    args = ["evaluate", EXAMPLE, "-s", "AlwaysYes", "-e", "ExactMatch", "-o", str(out)]
    refused = CliRunner().invoke(cli, args)
    assert refused.exit_code == 1 and f"`tavrin resume {out}` continues that run, --force replaces it" in refused.stderr
    assert out.read_text(encoding="utf-8") == "precious"
    forced = CliRunner().invoke(cli, [*args, "--force"])
    assert forced.exit_code == 0, forced.output
    assert len(Report.load_json(out).records) == 12


def test_shards_split_the_cases_and_merge_back_into_the_whole(tmp_path: Path) -> None:
    whole = tmp_path / "whole.json"
    assert CliRunner().invoke(cli, ["evaluate", EXAMPLE, "-s", "AlwaysYes", "-e", "ExactMatch", "-o", str(whole)]).exit_code == 0
    parts = []
    for k in (1, 2, 3):
        part = tmp_path / f"part{k}.json"
        result = CliRunner().invoke(cli, ["evaluate", EXAMPLE, "-s", "AlwaysYes", "-e", "ExactMatch", "-o", str(part),
                                          "--shard", f"{k}/3", "--format", "json"])
        assert result.exit_code == 0, result.output
        summary = json.loads(result.stdout)
        assert summary["report"] == str(part) and summary["summary"][0]["missing"] == 0
        assert Report.load_json(part).shard == f"{k}/3"
        parts.append(str(part))
    sizes = [len(Report.load_json(p).records) for p in parts]
    assert sum(sizes) == 12 and all(0 < n < 12 for n in sizes)
    merged = tmp_path / "all.json"
    result = CliRunner().invoke(cli, ["merge", *parts, "-o", str(merged)])
    assert result.exit_code == 0, result.output
    joined, reference = Report.load_json(merged), Report.load_json(whole)
    assert [r.to_dict() for r in joined.records] == [r.to_dict() for r in reference.records]
    assert joined.error_msg == "" and joined.shard is None


def test_merge_refuses_reports_of_other_runs_and_conflicting_judgements(tmp_path: Path) -> None:
    a, b = tmp_path / "a.json", tmp_path / "b.json"
    assert CliRunner().invoke(cli, ["evaluate", EXAMPLE, "-s", "AlwaysYes", "-e", "ExactMatch", "-o", str(a)]).exit_code == 0
    report = Report.load_json(a)
    report.subjects = ["Other"]
    report.dump_json(b)
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
    out = tmp_path / "all.json"
    result = CliRunner().invoke(cli, ["merge", str(a), str(b), "-o", str(out)])
    assert result.exit_code == 1 and "have different subjects" in result.stderr and result.stderr.count("\n") == 1

    report = Report.load_json(a)
    first = report.records[0]
    report.records = [type(first)(**{**{k: v for k, v in first.to_dict().items() if k != "id"}, "value": not first.value})]
    report.dump_json(b)
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
    result = CliRunner().invoke(cli, ["merge", str(a), str(b), "-o", str(out)])
    assert result.exit_code == 1 and "with different values" in result.stderr
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == before


def test_evaluate_end_to_end_with_the_driver(tmp_path: Path) -> None:
    out, md = tmp_path / "r.json", tmp_path / "r.md"
    result = CliRunner().invoke(cli, ["evaluate", EXAMPLE, "-s", "AlwaysYes", "-e", "ExactMatch", "-o", str(out), "--markdown", str(md)])
    assert result.exit_code == 0, result.output
    report = Report.load_json(out)
    assert report.error_msg == "" and len(report.records) == 12
    assert "| AlwaysYes | 4/12 true (33%, 95% CI 14-61%) |" in md.read_text(encoding="utf-8")

    failed = CliRunner().invoke(cli, ["evaluate", EXAMPLE, "-s", "AlwaysYes", "-s", "Broken", "-e", "ExactMatch", "-o", str(out), "--force"])
    assert failed.exit_code == 1
    assert "tavrin resume" in failed.stderr
    report = Report.load_json(out)
    assert report.error_msg == "model unavailable" and len(report.records) == 1


def test_help_lists_the_known_names_and_entry_points_offer_more(monkeypatch: pytest.MonkeyPatch) -> None:
    from importlib import metadata

    entry = metadata.EntryPoint(name="FromAPackage", value=f"{__name__}:AlwaysYes", group="tavrin.subjects")
    monkeypatch.setattr(evaluable_base, "_entry_points", lambda: {"FromAPackage": entry})
    monkeypatch.setitem(sys.modules, __name__, sys.modules[AlwaysYes.__module__])
    help_text = " ".join(CliRunner().invoke(cli, ["evaluate", "--help"]).output.split())
    subjects = help_text.split("Known subjects: ")[1].split(".")[0].split(", ")
    evaluators = help_text.split("Known evaluators: ")[1].split(".")[0].split(", ")
    assert {"AlwaysYes", "EvaluableStuffDocumentCodeQA", "FromAPackage", "Mundle", "YesWoman"} <= set(subjects)
    assert {"Correctness", "ExactMatch"} <= set(evaluators)
    assert evaluable_base.get_evaluable_from_name("FromAPackage") is AlwaysYes


def test_reports_are_written_through_symbolic_links(tmp_path: Path) -> None:
    report = Report(name="r", date="d", test_set_path="t", subjects=[], evaluators=[], records=[])
    target = tmp_path / "target.json"
    target.write_text("old")
    (tmp_path / "link.json").symlink_to(target)
    report.dump_json(tmp_path / "link.json")
    report.dump_md(tmp_path / "link.json")
    assert (tmp_path / "link.json").is_symlink() and target.read_text(encoding="utf-8") == report.to_markdown()
