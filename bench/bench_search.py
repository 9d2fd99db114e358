"""Code search quality and speed: dense, lexical, hybrid and hybrid + ranking, against a
plain BM25 written in Python, on benchmarks this script builds itself.

Corpora and their queries:

- this checkout, with queries from its own git history (`tavrin ground-truth from-git`:
  commit subject -> the non-test source files it changed that still exist), and the 16
  questions people wrote about it in examples/retrieval_ground_truth.jsonl ("prose"
  queries: the files of the chunks graded 0.5 or higher);
- source trees that Debian ships in its packages (Go, Rust, JavaScript, TypeScript, Ruby,
  C++ headers, Python), fetched with `apt-get download` into a cache folder and unpacked with
  `dpkg -x`, and Elixir's own library and Mix, from the upstream tarball of Debian's
  `elixir-lang` source package (found in the mirror's index of sources); their queries
  are made from the code: the doc comment above a definition (or Elixir's `@doc` text),
  with the defined name taken out, finds the file that defines it ("doc" queries), and
  the defined name alone finds the files that define it ("symbol" queries). A corpus
  that cannot be fetched is left out, saying so.

Each corpus is indexed with `tavrin index` (hashing embeddings) into a temporary store,
then every query is searched for its top chunks, which are turned into a ranked list of
files (each file at its first chunk), scored at file level: NDCG@10, R@10 and MRR@10.
The baseline, run in the same process over the same chunks, is Okapi BM25 (k1 1.2,
b 0.75) over lower-cased words (``\\w+``), written in plain Python.

The ranking step's settings were chosen on the `tune` corpora only (marked in the
table); the other corpora are held out.

    .venv/bin/python bench/bench_search.py [--corpora NAME,...] [--queries N] [--cache DIR]
"""

import argparse
import hashlib
import json
import math
import os
import re
import subprocess
import sys
import tempfile
import time
from collections import Counter
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple

ROOT = Path(__file__).resolve().parent.parent
PROSE = ROOT / "examples" / "retrieval_ground_truth.jsonl"

# name -> (Debian packages, folder inside the unpacked packages, language, used for tuning)
DEBIAN: Dict[str, Tuple[Tuple[str, ...], str, str, bool]] = {
    "cobra": (("golang-github-spf13-cobra-dev",), "usr/share/gocode/src", "Go", True),
    "commander": (("node-commander",), "usr/share/nodejs", "JavaScript", True),
    "requests": (("python3-requests",), "usr/lib/python3/dist-packages/requests", "Python", True),
    "gin": (("golang-github-gin-gonic-gin-dev",), "usr/share/gocode/src", "Go", False),
    "prometheus": (("golang-github-prometheus-client-golang-dev",), "usr/share/gocode/src", "Go", False),
    "tokio": (("librust-tokio-dev",), "usr/share/cargo/registry", "Rust", True),
    "clap": (("librust-clap-dev",), "usr/share/cargo/registry", "Rust", False),
    "regex-syntax": (("librust-regex-syntax-dev",), "usr/share/cargo/registry", "Rust", False),
    "anyhow": (("librust-anyhow-dev",), "usr/share/cargo/registry", "Rust", False),
    "gorilla-mux": (("golang-github-gorilla-mux-dev",), "usr/share/gocode/src", "Go", False),
    "acorn": (("node-acorn",), "usr/share/nodejs", "JavaScript", False),
    "yargs": (("node-yargs",), "usr/share/nodejs", "JavaScript", False),
    "activesupport": (("ruby-activesupport",), "usr/share/rubygems-integration", "Ruby", True),
    "rack": (("ruby-rack",), "usr/share/rubygems-integration", "Ruby", False),
    "spdlog": (("libspdlog-dev",), "usr/include/spdlog", "C++", False),
    "cli11": (("libcli11-dev",), "usr/include/CLI", "C++", False),
    "fmt": (("libfmt-dev",), "usr/include/fmt", "C++", False),
    "rxjs": (("node-inquirer",), "usr/share/nodejs/rxjs/src", "TypeScript", False),
    "zrender": (("node-zrender",), "usr/share/nodejs/zrender/src", "TypeScript", False),
    "click": (("python3-click",), "usr/lib/python3/dist-packages/click", "Python", False),
    "jinja2": (("python3-jinja2",), "usr/lib/python3/dist-packages/jinja2", "Python", False),
}

