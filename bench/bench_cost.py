"""``tavrin evaluate --dry-run`` and ``--max-cost``: the dry run's count against what the real
run sends, and capped runs at many jobs against their caps.

A local OpenAI-compatible server counts the tokens it is sent and answers (cl100k_base, the
chat API's framing) and pads every answer that may be longer than one token to a random
length. First the dry run of a set is compared with the real run of the same set: requests
and prompt tokens, the server's own figures. Then ``--runs`` runs at ``--jobs`` are made,
each with a random cap; each run's spending, priced from the server's counts, is set
against its cap (the ratio must never pass 1).

    PYTHONPATH=build/dev/stage .venv/bin/python bench/bench_cost.py [--runs 20] [--jobs 32] [--cases 12]
"""

import argparse
import importlib.util
import json
import os
import random
import sys
import tempfile
from pathlib import Path
from typing import Any, Dict, List

from click.testing import CliRunner

HERE = Path(__file__).resolve().parent
_spec = importlib.util.spec_from_file_location("fake_openai", HERE.parent / "tests" / "evaluation" / "qa" / "fake_openai.py")
fake_openai = importlib.util.module_from_spec(_spec)
sys.modules[_spec.name] = fake_openai
_spec.loader.exec_module(fake_openai)

INPUT, OUTPUT = 0.03, 0.06  # gpt-4, USD per 1,000 tokens, as the shipped table has them


def _billed(server: Any) -> List[int]:
    with server.lock:
        return list(server.billed.get("gpt-4", [0, 0]))


def _cost(before: List[int], after: List[int]) -> float:
    return ((after[0] - before[0]) * INPUT + (after[1] - before[1]) * OUTPUT) / 1000


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--jobs", type=int, default=32)
    parser.add_argument("--cases", type=int, default=12)
    args = parser.parse_args()
    from tavrin.cli import cli

    with tempfile.TemporaryDirectory() as tmp, fake_openai.FakeOpenAI(answer_tokens=(1, 200), seed=7,
                                                                        max_requests=100000) as server:
        os.chdir(tmp)
        os.environ.update(OPENAI_API_BASE=server.base, OPENAI_API_KEY="sk-bench-not-a-real-key",
                          XDG_CACHE_HOME=str(Path(tmp) / "cache"), TAVRIN_LLM_BACKOFF="0.001")
        cases = [{"id": f"c{i}", "question": f"Does calc add numbers (case {i})?",
                  "reference_answer": "Yes, it adds them" if i % 2 else "No"} for i in range(args.cases)]
        Path("set.json").write_text(json.dumps({"name": "calc", "cases": cases}), encoding="utf-8")
        base = ["evaluate", "set.json", "-s", "YesWoman", "-s", "NoWoman", "-e", "Correctness", "--no-cache"]
        dry = CliRunner().invoke(cli, [*base, "-o", "dry.json", "--dry-run"])
        total = next(line for line in dry.stdout.splitlines() if line.startswith("Total")).split()
        sent = server.requests
        CliRunner().invoke(cli, [*base, "-o", "real.json", "--cost", "-j", str(args.jobs)])
        print(f"dry run: {total[1]} requests, {total[2]} prompt tokens (sent: {sent} requests)")
        print(f"real run: {server.requests - sent} requests, {_billed(server)[0]} prompt tokens (server's count)")
        caps = random.Random(3)
        ratios: List[float] = []
        stopped = 0
        for index in range(args.runs):
            cap = round(caps.uniform(0.01, 0.5), 4)
            before = _billed(server)
            result = CliRunner().invoke(cli, [*base, "-o", f"r{index}.json", "-q", "-j", str(args.jobs),
                                              "--max-cost", str(cap)])
            spent = _cost(before, _billed(server))
            ratios.append(spent / cap)
            stopped += result.exit_code == 1
            report: Dict[str, Any] = json.loads(Path(f"r{index}.json").read_text(encoding="utf-8"))
            print(f"run {index:2}: cap ${cap:.4f}, spent ${spent:.4f} (report ${report['cost']['usd']:.4f}), "
                  f"{len(report['records'])}/{2 * args.cases} judgements, exit {result.exit_code}")
        print(f"{args.runs} runs at --jobs {args.jobs}: {stopped} stopped by their cap; "
              f"spent/cap at most {max(ratios):.3f}, mean {sum(ratios) / len(ratios):.3f} "
              f"({'never passed' if max(ratios) <= 1 else 'PASSED'} the cap)")


if __name__ == "__main__":
    main()
