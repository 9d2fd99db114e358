"""Runs that overlap or die: one writer per report at a time, and what the model service
was asked is counted across a kill."""

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path
from typing import Any, List

from click.testing import CliRunner

from tavrin.cli import cli
from tavrin.evaluation.qa.report import Report, journal_path


def _write_set(path: Path, n: int) -> None:
    cases = [{"id": f"c{i}", "question": f"Does calc add numbers (case {i})?",
              "reference_answer": "Yes" if i % 2 else "No"} for i in range(n)]
    path.write_text(json.dumps({"name": "calc", "cases": cases}), encoding="utf-8")


def _tavrin(*args: str, cwd: Path) -> "subprocess.Popen[str]":
    return subprocess.Popen([sys.executable, "-m", "tavrin", *args], cwd=cwd, env=dict(os.environ),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def _journal_lines(path: Path) -> int:
    try:
        return path.read_text(encoding="utf-8").count("\n")
    except FileNotFoundError:
        return 0


def _kill_after(proc: "subprocess.Popen[str]", journal: Path, lines: int) -> None:
    deadline = time.monotonic() + 60
    while proc.poll() is None and _journal_lines(journal) < lines and time.monotonic() < deadline:
        time.sleep(0.01)
    assert proc.poll() is None, proc.communicate()
    proc.send_signal(signal.SIGKILL)
    proc.communicate(timeout=60)


def test_usage_of_a_killed_run_is_kept_and_added_to_by_the_resume(tmp_path: Path, llm_env: Any,
                                                                    servers: Any) -> None:
    server = servers(latency=0.01, fault_every=4)
    llm_env(server)
    _write_set(tmp_path / "set.json", 16)
    child = _tavrin("evaluate", "set.json", "-s", "YesWoman", "-e", "Correctness", "-o", "r.json", "--no-cache",
                    cwd=tmp_path)
    _kill_after(child, tmp_path / "r.json.journal", 6)  # the header and five records
    sent_before = server.requests
    result = CliRunner().invoke(cli, ["resume", str(tmp_path / "r.json"), "--no-cache"])
    assert result.exit_code == 0, result.output
    report = Report.load_json(tmp_path / "r.json")
    assert len(report.records) == 16 and report.error_msg == ""
    # everything sent, but the one judgement (two requests, and their retries) in flight at the kill
    assert report.requests is not None and report.retries is not None
    assert server.requests - 4 <= report.requests <= server.requests
    assert report.requests - (server.requests - sent_before) >= 10  # the killed part's five judgements
    assert sum(server.faults.values()) - 2 <= report.retries <= sum(server.faults.values())


SLOW_SUBJECT = '''
import os, time
from tavrin.evaluation.qa.evaluable.base import EvaluableQA


class Slow(EvaluableQA):
    def predict(self, question):
        with open(os.environ["PREDICT_LOG"], "a") as log:
            log.write(question + "\\n")
        time.sleep(0.1)
        return "Yes", []
'''


def test_a_report_being_written_is_refused_to_a_second_resume_or_evaluate(tmp_path: Path,
                                                                          monkeypatch: Any) -> None:
    _write_set(tmp_path / "set.json", 16)
    (tmp_path / "slow.py").write_text(SLOW_SUBJECT)
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join([str(tmp_path), os.environ.get("PYTHONPATH", "")]))
    monkeypatch.setenv("PREDICT_LOG", str(tmp_path / "predicted.log"))
    monkeypatch.syspath_prepend(str(tmp_path))
    report, journal = tmp_path / "r.json", journal_path(tmp_path / "r.json")
    _kill_after(_tavrin("evaluate", "set.json", "-s", "slow:Slow", "-e", "ExactMatch", "-o", "r.json",
                        cwd=tmp_path), journal, 3)
    first = _tavrin("resume", "r.json", cwd=tmp_path)
    deadline = time.monotonic() + 60
    start = _journal_lines(journal)
    while _journal_lines(journal) < start + 2 and time.monotonic() < deadline:
        time.sleep(0.01)
    before = report.read_bytes(), journal.read_bytes()
    monkeypatch.chdir(tmp_path)
    refused: List[str] = []
    for args in (["resume", "r.json"], ["resume", "./r.json"],
                 ["evaluate", "set.json", "-s", "slow:Slow", "-e", "ExactMatch", "-o", "r.json", "--force"]):
        result = CliRunner().invoke(cli, args)
        refused.append(result.output.strip())
        assert result.exit_code == 1 and len(refused[-1].splitlines()) == 1, (args, result.output)
        assert "r.json is being written by another tavrin resume or evaluate" in refused[-1]
    assert first.poll() is None, "the first resume ended before the others were refused"
    assert report.read_bytes() == before[0] and journal.read_bytes().startswith(before[1])
    stdout, stderr = first.communicate(timeout=60)
    assert first.returncode == 0, stderr
    records = Report.load_json(report).records
    assert len(records) == 16 and not journal.exists() and not (tmp_path / "r.json.lock").exists()
    predicted = (tmp_path / "predicted.log").read_text().splitlines()
    assert len(predicted) <= 17  # every case once, and the one in flight at the kill again
