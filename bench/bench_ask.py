"""``tavrin ask --chain map-reduce``: the map step in flight together against one call at a time.

A source of 30 small files (hashing embeddings, the embedded store in a temporary
folder), a question whose 20 retrieved chunks each get a map call, then the reduce call,
against a local OpenAI-compatible server that takes 0.5 s per answer. The floor is two
round trips (the map step at once, then the reduce step). Prints both times, the ratio
against ``--jobs 1``, and the time in round trips.

    PYTHONPATH=build/dev/stage .venv/bin/python bench/bench_ask.py [--latency 0.5] [--jobs 20]
"""

import argparse
import importlib
import importlib.util
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


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--latency", type=float, default=0.5)
    parser.add_argument("--jobs", type=int, default=20)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        os.environ["TAVRIN_DATA_DIR"] = str(Path(tmp) / "data")
        os.environ.pop("TAVRIN_QDRANT_URL", None)
        os.environ["OPENAI_API_KEY"] = "sk-bench-not-a-real-key"
        code = Path(tmp) / "code"
        code.mkdir()
        for i in range(30):
            (code / f"op{i}.py").write_text(f"def op{i}(a, b):\n    \"\"\"add variant {i}\"\"\"\n    return a + b + {i}\n")
        from tavrin.cli import cli

        result = CliRunner().invoke(cli, ["-q", "index", str(code), "-s", "bench", "--embeddings", "hashing"])
        if result.exit_code != 0:
            raise SystemExit(result.output)
        sorvel = importlib.import_module("tavrin.ask_codebase.chains.sorvel")
        times, outputs = {}, {}
        for jobs in (1, args.jobs):
            with fake_openai.FakeOpenAI(name="bench", latency=args.latency, lifetime=600) as server:
                os.environ["OPENAI_API_BASE"] = server.base
                for model in (sorvel.Sorvel.llm, sorvel.Sorvel.reduce_llm):
                    model.openai_api_base = server.base
                t0 = time.perf_counter()
                result = CliRunner().invoke(cli, ["-q", "ask", "What does op3 add?", "-s", "bench",
                                                  "--embeddings", "hashing", "-j", str(jobs)])
                times[jobs] = time.perf_counter() - t0
                if result.exit_code != 0:
                    raise SystemExit(result.output)
                outputs[jobs] = result.stdout
                calls = len(server.answered)
        same = outputs[1] == outputs[args.jobs]
        floor = 2 * args.latency
        print(f"model calls per question: {calls}, answer latency {args.latency} s, floor (two round trips) {floor:.2f} s")
        print(f"--jobs 1:  {times[1]:7.2f} s")
        print(f"--jobs {args.jobs}: {times[args.jobs]:7.2f} s  ({times[args.jobs] / floor:.2f}x the floor)")
        print(f"speed-up: {times[1] / times[args.jobs]:.1f}x; same answer and sources: {same}")


if __name__ == "__main__":
    main()
