"""Concurrent runs against a local OpenAI-compatible server, with the real judge and chain."""

import json
import os
import re
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path
from typing import Any, List

import pytest
from click.testing import CliRunner

from tavrin.cli import cli
from tavrin.evaluation.qa.report import Report, journal_path

ROOT = Path(__file__).resolve().parents[3]

SUBJECT_MODULE = textwrap.dedent('''
    """A subject of the user's own: the map-reduce ask chain over the indexed source "calc"."""
    from tavrin.ask_codebase.store.qdrant import QdrantWrapper
    from tavrin.embeddings import CodeHashingEmbeddings
    from tavrin.evaluation.qa.evaluable.base import EvaluableQA


    class AskCalc(EvaluableQA):
        def __init__(self):
            from tavrin.ask_codebase.chains.sorvel import Sorvel

            self._chain = Sorvel(QdrantWrapper.reuse(source_name="calc", embedding_cls=CodeHashingEmbeddings))

        def predict(self, question):
            answer, documents = self._chain.run(question)
            return answer, [d.metadata for d in documents]
''')


def write_set(path: Path, n: int) -> str:
    cases = [{"id": f"c{i}", "question": f"Does calc {'add' if i % 2 else 'divide'} numbers (case {i})?",
              "reference_answer": "Yes" if i % 3 else "No"} for i in range(n)]
    path.write_text(json.dumps({"name": "calc", "cases": cases}), encoding="utf-8")
    return str(path)


