"""Judgements in flight: ``tavrin evaluate --jobs 16`` against ``--jobs 1``.

200 judgements (100 cases x YesWoman, NoWoman x the real Correctness judge, two model
requests each) against a local OpenAI-compatible server that takes 0.5 s per answer.
Both runs go through the command line with the answer cache off; the sequential run is
the baseline. Prints both times and the ratio. Takes about 3.5 minutes.

    PYTHONPATH=build/dev/stage .venv/bin/python bench/bench_concurrency.py [--cases 100] [--latency 0.5] [--jobs 16]
"""

import argparse
import importlib.util
import json
import os
import sys
import tempfile
import time
from pathlib import Path

from click.testing import CliRunner

HERE = Path(__file__).resolve().parent
_spec = importlib.util.spec_from_file_location("fake_openai", HERE.parent / "tests" / "evaluation" / "qa" / "fake_openai.py")
fake_openai = importlib.util.module_from_spec(_spec)
sys.modules[_spec.name] = fake_openai
_spec.loader.exec_module(fake_openai)


def run(cli, qset: str, out: str, jobs: int) -> float:
    t0 = time.perf_counter()
    result = CliRunner().invoke(cli, ["evaluate", qset, "-s", "YesWoman", "-s", "NoWoman", "-e", "Correctness",
                                      "-o", out, "--no-cache", "-q", "--jobs", str(jobs)])
    elapsed = time.perf_counter() - t0
    if result.exit_code != 0:
        raise SystemExit(f"--jobs {jobs} failed:\n{result.output}")
    return elapsed


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cases", type=int, default=100)
    parser.add_argument("--latency", type=float, default=0.5)
    parser.add_argument("--jobs", type=int, default=16)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp, fake_openai.FakeOpenAI(latency=args.latency, lifetime=3600) as server:
        os.environ.update(OPENAI_API_BASE=server.base, OPENAI_API_KEY="sk-bench", XDG_CACHE_HOME=tmp)
        from tavrin.cli import cli
        from tavrin.evaluation.qa.evaluator import correctness  # noqa: F401  (imported before timing)
        from tavrin.evaluation.qa.report import Report

        qset = Path(tmp) / "set.json"
        qset.write_text(json.dumps({"name": "bench", "cases": [
            {"id": str(i), "question": f"question {i}?", "reference_answer": "Yes" if i % 2 else "No"}
            for i in range(args.cases)]}))
        sequential = run(cli, str(qset), str(Path(tmp) / "seq.json"), 1)
        concurrent = run(cli, str(qset), str(Path(tmp) / "par.json"), args.jobs)
        same = [r.to_dict() for r in Report.load_json(Path(tmp) / "seq.json").records] == [
            r.to_dict() for r in Report.load_json(Path(tmp) / "par.json").records]
        judgements = len(Report.load_json(Path(tmp) / "par.json").records)

    print(f"judgements: {judgements}, {server.requests} requests, {args.latency} s per answer")
    print(f"--jobs 1            : {sequential:8.1f} s")
    print(f"--jobs {args.jobs:<13}: {concurrent:8.1f} s (peak {server.peak_in_flight} requests in flight)")
    print(f"same records        : {same}")
    print(f"ratio jobs1/jobs{args.jobs:<3} : {sequential / concurrent:8.1f}x")


if __name__ == "__main__":
    main()
