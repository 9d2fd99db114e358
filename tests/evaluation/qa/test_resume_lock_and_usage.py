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
