"""Safe output files for every command that writes one.

``check_output`` refuses, before any work is done, an output that would destroy something:
a path that is the same file as one of the command's inputs (by any name: ``./a.json``
and ``a.json``, a symbolic link, a hard link), an existing path that is not a regular file
(a directory, a device, a fifo, a socket), or a path whose folder does not exist.

``atomic_write_text`` writes a text file as UTF-8 through a temporary file beside it that
is synced and then renamed over it, so a failed write leaves the old file as it was. A
symbolic link is written through: its target is replaced and the link stays.
"""

from __future__ import annotations

import os
import stat
import tempfile
from os import PathLike
from pathlib import Path
from typing import Iterable, Union

from tavrin.errors import OutputPathError

PathArg = Union[str, "PathLike[str]"]

__all__ = ["OutputPathError", "check_output", "atomic_write_text", "write_target", "same_file"]


def same_file(a: PathArg, b: PathArg) -> bool:
    """Whether ``a`` and ``b`` name the same existing file (through links and other spellings)."""
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def write_target(path: PathArg) -> Path:
    """The file a write to ``path`` replaces: the final target when ``path`` is a symbolic link."""
    return Path(os.path.realpath(os.fspath(path)))


def _kind(mode: int) -> str:
    if stat.S_ISDIR(mode):
        return "a directory"
    if stat.S_ISCHR(mode) or stat.S_ISBLK(mode):
        return "a device"
    if stat.S_ISFIFO(mode):
        return "a fifo"
    if stat.S_ISSOCK(mode):
        return "a socket"
    return "not a regular file"


def check_output(path: PathArg, *, inputs: Iterable[PathArg] = (), option: str = "output") -> Path:
    """Refuse ``path`` as an output unless writing it is safe; return the file a write replaces.

    ``inputs`` are the files the command reads; ``option`` names the option in messages.
    Raises ``OutputPathError`` with a one-line message naming the path.
    """
    text = os.fspath(path)
    if text == "":
        raise OutputPathError(f"{option}: the path is empty")
    try:
        st = os.stat(text)
    except FileNotFoundError:
        st = None
    except OSError as exc:
        raise OutputPathError(f"{option} {text!r}: {exc.strerror or exc}") from exc
    if st is not None and not stat.S_ISREG(st.st_mode):
        raise OutputPathError(f"{option} {text!r} is {_kind(st.st_mode)}, not a regular file; refusing to replace it")
    for source in inputs:
        if source is not None and same_file(text, source):
            raise OutputPathError(
                f"{option} {text!r} is the same file as the input {os.fspath(source)!r}; refusing to overwrite it"
            )
    target = write_target(text)
    if not target.parent.is_dir():
        raise OutputPathError(f"{option} {text!r}: folder {str(Path(text).parent)!r} does not exist")
    return target


def atomic_write_text(path: PathArg, text: str) -> None:
    """Write ``text`` (UTF-8) to ``path`` atomically, through a symbolic link to its target."""
    target = write_target(path)
    directory = target.parent
    fd, tmp_name = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".tmp", dir=directory)
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="") as handle:
            handle.write(text)
            handle.flush()
            os.fsync(handle.fileno())
        os.chmod(tmp_name, _new_file_mode(target))
        os.replace(tmp_name, target)
    except BaseException:
        try:
            os.unlink(tmp_name)
        except FileNotFoundError:
            pass
        raise
    _sync_directory(directory)


def _new_file_mode(path: Path) -> int:
    """The permissions of the file being replaced, else 0o666 less the umask."""
    try:
        return path.stat().st_mode & 0o7777
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask


def _sync_directory(directory: Path) -> None:
    """Make a rename durable where the platform allows syncing a directory."""
    if not hasattr(os, "O_DIRECTORY"):
        return
    try:
        fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)
