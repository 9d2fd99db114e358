"""One writer per report: the run writing a report holds an advisory lock (``fcntl.flock``)
on a lock file beside it, ``REPORT.lock``, for as long as it runs.

Two runs writing one report would each make the judgements the other is making (and pay
for them twice), and the last to finish would overwrite the other's report. The second
is refused at once instead. The lock goes with the process that holds it, so a run that
is killed leaves at most an unlocked file, which the next run takes over; a run that ends
removes the file.
"""

from __future__ import annotations

import contextlib
import fcntl
import os
from pathlib import Path
from typing import Iterator, Optional

from tavrin._outputs import write_target
from tavrin.evaluation.qa.report.record import PathArg, ReportError

LOCK_SUFFIX = ".lock"


def lock_path(json_path: PathArg) -> Path:
    """The lock file of the report at ``json_path`` (beside the file a write replaces)."""
    target = write_target(json_path)
    return target.with_name(target.name + LOCK_SUFFIX)


@contextlib.contextmanager
def writing(json_path: PathArg) -> Iterator[None]:
    """Hold the lock of the report at ``json_path`` while the block runs.

    Raises ``ReportError`` naming the report when another process holds it. Where the
    lock file cannot be made (its folder is missing or read-only) the block runs without
    it: writing the report there fails anyway, with its own message.
    """
    path = lock_path(json_path)
    fd = _acquire(path, json_path)
    try:
        yield
    finally:
        if fd is not None:
            with contextlib.suppress(OSError):
                os.unlink(path)
            os.close(fd)


def _acquire(path: Path, json_path: PathArg) -> Optional[int]:
    for _ in range(20):
        try:
            fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        except OSError:
            return None
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            held = os.fstat(fd)
            current = os.stat(path)
        except BlockingIOError:
            os.close(fd)
            raise ReportError(
                f"{json_path} is being written by another tavrin resume or evaluate (it holds {path}); "
                "wait for it to finish, then run the command again"
            ) from None
        except FileNotFoundError:
            os.close(fd)  # its holder removed it as we locked it: take the new one
            continue
        except BaseException:
            os.close(fd)
            raise
        if (held.st_dev, held.st_ino) == (current.st_dev, current.st_ino):
            return fd
        os.close(fd)  # replaced as we locked it: take the new one
    raise ReportError(f"{json_path}: its lock file {path} keeps being replaced; run the command again")
