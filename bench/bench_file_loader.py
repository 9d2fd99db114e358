"""FileLoader.load() against a plain-Python transcription, on a real source tree.

The tree is a set of installed packages (default: a few from this interpreter's
site-packages, compiled caches filtered out). Both loaders run the same langchain
splitters, which dominate; the comparison shows what the loader itself adds. Prints
documents per second for both, their ratio, and checks the documents are identical.

    .venv/bin/python bench/bench_file_loader.py [--packages click,tqdm,loguru,langchain] [--repeat 3]
"""

import argparse
import logging
import os
import sysconfig
import time
from pathlib import Path

from langchain.schema import Document
from langchain.text_splitter import CharacterTextSplitter, Language, RecursiveCharacterTextSplitter
from loguru import logger

from tavrin.ask_codebase.indexing.loader.base import Loader
from tavrin.ask_codebase.indexing.loader.file import (
    FileLoader,
    FileMetadata,
    FileSource,
    gen_github_reference_maker,
)


# ---------------------------------------------------------------- the baseline

def py_get_file_splitter(filepath, chunk_size=5000, chunk_overlap=50):
    splitter_lang_mapping = {
        ".py": Language.PYTHON, ".js": Language.JS, ".go": Language.GO, ".java": Language.JAVA,
        ".php": Language.PHP, ".rs": Language.RUST, ".rb": Language.RUBY,
        ".scala": Language.SCALA, ".swift": Language.SWIFT, ".md": Language.MARKDOWN,
    }
    lang = splitter_lang_mapping.get(filepath.suffix)
    if lang:
        return RecursiveCharacterTextSplitter.from_language(
            language=lang, chunk_size=chunk_size, chunk_overlap=chunk_overlap)
    return CharacterTextSplitter.from_tiktoken_encoder(
        model_name="text-embedding-ada-002", disallowed_special=(),
        chunk_size=chunk_size / 10, chunk_overlap=chunk_overlap)


class PyFileLoader(Loader):
    def __init__(self, sources):
        self.sources = sources

    def load(self):
        for source in self.sources:
            root = Path(source.path)
            file_filter, ref_maker, rel_root = source.file_filter, source.ref_maker, source.rel_root
            real_root = os.path.realpath(root)
            walked = os.path.isdir(real_root)
            prefix = real_root if real_root.endswith(os.sep) else real_root + os.sep
            for f in self._iter_path_or_dir(root):
                if walked:
                    real = os.path.realpath(f)
                    if real != real_root and not real.startswith(prefix):
                        logger.info(f"Skip file: {f} (a link to {real}, outside {real_root})")
                        continue
                if file_filter and not file_filter(str(f)):
                    logger.info(f"Skip file: {f}")
                    continue
                text = f.read_text(encoding="utf-8", errors="ignore")
                rel_path = str(f.relative_to(rel_root)) if rel_root else str(f)
                reference = ref_maker(rel_path) if ref_maker else None
                metadata = FileMetadata(filepath=rel_path, reference=reference,
                                        name=os.path.basename(rel_path), source=rel_path, url=reference)
                document = Document(page_content=text, metadata=metadata._asdict())
                yield from py_get_file_splitter(filepath=f).split_documents([document])

    def _iter_path_or_dir(self, path):
        if path.is_file():
            yield path
        elif path.is_dir():
            for p in path.rglob("*"):
                if p.is_file():
                    yield p


# ---------------------------------------------------------------- running

def sources(packages):
    site = Path(sysconfig.get_paths()["purelib"])
    maker = gen_github_reference_maker("https://github.com/example/site-packages.git")
    return [FileSource(str(site / p), rel_root=str(site), ref_maker=maker,
                       file_filter=lambda path: "__pycache__" not in path)
            for p in packages]


def timed(loader, repeat):
    best, count = float("inf"), 0
    for _ in range(repeat):
        t0 = time.perf_counter()
        count = sum(1 for _ in loader.load())
        best = min(best, time.perf_counter() - t0)
    return best, count


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--packages", default="click,tqdm,loguru,langchain",
                        help="comma-separated folders under site-packages")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    logger.remove()  # both sides log the skipped caches; keep the console quiet
    logging.getLogger("langchain.text_splitter").setLevel(logging.ERROR)  # oversized-chunk warnings

    srcs = sources(args.packages.split(","))
    files = sum(1 for s in srcs for p in Path(s.path).rglob("*")
                if p.is_file() and "__pycache__" not in str(p))
    print(f"tree: {files} files in {args.packages}")
    py_get_file_splitter(Path("warm.txt"))  # load the token encoding once, outside the timing
    # alternate the two so that both see the same warm caches
    native_s = python_s = float("inf")
    for _ in range(args.repeat):
        t, n = timed(FileLoader(srcs), 1)
        native_s = min(native_s, t)
        t, m = timed(PyFileLoader(srcs), 1)
        python_s = min(python_s, t)
    print(f"FileLoader.load : {native_s:7.2f} s  {n / native_s:8.0f} documents/s")
    print(f"plain Python    : {python_s:7.2f} s  {m / python_s:8.0f} documents/s")
    print(f"ratio           : {python_s / native_s:7.2f}x  (above 1: the native loader is faster)")
    same = all(a.page_content == b.page_content and a.metadata == b.metadata
               for a, b in zip(FileLoader(srcs).load(), PyFileLoader(srcs).load()))
    print(f"documents identical: {same and n == m} ({n} documents)")


if __name__ == "__main__":
    main()