@pytest.fixture
def user_subject(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> str:
    """The module of AskCalc on sys.path, and a small indexed source for it."""
    from tavrin.ask_codebase.store.qdrant import close_clients

    monkeypatch.setenv("TAVRIN_DATA_DIR", str(tmp_path / "data"))
    monkeypatch.delenv("TAVRIN_QDRANT_URL", raising=False)
    code = tmp_path / "calc"
    code.mkdir()
    (code / "add.py").write_text("def add(a, b):\n    return a + b\n")
    (code / "mul.py").write_text("def mul(a, b):\n    return a * b\n")
    (code / "README.md").write_text("calc: a calculator library\n")
    result = CliRunner().invoke(cli, ["index", str(code), "-s", "calc", "--embeddings", "hashing"])
    assert result.exit_code == 0, result.output
    modules = tmp_path / "modules"
    modules.mkdir()
    (modules / "my_subjects.py").write_text(SUBJECT_MODULE)
    monkeypatch.syspath_prepend(str(modules))
    monkeypatch.delitem(sys.modules, "my_subjects", raising=False)
    yield "my_subjects:AskCalc"
    close_clients()


def point_chain(monkeypatch: pytest.MonkeyPatch, server: Any) -> None:
    """The chain's chat models keep the endpoint they were built with: point them at ``server``."""
    import importlib

    sorvel = importlib.import_module("tavrin.ask_codebase.chains.sorvel")
    for model in (sorvel.Sorvel.llm, sorvel.Sorvel.reduce_llm):
        monkeypatch.setattr(model, "openai_api_base", server.base)


def outcome(path: Path) -> List[tuple]:
    return [(r.case_id, r.subject, r.evaluator, r.prediction, r.value, r.reason)
            for r in Report.load_json(path).records]


def evaluate(*args: str) -> Any:
    return CliRunner().invoke(cli, ["evaluate", *args], catch_exceptions=False)


def test_jobs_8_with_faults_equal_a_clean_sequential_run(tmp_path, llm_env, servers, user_subject, monkeypatch):
    qset = write_set(tmp_path / "set.json", 8)
    common = [qset, "-s", "YesWoman", "-s", "NoWoman", "-s", user_subject, "-e", "Correctness", "--no-cache"]

    clean = servers(name="judge")
    llm_env(clean)
    point_chain(monkeypatch, clean)
    result = evaluate(*common, "-o", str(tmp_path / "seq.json"))
    assert result.exit_code == 0, result.output

    faulty = servers(name="judge", fault_every=5, latency=0.01)
    llm_env(faulty)
    point_chain(monkeypatch, faulty)
    result = evaluate(*common, "-o", str(tmp_path / "par.json"), "--jobs", "8", "--format", "json")
    assert result.exit_code == 0, result.output

    sequential, concurrent = outcome(tmp_path / "seq.json"), outcome(tmp_path / "par.json")
    assert len(sequential) == 24 and concurrent == sequential
    assert {v for *_, v, _ in sequential} == {True, False}
    assert any(subject == "AskCalc" and prediction == "Yes" for _, subject, _, prediction, *_ in sequential)
    # every judgement exactly once: the same requests were answered, whatever failed on the way
    assert len(faulty.answered) == len(clean.answered)
    assert all(faulty.faults[kind] > 0 for kind in ("429", "500", "503", "drop")), faulty.faults
    assert faulty.peak_in_flight > 1
    report = Report.load_json(tmp_path / "par.json")
    assert report.retries == sum(faulty.faults.values())
    assert report.requests == len(faulty.answered) + report.retries and report.tokens > 0
    summary = json.loads(result.stdout)
    assert summary["retries"] == report.retries and len(summary["summary"]) == 3


def test_the_cache_keys_on_endpoint_and_model(tmp_path, llm_env, servers):
    qset = write_set(tmp_path / "set.json", 3)
    first, second = servers(name="first"), servers(name="second")
    run = ["-s", "NoWoman", "-e", "Correctness", "-o", str(tmp_path / "r.json"), "--force"]

    llm_env(first)
    assert evaluate(qset, *run).exit_code == 0
    assert {r.reason.split(":")[0] for r in Report.load_json(tmp_path / "r.json").records} == {"first"}
    asked = len(first.answered)
    assert evaluate(qset, *run).exit_code == 0  # same endpoint and model: from the cache
    assert len(first.answered) == asked

    llm_env(second)
    assert evaluate(qset, *run).exit_code == 0
    assert {r.reason.split(":")[0] for r in Report.load_json(tmp_path / "r.json").records} == {"second"}
    assert len(second.answered) == asked

    assert evaluate(qset, *run, "--judge-model", "local-judge").exit_code == 0
    assert len(second.answered) == 2 * asked
    assert {body["model"] for body in second.answered[asked:]} == {"local-judge"}


def test_a_failure_stops_the_run_with_one_clean_line_and_resume_completes_it(tmp_path, llm_env, servers):
    qset = write_set(tmp_path / "set.json", 10)
    out = tmp_path / "r.json"
    llm_env(servers(fault_every=7))
    result = evaluate(qset, "-s", "YesWoman", "-s", "NoWoman", "-e", "Correctness", "-o", str(out),
                      "--jobs", "4", "--max-retries", "0", "--no-cache")
    assert result.exit_code == 1
    report = Report.load_json(out)
    assert "\n" not in report.error_msg and "X-Secret-Header" not in report.error_msg
    assert re.fullmatch(r"\w+: .+ \(gave up after 1 attempts\)", report.error_msg), report.error_msg
    assert 0 < len(report.records) < 20 and not journal_path(out).exists()

    llm_env(servers())
    resumed = CliRunner().invoke(cli, ["resume", str(out), "--jobs", "4"])
    assert resumed.exit_code == 0, resumed.output
    assert f"Saved JSON report: {out}" in resumed.stdout
    done = Report.load_json(out)
    ids = [r.id for r in done.records]
    assert done.error_msg == "" and len(ids) == len(set(ids)) == 20
    assert [(r.case_id, r.subject) for r in done.records] == [
        (f"c{i}", s) for i in range(10) for s in ("YesWoman", "NoWoman")]


def test_keep_going_records_failed_judgements_as_errors_for_resume(tmp_path, llm_env, servers):
    qset = write_set(tmp_path / "set.json", 10)
    out = tmp_path / "r.json"
    llm_env(servers(fault_every=6))
    result = evaluate(qset, "-s", "YesWoman", "-s", "NoWoman", "-e", "Correctness", "-o", str(out),
                      "--jobs", "3", "--max-retries", "0", "--keep-going", "--no-cache")
    assert result.exit_code == 1
    report = Report.load_json(out)
    failed = sum(1 for r in report.records if r.error_msg)
    assert failed > 0 and report.error_msg == "" and len(report.records) == 20
    assert f"{failed} judgement(s) ended in an error" in result.stderr

    server = servers()
    llm_env(server)
    assert CliRunner().invoke(cli, ["resume", str(out), "-j", "2", "--no-cache"]).exit_code == 1  # errors stay
    assert server.judge_requests() == []
    assert CliRunner().invoke(cli, ["resume", str(out), "-j", "2", "--no-cache", "--retry-errors"]).exit_code == 0
    assert len(server.judge_requests()) == failed  # exactly the failed judgements were made
    done = Report.load_json(out)
    assert len(done.records) == 20 and not any(r.error_msg for r in done.records)


def test_verbose_blocks_are_printed_whole(tmp_path, llm_env, servers):
    qset = write_set(tmp_path / "set.json", 6)
    llm_env(servers(latency=0.005))
    result = evaluate(qset, "-s", "YesWoman", "-s", "NoWoman", "-e", "Correctness", "-o", str(tmp_path / "r.json"),
                      "--jobs", "6", "-v", "--no-cache")
    assert result.exit_code == 0, result.output
    blocks = result.stdout.split("\n>>>>>>>>> question ")[1:]
    assert len(blocks) == 12
    for block in blocks:
        assert re.match(r"c\d: .*\n# Ref:\n\w+\n\n===> \w+ Ans:\n\w+\n\n--- Evaluate if the answer to the question "
                        r"is correct\nCorrectness: (True|False)\nreason: .+", block), block


CHILD = "from tavrin.cli import main; main()"


def child_env():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    if "ASAN_OPTIONS" in env:  # a child that is killed or stopped is no place to hunt leaks
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    return env


def test_sigkill_mid_run_then_resume_completes_without_duplicates(tmp_path, llm_env, servers):
    qset = write_set(tmp_path / "set.json", 30)
    out = tmp_path / "r.json"
    server = servers(latency=0.03)
    llm_env(server)
    env = child_env()
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, "evaluate", qset, "-s", "YesWoman", "-s", "NoWoman", "-e", "Correctness",
         "-o", str(out), "--jobs", "8", "--no-cache", "-q"],
        env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    journal = journal_path(out)
    deadline = time.monotonic() + 60
    while child.poll() is None and time.monotonic() < deadline:
        if journal.exists() and journal.read_text().count("\n") >= 12:
            break
        time.sleep(0.01)
    assert child.poll() is None, child.communicate()
    child.send_signal(signal.SIGKILL)
    child.communicate(timeout=30)
    judged_before = len(Report.load_json(out).records)
    assert 10 < judged_before < 60

    resumed = CliRunner().invoke(cli, ["resume", str(out), "--jobs", "8", "--no-cache"])
    assert resumed.exit_code == 0, resumed.output
    report = Report.load_json(out)
    ids = [r.id for r in report.records]
    assert report.error_msg == "" and len(ids) == len(set(ids)) == 60 and not journal.exists()
    assert [(r.case_id, r.subject) for r in report.records] == [
        (f"c{i}", s) for i in range(30) for s in ("YesWoman", "NoWoman")]
    assert len(server.judge_requests()) <= 60 + 8  # at most the judgements in flight were made again


