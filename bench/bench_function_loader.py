"""FunctionLoader.load() against a plain-Python transcription of the same algorithm.

Generates a code-analysis export in a temporary folder: at --scale 1, 100,000
functions over 5,000 source files and 1,000,000 edges (some targets popular enough
to be pruned, names that need CSV quoting, a few test and non-backend rows). Both
loaders are consumed to the end in this process; the documents are then compared
one by one. Prints the times, the ratio and, with --memory, the peak memory of the
native loader at half and at full scale (each in a fresh process).

    .venv/bin/python bench/bench_function_loader.py --scale 0.1 [--memory]
"""

import argparse
import contextlib
import csv
import io
import os
import random
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from langchain.schema import Document

from tavrin.ask_codebase.indexing.loader.function import FunctionLoader, FunctionSource

HEXSHA = "0123456789abcdef0123456789abcdef01234567"


# ---------------------------------------------------------------- the baseline

class PyFunctionLoader:
    """The loading algorithm in plain Python: each source file is read once per function."""

    def __init__(self, source):
        self._source = source

    @classmethod
    def get_function_with_comment(cls, file_path, start_line, end_line):
        with open(file_path, "r") as f:
            lines = f.readlines()
        collected = []
        in_block = False
        for i, line in enumerate(lines, 1):
            if i < start_line:
                s = line.strip()
                if in_block:
                    collected.append(line)
                    if "*/" in s:
                        in_block = False
                elif s.startswith("/*"):
                    in_block = "*/" not in s[2:]
                    collected.append(line)
                elif s.startswith("//") or s.startswith("#"):
                    collected.append(line)
                else:
                    collected = []
            elif i <= end_line:
                collected.append(line)
            else:
                break
        return "".join(collected)

    def load(self):
        cag_path = Path(self._source.cag_path)
        with open(cag_path / (self._source.hexsha + "_cag_nodes.csv"), "r", newline="") as f:
            cag_nodes = [row for row in csv.DictReader(f)
                         if row["file_path"].startswith("backend/") and row["is_test_func"] != "True"]
        print(len(cag_nodes))
        to_map, from_map = {}, {}
        with open(cag_path / (self._source.hexsha + "_cag_edges.csv"), "r", newline="") as f:
            for row in csv.DictReader(f):
                to_map.setdefault(row["to_node_id"], []).append(row["from_node_id"])
                from_map.setdefault(row["from_node_id"], []).append(row["to_node_id"])
        for node, targets in from_map.items():
            if len(targets) > 3:
                from_map[node] = [t for t in targets if len(to_map[t]) <= 9]
        print(len(from_map))
        print(len(to_map))
        code_root = Path(self._source.repo_path)
        for row in cag_nodes:
            file_path = str(code_root / row["file_path"])
            code = self.get_function_with_comment(file_path, int(row["start_line"]), int(row["end_line"]))
            page_content = f'{row["file_path"]}#L{row["start_line"]}-L{row["end_line"]}\n```\n{code}```'
            url = self._source.url_from_filepath(self._source.hexsha, row["file_path"],
                                                 int(row["start_line"]), int(row["end_line"]))
            metadata = {
                "source": row["file_path"],
                "name": row["name"],
                "node_id": row["node_id"],
                "from_node_ids": to_map.get(row["node_id"], []),
                "to_node_ids": from_map.get(row["node_id"], []),
                "len": int(row["end_line"]) - int(row["start_line"]),
                "url": url,
            }
            yield Document(page_content=page_content, metadata=metadata)


def url_from_filepath(hexsha, path, start, end):
    return f"https://github.com/org/repo/blob/{hexsha}/{path}#L{start}-L{end}"


# ---------------------------------------------------------------- the export

COMMENTS = [
    ["# Return the thing.\n"],
    ["# First line.\n", "# Second line.\n"],
    ["/* one-line note */\n"],
    ["/*\n", " * A block comment\n", " * over lines.\n", " */\n"],
    ["// a line comment\n"],
    [],
]