# Corpora that Debian ships only as source: name -> (source package, folder inside its
# upstream tarball, language, used for tuning). The tarball is found in the mirror's
# index of sources (dists/SUITE/main/source/Sources.xz) and fetched from its pool.
DEBIAN_SOURCES: Dict[str, Tuple[str, str, str, bool]] = {
    "elixir": ("elixir-lang", "lib/elixir/lib", "Elixir", True),
    "mix": ("elixir-lang", "lib/mix/lib", "Elixir", False),
}
MIRROR = "http://deb.debian.org/debian"

MODES = ("dense", "lexical", "hybrid-rrf", "hybrid")
K = 10
CHUNKS_SEARCHED = 50


# ---------------------------------------------------------------- corpora


def fetch_debian(name: str, cache: Path) -> Optional[Path]:
    packages, inner, _, _ = DEBIAN[name]
    folder = cache / name
    if not (folder / ".done").exists():
        folder.mkdir(parents=True, exist_ok=True)
        try:
            subprocess.run(["apt-get", "download", *packages], cwd=folder, check=True, capture_output=True)
            for deb in folder.glob("*.deb"):
                subprocess.run(["dpkg", "-x", str(deb), str(folder / "x")], check=True, capture_output=True)
        except (OSError, subprocess.CalledProcessError) as exc:
            print(f"  {name}: not fetched ({exc}); left out", file=sys.stderr)
            return None
        (folder / ".done").write_text("")
    root = folder / "x" / inner
    if not root.is_dir():
        print(f"  {name}: no folder {inner} in its packages; left out", file=sys.stderr)
        return None
    return root


def _suite() -> str:
    try:
        release = Path("/etc/os-release").read_text()
    except OSError:
        return "bookworm"
    found = re.search(r"^VERSION_CODENAME=(\w+)", release, re.MULTILINE)
    return found.group(1) if found else "bookworm"


def fetch_debian_source(name: str, cache: Path) -> Optional[Path]:
    """The folder of a corpus that Debian ships as source (``DEBIAN_SOURCES``), fetched once
    into ``cache``; None (saying why) when it cannot be."""
    import lzma
    import tarfile
    import urllib.request

    package, inner, _, _ = DEBIAN_SOURCES[name]
    folder = cache / f"source-{package}"
    try:
        if not (folder / ".done").exists():
            folder.mkdir(parents=True, exist_ok=True)
            suite = _suite()
            index = cache / f"Sources-{suite}.xz"
            if not index.exists():
                urllib.request.urlretrieve(f"{MIRROR}/dists/{suite}/main/source/Sources.xz", index)
            stanza = next(
                (s for s in lzma.decompress(index.read_bytes()).decode("utf-8", "replace").split("\n\n")
                 if s.startswith(f"Package: {package}\n")),
                None,
            )
            if stanza is None:
                raise OSError(f"no source package {package} in the index")
            directory = re.search(r"^Directory: (\S+)", stanza, re.MULTILINE)
            tarball = re.search(r"^ [0-9a-f]{32} \d+ (\S+\.orig\.tar\.\w+)$", stanza, re.MULTILINE)
            if directory is None or tarball is None:
                raise OSError(f"no upstream tarball of {package} in the index")
            archive = folder / tarball.group(1)
            urllib.request.urlretrieve(f"{MIRROR}/{directory.group(1)}/{tarball.group(1)}", archive)
            with tarfile.open(archive) as tar:
                tar.extractall(folder / "x", filter="data")
            (folder / ".done").write_text("")
    except (OSError, tarfile.TarError) as exc:
        print(f"  {name}: not fetched ({exc}); left out", file=sys.stderr)
        return None
    tops = [p for p in (folder / "x").iterdir() if p.is_dir()]
    root = tops[0] / inner if len(tops) == 1 else folder / "x" / inner
    if not root.is_dir():
        print(f"  {name}: no folder {inner} in {package}'s tarball; left out", file=sys.stderr)
        return None
    return root