def test_sigterm_stops_a_concurrent_run_like_ctrl_c(tmp_path, llm_env, servers):
    qset = write_set(tmp_path / "set.json", 30)
    out = tmp_path / "r.json"
    llm_env(servers(latency=0.03))
    env = child_env()
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, "evaluate", qset, "-s", "YesWoman", "-e", "Correctness", "-o", str(out),
         "--jobs", "4", "--no-cache", "-q"],
        env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    journal = journal_path(out)
    deadline = time.monotonic() + 60
    while child.poll() is None and time.monotonic() < deadline:
        if journal.exists() and journal.read_text().count("\n") >= 5:
            break
        time.sleep(0.01)
    child.send_signal(signal.SIGTERM)
    stdout, stderr = child.communicate(timeout=60)
    assert child.returncode == 1, stderr
    assert "stopped early: SIGTERM" in stderr
    report = Report.load_json(out)
    assert report.error_msg == "SIGTERM" and 0 < len(report.records) < 30 and not journal.exists()


def test_subjects_of_ones_own_and_with_constructor_arguments_from_the_command_line(
        tmp_path, llm_env, servers, user_subject, monkeypatch):
    from tavrin.evaluation.qa.evaluable import base

    qset = write_set(tmp_path / "set.json", 2)
    server = servers()
    llm_env(server)
    point_chain(monkeypatch, server)
    out = tmp_path / "r.json"
    result = evaluate(qset, "-s", user_subject, "-s", "EvaluableStuffDocumentCodeQA", "--subject-option", "source=calc",
                      "--subject-option", "embedding_cls=hashing", "-e", "Correctness", "-o", str(out), "-j", "2")
    assert result.exit_code == 0, result.output
    report = Report.load_json(out)
    assert report.subjects == ["AskCalc", "EvaluableStuffDocumentCodeQA"] and len(report.records) == 4
    assert report.classes == {"subjects": {"AskCalc": user_subject}, "evaluators": {}}
    stuffed = [r for r in report.records if r.subject == "EvaluableStuffDocumentCodeQA"]
    assert [r.prediction for r in stuffed] == ["Yes", "Yes"]  # its prompt quotes add.py
    assert all(doc["source"] for r in stuffed for doc in r.documents)

    # a later process finds the subject again through the report
    monkeypatch.delitem(base._registry, "AskCalc")
    monkeypatch.delitem(sys.modules, "my_subjects")
    data = json.loads(out.read_text())
    data["records"] = [r for r in data["records"] if r["subject"] != "AskCalc"]
    out.write_text(json.dumps(data))
    resumed = CliRunner().invoke(cli, ["resume", str(out), "--subject-option", "source_name=calc",
                                       "--subject-option", "embedding_cls=hashing"])
    assert resumed.exit_code == 0, resumed.output
    assert len(Report.load_json(out).records) == 4 and "AskCalc" in base._registry