def generate(folder: Path, scale: float, seed: int = 7):
    rng = random.Random(seed)
    n_functions = max(1, int(100_000 * scale))
    n_files = max(1, int(5_000 * scale))
    n_edges = int(1_000_000 * scale)
    repo, cag = folder / "repo", folder / "cag"
    rows = []
    per_file = -(-n_functions // n_files)
    node = 0
    for fi in range(n_files):
        top = "backend" if fi % 20 else "frontend"
        rel = f"{top}/pkg{fi // 100}/mod{fi}.py"
        lines = ["import os\n", "\n"]
        for _ in range(per_file):
            if node >= n_functions:
                break
            lines += rng.choice(COMMENTS)
            if rng.random() < 0.2:
                lines.append("@decorator\n")
            start = len(lines) + 1
            name = f"func_{node}" if rng.random() < 0.95 else f'odd, "name" {node}'
            lines.append(f"def {name.split(',')[0]}(a, b):\n")
            lines += [f"    x{i} = a + b * {i}\n" for i in range(rng.randrange(2, 14))]
            lines.append("    return a\n")
            end = len(lines)
            lines.append("\n")
            test = "True" if rng.random() < 0.05 else "False"
            rows.append([f"n{node}", name, rel, str(start), str(end), test])
            node += 1
        path = repo / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("".join(lines), encoding="utf-8")
    # a real export is grouped by file, not strictly: shuffle within windows
    for i in range(0, len(rows), 200):
        window = rows[i:i + 200]
        rng.shuffle(window)
        rows[i:i + 200] = window
    cag.mkdir(parents=True, exist_ok=True)
    with open(cag / f"{HEXSHA}_cag_nodes.csv", "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f)
        w.writerow(["node_id", "name", "file_path", "start_line", "end_line", "is_test_func", "kind"])
        w.writerows(r + ["function"] for r in rows)
    popular = [f"n{rng.randrange(n_functions)}" for _ in range(max(1, n_functions // 50))]
    with open(cag / f"{HEXSHA}_cag_edges.csv", "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f)
        w.writerow(["from_node_id", "to_node_id"])
        for _ in range(n_edges):
            to = rng.choice(popular) if rng.random() < 0.3 else f"n{rng.randrange(n_functions)}"
            w.writerow([f"n{rng.randrange(n_functions)}", to])
    return FunctionSource(str(repo), str(cag), HEXSHA, url_from_filepath), len(rows)


# ---------------------------------------------------------------- running

def consume(loader):
    count = 0
    with contextlib.redirect_stdout(io.StringIO()):
        for _ in loader.load():
            count += 1
    return count


def timed(loader, repeat):
    best, count = float("inf"), 0
    for _ in range(repeat):
        t0 = time.perf_counter()
        count = consume(loader)
        best = min(best, time.perf_counter() - t0)
    return best, count


def verify(source):
    with contextlib.redirect_stdout(io.StringIO()) as native_out:
        native = list(FunctionLoader(source).load())
    with contextlib.redirect_stdout(io.StringIO()) as python_out:
        python = list(PyFunctionLoader(source).load())
    assert native_out.getvalue() == python_out.getvalue(), (native_out.getvalue(), python_out.getvalue())
    assert len(native) == len(python)
    for a, b in zip(native, python):
        assert a.page_content == b.page_content, (a.page_content, b.page_content)
        assert list(a.metadata.items()) == list(b.metadata.items()), (a.metadata, b.metadata)
    return len(native)


def peak_memory(scale: float) -> dict:
    """Peak RSS growth of one native load at `scale`, measured in a fresh process."""
    with tempfile.TemporaryDirectory() as tmp:
        source, _ = generate(Path(tmp), scale)
        out = subprocess.run([sys.executable, __file__, "--memory-child", tmp],
                             check=True, capture_output=True, text=True).stdout
        nodes = os.path.getsize(Path(source.cag_path) / f"{HEXSHA}_cag_nodes.csv")
        edges = os.path.getsize(Path(source.cag_path) / f"{HEXSHA}_cag_edges.csv")
    return {"peak_growth_mib": float(out.strip().splitlines()[-1]), "csv_mib": (nodes + edges) / 2**20}


def memory_child(folder: str):
    source = FunctionSource(str(Path(folder) / "repo"), str(Path(folder) / "cag"), HEXSHA,
                            url_from_filepath)
    import gc
    gc.collect()

    def status(field):  # kB
        for line in Path("/proc/self/status").read_text().splitlines():
            if line.startswith(field + ":"):
                return int(line.split()[1])

    # reset the peak left by the imports, then measure the load's own peak
    Path("/proc/self/clear_refs").write_text("5")
    before = status("VmRSS")
    consume(FunctionLoader(source))
    print((status("VmHWM") - before) / 1024)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0,
                        help="fraction of 100,000 functions / 1,000,000 edges / 5,000 files")
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--memory", action="store_true", help="also measure peak memory")
    parser.add_argument("--memory-child", metavar="DIR", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        memory_child(args.memory_child)
        return

    with tempfile.TemporaryDirectory() as tmp:
        t0 = time.perf_counter()
        source, rows = generate(Path(tmp), args.scale)
        print(f"export: {rows} function rows, {int(1_000_000 * args.scale)} edges, "
              f"{max(1, int(5_000 * args.scale))} files (generated in {time.perf_counter() - t0:.1f} s)")
        native_s, n = timed(FunctionLoader(source), args.repeat)
        python_s, m = timed(PyFunctionLoader(source), args.repeat)
        assert n == m
        print(f"FunctionLoader.load  : {native_s:8.3f} s  {n / native_s:10.0f} documents/s")
        print(f"plain Python         : {python_s:8.3f} s  {m / python_s:10.0f} documents/s")
        print(f"ratio                : {python_s / native_s:8.1f}x faster")
        print(f"documents identical  : {verify(source)} compared")
    if args.memory:
        for scale in (args.scale / 2, args.scale):
            r = peak_memory(scale)
            print(f"peak memory growth at scale {scale:g}: {r['peak_growth_mib']:.1f} MiB "
                  f"(CSV files {r['csv_mib']:.1f} MiB)")


if __name__ == "__main__":
    main()