# a comment line: "#" only before a space or another "#", so that Rust's attributes (#[...])
# and the C preprocessor's lines (#include, #if) are not read as comments
_COMMENT = re.compile(r"^\s*(///?|#(?=\s|#|$)|\*|/\*\*|--)\s?(.*)$")
_SOURCE_SUFFIXES = {".go", ".rs", ".js", ".mjs", ".cjs", ".ts", ".rb", ".h", ".hpp", ".cc", ".cpp", ".py", ".ex"}


def _elixir_doc(lines: List[str], at: int) -> List[str]:
    """The lines of the ``@doc \"\"\" ... \"\"\"`` (or ``@moduledoc``) text above the definition
    on line ``at``, past its ``@spec``, ``@impl`` and other attributes; [] when it has none."""
    j = at - 1
    while j >= 0 and lines[j].strip().startswith("@") and '"""' not in lines[j]:
        j -= 1
    if j < 0 or lines[j].strip() != '"""':
        return []
    end, j = j, j - 1
    while j >= 0 and '"""' not in lines[j]:
        j -= 1
    if j < 0 or not re.match(r'\s*@(?:doc|moduledoc)\s+~?[sS]?"""\s*$', lines[j]):
        return []
    return [line.strip() for line in lines[j + 1 : end]]


def code_queries(root: Path, limit: int, lexical: Any) -> List[Dict[str, Any]]:
    """Doc and symbol queries made from the definitions of the source files under ``root``."""
    docs: List[Dict[str, Any]] = []
    defined_in: Dict[str, set] = {}
    for path in sorted(root.rglob("*")):
        if path.suffix not in _SOURCE_SUFFIXES or not path.is_file() or lexical.path_kind(str(path)) != "code":
            continue
        rel = path.relative_to(root).as_posix()
        try:
            lines = path.read_text(encoding="utf-8").splitlines()
        except (OSError, UnicodeDecodeError):
            continue
        for i, line in enumerate(lines):
            names = lexical.definitions(line)
            if not names:
                continue
            name = names[0]
            defined_in.setdefault(name, set()).add(rel)
            comment = _elixir_doc(lines, i) if path.suffix == ".ex" else []
            j = i - 1 if not comment else -1
            while j >= 0 and _COMMENT.match(lines[j]) and not lines[j].strip().startswith("#!"):
                text = _COMMENT.match(lines[j]).group(2).strip().strip("*/").strip()
                comment.insert(0, text)
                j -= 1
            text = " ".join(t for t in comment if t and not t.startswith("@"))
            text = re.split(r"(?<=[.!?])\s", text, maxsplit=1)[0]
            text = re.sub(re.escape(name), " ", text, flags=re.IGNORECASE)
            words = re.findall(r"\w+", text)
            if len(words) >= 4:
                docs.append({"query": " ".join(text.split()[:30]), "files": [rel], "kind": "doc"})
    symbols = [
        {"query": name, "files": sorted(files), "kind": "symbol"}
        for name, files in sorted(defined_in.items())
        if len(files) <= 3 and len(name) >= 6 and not name.isupper()
    ]

    def pick(items: List[Dict[str, Any]], n: int) -> List[Dict[str, Any]]:
        keyed = sorted(items, key=lambda q: hashlib.sha1(q["query"].encode()).hexdigest())
        return keyed[:n]

    return pick(docs, limit) + pick(symbols, limit // 2)


def git_queries(root: Path, limit: int) -> List[Dict[str, Any]]:
    """Commit-subject queries of this checkout's history (tavrin ground-truth from-git)."""
    try:
        out = subprocess.run(
            [sys.executable, "-m", "tavrin", "ground-truth", "from-git", str(root)],
            check=True,
            capture_output=True,
            text=True,
        ).stdout
    except subprocess.CalledProcessError as exc:
        print(f"  from-git failed: {exc.stderr.strip()}", file=sys.stderr)
        return []
    by_query: Dict[str, Dict[str, Any]] = {}
    for line in out.splitlines():
        row = json.loads(line)
        key = row.get("id") or row["query"]
        entry = by_query.setdefault(key, {"query": row["query"], "files": [], "kind": "commit"})
        if row.get("score", 1) > 0:
            entry["files"].append(row["document"])
    queries = [q for q in by_query.values() if q["files"]]
    queries.sort(key=lambda q: hashlib.sha1(q["query"].encode()).hexdigest())
    return queries[:limit]


def prose_queries(path: Path) -> List[Dict[str, Any]]:
    """The questions people wrote about this checkout (examples/retrieval_ground_truth.jsonl),
    at file level: the files of the chunks graded 0.5 or higher."""
    from tavrin.evaluation.retrieval.ground_truth import read_ground_truth
    from tavrin.evaluation.retrieval.references import parse_reference

    files: Dict[str, set] = {}
    for query, document, score in read_ground_truth(str(path)):
        found = files.setdefault(query, set())
        # each of its documents is a chunk's text after its file reference, on a line of its own
        reference = parse_reference(document.split("\n", 1)[0])
        if score >= 0.5 and reference is not None:
            found.add(reference.path)
    return [{"query": q, "files": sorted(f), "kind": "prose"} for q, f in files.items() if f]


# ---------------------------------------------------------------- scoring


def file_ranking(paths: Sequence[str]) -> List[str]:
    seen: Dict[str, None] = {}
    for p in paths:
        if p:
            seen.setdefault(p)
    return list(seen)


def scores(ranked: Sequence[str], relevant: Sequence[str], k: int = K) -> Tuple[float, float, float]:
    top = ranked[:k]
    rel = set(relevant)
    dcg = sum(1 / math.log2(i + 2) for i, f in enumerate(top) if f in rel)
    idcg = sum(1 / math.log2(i + 2) for i in range(min(k, len(rel))))
    recall = len(rel & set(top)) / len(rel)
    mrr = next((1 / (i + 1) for i, f in enumerate(top) if f in rel), 0.0)
    return dcg / idcg, recall, mrr


class PlainBM25:
    """Okapi BM25 over ``\\w+`` words, lower-cased: the baseline."""

    def __init__(self, texts: Sequence[str], k1: float = 1.2, b: float = 0.75) -> None:
        self.k1, self.b = k1, b
        self.docs = [Counter(re.findall(r"\w+", t.lower())) for t in texts]
        self.lengths = [sum(d.values()) for d in self.docs]
        self.avg = sum(self.lengths) / max(1, len(self.lengths))
        df: Counter = Counter()
        for d in self.docs:
            df.update(d.keys())
        n = len(self.docs)
        self.idf = {t: math.log(1 + (n - c + 0.5) / (c + 0.5)) for t, c in df.items()}
        self.postings: Dict[str, List[int]] = {}
        for i, d in enumerate(self.docs):
            for t in d:
                self.postings.setdefault(t, []).append(i)

    def search(self, query: str, k: int) -> List[int]:
        acc: Dict[int, float] = {}
        for t in set(re.findall(r"\w+", query.lower())):
            idf = self.idf.get(t)
            if idf is None:
                continue
            for i in self.postings[t]:
                tf = self.docs[i][t]
                norm = self.k1 * (1 - self.b + self.b * self.lengths[i] / self.avg)
                acc[i] = acc.get(i, 0.0) + idf * tf * (self.k1 + 1) / (tf + norm)
        return sorted(acc, key=lambda i: (-acc[i], i))[:k]


# ---------------------------------------------------------------- one corpus


EMBEDDINGS = "hashing"


def index_tree(root: Path, name: str, data_dir: Path) -> Tuple[float, int]:
    env = dict(os.environ, TAVRIN_DATA_DIR=str(data_dir), TQDM_DISABLE="1")
    start = time.perf_counter()
    done = subprocess.run(
        [sys.executable, "-m", "tavrin", "index", str(root), "-s", name, "--embeddings", EMBEDDINGS],
        env=env,
        capture_output=True,
        text=True,
    )
    elapsed = time.perf_counter() - start
    if done.returncode != 0:
        raise RuntimeError(f"indexing {root} failed: {done.stderr.strip()}")
    chunks = int(re.search(r"Indexed (\d+) chunks", done.stderr).group(1))  # type: ignore[union-attr]
    return elapsed, chunks


def run_corpus(name: str, root: Path, queries: List[Dict[str, Any]], data_dir: Path) -> Dict[str, Any]:
    from tavrin.ask_codebase.store.qdrant import QdrantWrapper, StoreConfig, close_clients
    from tavrin.embeddings import resolve_embeddings

    seconds, chunks = index_tree(root, name, data_dir)
    config = StoreConfig(path=data_dir / "store")
    wrapper = QdrantWrapper.reuse(name, resolve_embeddings(EMBEDDINGS), config=config)
    stored = list(wrapper.iter_chunks())
    paths = [str(c.metadata.get("filepath") or c.metadata.get("source") or "") for c in stored]
    known = set(paths)
    queries = [dict(q, files=[f for f in q["files"] if f in known]) for q in queries]
    queries = [q for q in queries if q["files"]]
    baseline = PlainBM25([f"{p}\n{c.page_content}" for p, c in zip(paths, stored)])
    rows: Dict[str, List[Tuple[float, float, float]]] = {m: [] for m in (*MODES, "bm25-python")}
    times: Dict[str, List[float]] = {m: [] for m in rows}
    kinds: Dict[str, Dict[str, List[float]]] = {}
    for q in queries:
        for mode in (*MODES, "bm25-python"):
            start = time.perf_counter()
            if mode == "bm25-python":
                ranked = file_ranking([paths[i] for i in baseline.search(q["query"], CHUNKS_SEARCHED)])
            else:
                actual = "hybrid" if mode.startswith("hybrid") else mode
                hits = wrapper.search(q["query"], CHUNKS_SEARCHED, mode=actual, rerank=mode == "hybrid")
                ranked = file_ranking([h.path for h in hits])
            times[mode].append(time.perf_counter() - start)
            s = scores(ranked, q["files"])
            rows[mode].append(s)
            kinds.setdefault(q["kind"], {}).setdefault(mode, []).append(s[0])
    close_clients()
    return {
        "name": name,
        "chunks": chunks,
        "index_seconds": seconds,
        "queries": len(queries),
        "rows": rows,
        "times": times,
        "kinds": kinds,
    }


def mean(values: Sequence[float]) -> float:
    return sum(values) / len(values) if values else float("nan")


def percentile(values: Sequence[float], p: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(p * len(ordered)))] if ordered else float("nan")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpora", default=",".join(["tavrin", *DEBIAN, *DEBIAN_SOURCES]))
    parser.add_argument("--queries", type=int, default=80, help="doc (and half as many symbol) queries per corpus")
    parser.add_argument("--cache", type=Path, default=Path.home() / ".cache" / "tavrin-bench")
    parser.add_argument("--ranking", default="{}", help="settings of the ranking step, as JSON (lexical.fuse)")
    parser.add_argument("--embeddings", default="hashing", help="the embeddings to index with (hashing, minilm)")
    args = parser.parse_args()
    global EMBEDDINGS
    EMBEDDINGS = args.embeddings
    from tavrin.ask_codebase import search
    from tavrin.ask_codebase.search import lexical

    search.RANKING.update(json.loads(args.ranking))

    results = []
    with tempfile.TemporaryDirectory() as tmp:
        for name in args.corpora.split(","):
            if name == "tavrin":
                root, language, tune = ROOT, "Python/C++ (git history)", True
                queries = git_queries(ROOT, args.queries * 2) + prose_queries(PROSE)
            else:
                source = name in DEBIAN_SOURCES
                found = (fetch_debian_source if source else fetch_debian)(name, args.cache)
                if found is None:
                    continue
                _, _, language, tune = (DEBIAN_SOURCES if source else DEBIAN)[name]
                root, queries = found, code_queries(found, args.queries, lexical)
            if not queries:
                print(f"  {name}: no queries; left out", file=sys.stderr)
                continue
            print(f"  {name}: {len(queries)} queries ...", file=sys.stderr, flush=True)
            result = run_corpus(name, root, queries, Path(tmp) / name)
            result["language"], result["tune"] = language, tune
            results.append(result)
    header = f"{'corpus':<14}{'language':<12}{'set':<6}{'chunks':>7}{'q':>5}  " + "".join(
        f"{m:>12}" for m in (*MODES, "bm25-python")
    )
    for metric, index in (("NDCG@10", 0), ("R@10", 1), ("MRR@10", 2)):
        print(f"\n{metric} (file level)")
        print(header)
        for r in results:
            cells = "".join(f"{mean([s[index] for s in r['rows'][m]]):>12.3f}" for m in (*MODES, "bm25-python"))
            print(
                f"{r['name']:<14}{r['language'][:11]:<12}{'tune' if r['tune'] else 'held':<6}"
                f"{r['chunks']:>7}{r['queries']:>5}  {cells}"
            )
        for label, chosen in (("held-out", [r for r in results if not r["tune"]]), ("all", results)):
            if chosen:
                cells = "".join(
                    f"{mean([mean([s[index] for s in r['rows'][m]]) for r in chosen]):>12.3f}"
                    for m in (*MODES, "bm25-python")
                )
                print(f"{'mean ' + label:<44}{cells}")
    print("\nNDCG@10 by query kind (all corpora)")
    for kind in sorted({k for r in results for k in r["kinds"]}):
        cells = "".join(
            f"{mean([v for r in results for v in r['kinds'].get(kind, {}).get(m, [])]):>12.3f}"
            for m in (*MODES, "bm25-python")
        )
        print(f"{kind:<44}{cells}")
    print("\nNDCG@10 by language (mean of its corpora)")
    for language in sorted({r["language"] for r in results}):
        chosen = [r for r in results if r["language"] == language]
        cells = "".join(
            f"{mean([mean([s[0] for s in r['rows'][m]]) for r in chosen]):>12.3f}" for m in (*MODES, "bm25-python")
        )
        print(f"{language[:43]:<44}{cells}")
    print("\nsearch latency per query, ms (p50 / p95), top 50 chunks")
    for m in (*MODES, "bm25-python"):
        values = [t for r in results for t in r["times"][m]]
        print(f"  {m:<12} {1000 * percentile(values, 0.5):7.2f} / {1000 * percentile(values, 0.95):7.2f}")
    chunks = sum(r["chunks"] for r in results)
    seconds = sum(r["index_seconds"] for r in results)
    print(f"\nindexing (tavrin index, {EMBEDDINGS}): {chunks} chunks in {seconds:.1f} s, {chunks / seconds:.0f} chunks/s")
    hybrid = [mean([s[0] for s in r["rows"]["hybrid"]]) for r in results]
    lexical_only = [mean([s[0] for s in r["rows"]["lexical"]]) for r in results]
    beaten = sum(h > lx for h, lx in zip(hybrid, lexical_only))
    print(f"default (hybrid + ranking) above lexical alone on {beaten} of {len(results)} corpora")


if __name__ == "__main__":
    main()
