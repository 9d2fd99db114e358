"""Indexing a real tree into the local store: Qdrant Edge against qdrant-client's local mode.

The tree is a set of installed packages (default: a few from this interpreter's
site-packages), chosen and split by the same pipeline `tavrin index` runs, and embedded
with the hashing embeddings (1024 dimensions). Each engine runs in a fresh child process
that loads, splits and embeds the tree, then writes it through
``QdrantWrapper.from_documents`` with the vectors computed beforehand, so the write time
is the store's alone. Peak RSS is each child's own (``os.wait4``). Then: reopening the
source and searching it, and listing the sources (what `tavrin sources` does) of a
store holding one small source against one holding the big source too.

    .venv/bin/python bench/bench_index.py [--packages langchain,pip,setuptools,numpy]

Prints chunks/s and peak RSS for both engines and their ratios.
"""

import argparse
import json
import os
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path
from typing import Any, Dict, List

SMALL_FILES = 20


def tree(packages: List[str]) -> List[Path]:
    site = Path(sysconfig.get_paths()["purelib"])
    return [site / name for name in packages if (site / name).is_dir()]


def load(roots: List[Path], limit: int = 0) -> List[Any]:
    """The documents `tavrin index` makes of ``roots`` (its selection, loader and splitters)."""
    import logging

    from loguru import logger

    from tavrin.ask_codebase.commands import TreeSelection, _load_documents, _Tally

    logger.remove()
    logging.getLogger("langchain.text_splitter").setLevel(logging.ERROR)
    selections = [TreeSelection(root) for root in roots]
    chosen = {str(s.root): s.files()[: limit or None] for s in selections}
    return list(_load_documents(selections, chosen, None, "main", _Tally(), lambda: None))


class Precomputed:
    """Embeddings that hand out vectors computed beforehand, in order."""

    def __init__(self, vectors: List[List[float]]) -> None:
        self.vectors = vectors
        self.at = 0

    def embed_documents(self, texts: List[str]) -> List[List[float]]:
        out = self.vectors[self.at:self.at + len(texts)]
        self.at += len(texts)
        return out

    def embed_query(self, text: str) -> List[float]:
        from tavrin.embeddings import CodeHashingEmbeddings

        return CodeHashingEmbeddings().embed_query(text)


def config(engine: str, data: Path) -> Any:
    from tavrin.ask_codebase.store.qdrant import StoreConfig

    if engine == "edge":
        return StoreConfig(path=data / "store")
    return StoreConfig(path=data / "qdrant", engine="qdrant-local")


# ---------------------------------------------------------------- what the children do


def child_index(args: argparse.Namespace) -> Dict[str, Any]:
    from tavrin.ask_codebase.store.qdrant import QdrantWrapper, close_clients
    from tavrin.embeddings import CodeHashingEmbeddings

    roots = tree(args.packages.split(","))
    t0 = time.perf_counter()
    documents = load(roots, SMALL_FILES if args.small else 0)
    t1 = time.perf_counter()
    vectors = CodeHashingEmbeddings().embed_documents([d.page_content for d in documents])
    t2 = time.perf_counter()
    cfg = config(args.engine, Path(args.data))
    wrapper = QdrantWrapper.from_documents(
        args.source, documents, lambda: Precomputed(vectors), config=cfg, embedding_name="hashing")
    t3 = time.perf_counter()
    close_clients()
    t4 = time.perf_counter()
    wrapper = QdrantWrapper.reuse(source_name=args.source, embedding_cls=CodeHashingEmbeddings, config=cfg)
    t5 = time.perf_counter()
    searches = 20
    for i in range(searches):
        wrapper.qdrant.similarity_search(documents[i * 7 % len(documents)].page_content[:200], k=20)
    t6 = time.perf_counter()
    return {"chunks": len(documents), "files": len({d.metadata.get("source") for d in documents}),
            "load_s": t1 - t0, "embed_s": t2 - t1, "write_s": t3 - t2, "reopen_s": t5 - t4,
            "search_ms": (t6 - t5) / searches * 1000}


def child_sources(args: argparse.Namespace) -> Dict[str, Any]:
    t0 = time.perf_counter()
    from tavrin.ask_codebase.store.qdrant import QdrantWrapper

    t1 = time.perf_counter()
    infos = QdrantWrapper.describe_sources(config=config(args.engine, Path(args.data)))
    t2 = time.perf_counter()
    return {"import_s": t1 - t0, "sources_s": t2 - t1, "chunks": sum(i.chunks for i in infos)}


# ---------------------------------------------------------------- the parent


