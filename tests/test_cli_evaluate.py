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
    registry = dict(evaluable_base._registry, AlwaysYes=AlwaysYes, Broken=Broken)
    monkeypatch.setattr(evaluable_base, "_registry", registry)


@pytest.fixture
def fake_evaluation(monkeypatch: pytest.MonkeyPatch) -> Dict[str, Any]:
    """Stand in for the evaluation driver: record how the command calls it, write a report."""
    calls: Dict[str, Any] = {"error_msg": ""}

    class Evaluation:
        def __init__(self, test_set_path: str, subjects: List[type], evaluators: List[type]) -> None:
            QuestionSet.load_json(test_set_path)
            calls["init"] = (test_set_path, subjects, evaluators)

        def run(self, json_path: str, markdown_path: Optional[str] = None, verbose: bool = False) -> None:
            calls["run"] = {"json_path": json_path, "markdown_path": markdown_path, "verbose": verbose}
            Report(
                name="r", date="d", test_set_path="t", subjects=[], evaluators=[], records=[],
                error_msg=calls["error_msg"],
            ).dump_json(json_path)

    module = types.ModuleType("tavrin.evaluation.qa.evaluation")
    module.Evaluation = Evaluation  # type: ignore[attr-defined]
    monkeypatch.setitem(sys.modules, "tavrin.evaluation.qa.evaluation", module)
    return calls


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
    "args, fragments",
    [
        (["-s", "Nobody", "-e", "ExactMatch"], ["'-s' / '--subject'", "unknown subject 'Nobody'", "AlwaysYes", "YesWoman"]),
        (["-s", "AlwaysYes", "-e", "Nobody"], ["'-e' / '--evaluator'", "unknown evaluator 'Nobody'", "ExactMatch"]),
        (["-s", "AlwaysYes", "-e", "ExactMatch", "-o", "no/such/folder/r.json"], ["'-o' / '--output'", "does not exist"]),
        (["-s", "AlwaysYes", "-o", "r.json"], ["Missing option '-e' / '--evaluator'"]),
    ],
)
def test_bad_options_are_usage_errors(tmp_path: Path, args: List[str], fragments: List[str]) -> None:
    defaults = [] if "-o" in args else ["-o", str(tmp_path / "r.json")]
    result = CliRunner().invoke(cli, ["evaluate", EXAMPLE, *args, *defaults])
    assert result.exit_code == 2, result.output
    for fragment in fragments:
        assert fragment in result.output
    assert not (tmp_path / "r.json").exists()


def test_evaluate_hands_classes_and_paths_to_the_driver(tmp_path: Path, fake_evaluation: Dict[str, Any]) -> None:
    out, md = str(tmp_path / "r.json"), str(tmp_path / "r.md")
    args = ["evaluate", EXAMPLE, "-s", "AlwaysYes", "--subject", "Broken", "-e", "ExactMatch", "-o", out, "--markdown", md, "-v"]
    result = CliRunner().invoke(cli, args)
    assert result.exit_code == 0, result.output
    test_set, subjects, evaluators = fake_evaluation["init"]
    assert type(test_set) is str and test_set == EXAMPLE
    assert type(subjects) is list and subjects == [AlwaysYes, Broken]
    assert type(evaluators) is list and evaluators == [ExactMatch]
    assert fake_evaluation["run"] == {"json_path": out, "markdown_path": md, "verbose": True}
    assert f"Saved JSON report: {out}" in result.output


def test_evaluate_exits_with_1_and_says_how_to_resume(tmp_path: Path, fake_evaluation: Dict[str, Any]) -> None:
    fake_evaluation["error_msg"] = "model unavailable"
    out = str(tmp_path / "my report.json")
    result = CliRunner().invoke(cli, ["evaluate", EXAMPLE, "-s", "AlwaysYes", "-e", "ExactMatch", "-o", out])
    assert result.exit_code == 1
    assert "stopped early: model unavailable" in result.stderr
    assert f"tavrin resume '{out}'" in result.stderr
    assert fake_evaluation["run"]["markdown_path"] is None and fake_evaluation["run"]["verbose"] is False


def test_unloadable_question_set_is_reported_without_traceback(tmp_path: Path, fake_evaluation: Dict[str, Any]) -> None:
    bad = tmp_path / "questions.json"
    bad.write_text('{"name": "x", "cases": [{"id": "1"}]}', encoding="utf-8")
    result = CliRunner().invoke(cli, ["evaluate", str(bad), "-s", "AlwaysYes", "-e", "ExactMatch", "-o", str(tmp_path / "r.json")])
    assert result.exit_code == 1
    assert f"Error: {bad}: case 0: missing field 'question'" in result.output
    assert "run" not in fake_evaluation


def test_evaluate_end_to_end_with_the_driver(tmp_path: Path) -> None:
    pytest.importorskip("tavrin.evaluation.qa.evaluation")
    out, md = tmp_path / "r.json", tmp_path / "r.md"
    result = CliRunner().invoke(cli, ["evaluate", EXAMPLE, "-s", "AlwaysYes", "-e", "ExactMatch", "-o", str(out), "--markdown", str(md)])
    assert result.exit_code == 0, result.output
    report = Report.load_json(out)
    assert report.error_msg == "" and len(report.records) == 12
    assert "| AlwaysYes | 4/12 true |" in md.read_text(encoding="utf-8")

    failed = CliRunner().invoke(cli, ["evaluate", EXAMPLE, "-s", "AlwaysYes", "-s", "Broken", "-e", "ExactMatch", "-o", str(out)])
    assert failed.exit_code == 1
    assert "tavrin resume" in failed.stderr
    report = Report.load_json(out)
    assert report.error_msg == "model unavailable" and len(report.records) == 1
