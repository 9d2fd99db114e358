"""Indexing a big tree again: a full index, a re-index with nothing changed, and one with
one file changed, with `tavrin index` (hashing embeddings) into a temporary store; then
the search latency of every channel on that source.

    .venv/bin/python bench/bench_reindex.py [--packages langchain,numpy] [--queries 200]

The tree is a copy of installed packages (default: langchain, numpy and SQLAlchemy from this
interpreter's site-packages, about 10,000 chunks). Prints each run's seconds and its ratio
to the full index, and search p50 / p95 per channel.
"""

import argparse
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path
from typing import Dict, List

from tavrin.ask_codebase.indexing.selection import SETTLED_NS


def index(root: Path, env: Dict[str, str], *extra: str) -> float:
    start = time.perf_counter()
    done = subprocess.run(
        [sys.executable, "-m", "tavrin", "index", str(root), "-s", "big", *extra],
        env=env,
        capture_output=True,
        text=True,
    )
    elapsed = time.perf_counter() - start
    if done.returncode != 0:
        raise SystemExit(f"tavrin index failed: {done.stderr.strip()}")
    print(f"    {done.stderr.strip().splitlines()[-1]}")
    return elapsed


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--packages", default="langchain,numpy,sqlalchemy")
    parser.add_argument("--queries", type=int, default=200)
    args = parser.parse_args()
    site = Path(sysconfig.get_paths()["purelib"])
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp) / "tree"
        for name in args.packages.split(","):
            shutil.copytree(site / name, root / name, ignore=shutil.ignore_patterns("__pycache__", "*.so"))
        env = dict(os.environ, TAVRIN_DATA_DIR=str(Path(tmp) / "data"), TQDM_DISABLE="1")
        # A working tree's files were mostly written long before it is indexed; these were
        # copied a moment ago, and a file changed within SETTLED_NS is read again by every
        # run (its times cannot tell a change made within the same tick of the clock).
        time.sleep(SETTLED_NS / 1e9)
        print("full index")
        full = index(root, env)
        print("nothing changed (3 runs)")
        noop = statistics.median(index(root, env) for _ in range(3))
        files = sorted(root.rglob("*.py"))
        changed = files[len(files) // 2]
        print(f"one file changed ({changed.relative_to(root)}; 3 runs)")
        ones = []
        for run in range(3):
            added = f"\n\ndef a_function_added_by_the_benchmark_{run}():\n    return 1\n"
            changed.write_text(changed.read_text() + added)
            ones.append(index(root, env))
        one = statistics.median(ones)
        print(f"\nfull {full:.1f} s; nothing changed {noop:.2f} s ({noop / full:.1%} of full); "
              f"one file changed {one:.2f} s ({one / full:.1%} of full) (medians of 3)")

        os.environ["TAVRIN_DATA_DIR"] = env["TAVRIN_DATA_DIR"]
        from tavrin.ask_codebase.store.qdrant import QdrantWrapper
        from tavrin.embeddings import CodeHashingEmbeddings

        wrapper = QdrantWrapper.reuse("big", CodeHashingEmbeddings)
        words: List[str] = []
        for chunk in wrapper.iter_chunks():
            words.extend(re.findall(r"[A-Za-z_]{4,}", chunk.page_content)[:20])
        rng = random.Random(0)
        queries = [" ".join(rng.sample(words, 4)) for _ in range(args.queries)]
        print(f"\nsearch of a {wrapper.count()}-chunk source, top 10, ms (p50 / p95)")
        for mode in ("dense", "lexical", "hybrid"):
            times = []
            for q in queries:
                t0 = time.perf_counter()
                wrapper.search(q, 10, mode=mode)
                times.append(time.perf_counter() - t0)
            times.sort()
            print(f"  {mode:<8} {1000 * times[len(times) // 2]:7.2f} / {1000 * times[int(len(times) * 0.95)]:7.2f}")


if __name__ == "__main__":
    main()