def run(argv: List[str], env: Dict[str, str] = None, output: bool = True) -> Dict[str, Any]:
    """Run a child; return its JSON result (when ``output``) and its peak RSS in MiB."""
    child = subprocess.Popen(argv, stdout=subprocess.PIPE, env=env)
    out = child.stdout.read()
    _, status, usage = os.wait4(child.pid, 0)
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        raise SystemExit(f"child failed ({child.returncode}): {' '.join(argv)}")
    result = json.loads(out.decode().strip().splitlines()[-1]) if output else {}
    result["rss_mib"] = usage.ru_maxrss / 1024
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--packages", default="langchain,pip,setuptools,numpy",
                        help="comma-separated folders under site-packages")
    parser.add_argument("--child", choices=["index", "sources"], help=argparse.SUPPRESS)
    parser.add_argument("--engine", default="edge", help=argparse.SUPPRESS)
    parser.add_argument("--data", help=argparse.SUPPRESS)
    parser.add_argument("--source", default="big", help=argparse.SUPPRESS)
    parser.add_argument("--small", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        result = child_index(args) if args.child == "index" else child_sources(args)
        print(json.dumps(result))
        return

    me = [sys.executable, os.path.abspath(__file__), "--packages", args.packages]
    with tempfile.TemporaryDirectory(prefix="bench-index-") as tmp:
        from tavrin.ask_codebase.commands import TreeSelection

        files = sum(len(TreeSelection(root).files()) for root in tree(args.packages.split(",")))
        print(f"tree: {files} files chosen in {args.packages} (site-packages)")
        index: Dict[str, Dict[str, Any]] = {}
        listing: Dict[str, Dict[str, Dict[str, Any]]] = {}
        for engine in ("qdrant-local", "edge"):
            data = os.path.join(tmp, engine)
            base = me + ["--engine", engine, "--data", data]
            small = run(base + ["--child", "index", "--source", "small", "--small"])
            listing[engine] = {"small": run(base + ["--child", "sources"])}
            index[engine] = run(base + ["--child", "index", "--source", "big"])
            listing[engine]["big"] = run(base + ["--child", "sources"])
            listing[engine]["small"]["chunks"] = small["chunks"]
        # the command itself on the new store, small (one tiny source) against big (both)
        cli: Dict[str, Dict[str, Any]] = {}
        for size in ("small", "big"):
            data = os.path.join(tmp, f"cli-{size}")
            base = me + ["--engine", "edge", "--data", data]
            run(base + ["--child", "index", "--source", "small", "--small"])
            if size == "big":
                run(base + ["--child", "index", "--source", "big"])
            env = dict(os.environ, TAVRIN_DATA_DIR=data)
            env.pop("TAVRIN_QDRANT_URL", None)
            t0 = time.perf_counter()
            cli[size] = run([sys.executable, "-c", "from tavrin.cli import main; main()", "sources"], env=env, output=False)
            cli[size]["wall_s"] = time.perf_counter() - t0

    old, new = index["qdrant-local"], index["edge"]
    chunks = new["chunks"]
    print(f"chunks: {chunks} from {new['files']} files; load+split {new['load_s']:.1f} s, "
          f"embed {new['embed_s']:.1f} s (the same in both children)")
    print(f"{'':22}{'qdrant-client local':>22}{'Qdrant Edge':>14}{'ratio':>9}")
    rows = [
        ("write chunks/s", old["chunks"] / old["write_s"], chunks / new["write_s"], "{:.0f}"),
        ("write s", old["write_s"], new["write_s"], "{:.2f}"),
        ("peak RSS MiB (index)", old["rss_mib"], new["rss_mib"], "{:.0f}"),
        ("reopen s", old["reopen_s"], new["reopen_s"], "{:.3f}"),
        ("search ms (k=20)", old["search_ms"], new["search_ms"], "{:.1f}"),
    ]
    for label, a, b, fmt in rows:
        ratio = b / a if label.startswith("write chunks") else a / b
        print(f"{label:22}{fmt.format(a):>22}{fmt.format(b):>14}{ratio:>8.1f}x")
    print("listing the sources (open the store, describe every source), small store -> big store:")
    for engine in ("qdrant-local", "edge"):
        s, b = listing[engine]["small"], listing[engine]["big"]
        print(f"  {engine:13} {s['chunks']:>6} -> {b['chunks']:>6} chunks: "
              f"{s['sources_s'] * 1000:8.1f} -> {b['sources_s'] * 1000:8.1f} ms, "
              f"peak RSS {s['rss_mib']:6.0f} -> {b['rss_mib']:6.0f} MiB")
    s, b = cli["small"], cli["big"]
    print(f"  `tavrin sources` (edge, whole command): {s['wall_s']:.2f} -> {b['wall_s']:.2f} s, "
          f"peak RSS {s['rss_mib']:.0f} -> {b['rss_mib']:.0f} MiB")
    print(f"ratio of writes: {chunks / new['write_s'] / (old['chunks'] / old['write_s']):.1f}x "
          "(above 1: Qdrant Edge writes faster)")


if __name__ == "__main__":
    main()