def test_ask_puts_the_map_step_in_flight_together_with_the_same_answer(tmp_path, llm_env, servers, user_subject,
                                                                      monkeypatch):
    from tavrin import _llm

    monkeypatch.setattr(_llm, "_settings", _llm.settings())
    outputs, peaks = {}, {}
    for jobs in ("1", "2", "8"):
        server = servers(name="chat", latency=0.3)
        llm_env(server)
        point_chain(monkeypatch, server)
        result = CliRunner().invoke(cli, ["ask", "Does calc add numbers?", "-s", "calc", "--embeddings", "hashing",
                                          "-j", jobs, "--max-tokens", "64"], catch_exceptions=False)
        assert result.exit_code == 0, result.output
        outputs[jobs], peaks[jobs] = result.stdout, server.peak_in_flight
        assert {body.get("max_tokens") for body in server.answered} == {64}
    assert outputs["1"] == outputs["2"] == outputs["8"] and "Sources:" in outputs["8"]
    assert (peaks["1"], peaks["2"], peaks["8"]) == (1, 2, 3)  # the three chunks' map calls, bounded by --jobs


@pytest.mark.parametrize("jobs", ["1", "4"])
def test_ctrl_c_leaves_json_on_stdout_and_no_asyncio_noise(tmp_path, llm_env, servers, jobs):
    qset = write_set(tmp_path / "set.json", 20)
    out = tmp_path / "r.json"
    server = servers(latency=0.3)
    llm_env(server)
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, "evaluate", qset, "-s", "YesWoman", "-e", "Correctness", "-o", str(out),
         "--jobs", jobs, "--no-cache", "-q", "--format", "json"],
        env=child_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    journal = journal_path(out)
    deadline = time.monotonic() + 60
    while child.poll() is None and time.monotonic() < deadline and not (journal.exists() and journal.read_text()):
        time.sleep(0.01)
    assert child.poll() is None, child.communicate()
    child.send_signal(signal.SIGINT)
    stdout, stderr = child.communicate(timeout=60)
    assert child.returncode == 1
    assert stdout, stderr
    assert json.loads(stdout)["error_msg"] == "KeyboardInterrupt"
    assert "The evaluation stopped early: KeyboardInterrupt" in stderr
    for noise in ("Event loop is closed", "Unclosed client session", "Task was destroyed", "Traceback"):
        assert noise not in stderr, stderr
