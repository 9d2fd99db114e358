"""The disk under a local store: room checked before the engine writes, and shard folders
copied with their holes.

Qdrant Edge lays its files out sparse and writes into them through memory maps; with the
disk full such a write ends the process (SIGBUS) instead of raising an error, so the store
checks for room first and says "No space left on device" itself.
"""

import errno
import os
from pathlib import Path
from typing import BinaryIO, Collection, Iterator

from tavrin.ask_codebase.store.base import _READERS
from tavrin.errors import StoreError

# Room a new shard needs before its first point: the engine lays out files of 32 MiB that
# it fills as it goes (sparse on the disk), and a write into them with the disk full ends
# the process (SIGBUS) instead of raising an error.
SHARD_ROOM = 40 << 20


def _files(folder: Path, only_vectors: bool = False) -> Iterator[str]:
    """The paths of the files under ``folder``; with ``only_vectors``, of the vector chunks
    alone (``chunk_*.mmap``)."""
    for dirpath, _, names in os.walk(folder):
        for name in names:
            if not only_vectors or (name.startswith("chunk_") and name.endswith(".mmap")):
                yield os.path.join(dirpath, name)


def holes(folder: Path, only_vectors: bool = False) -> int:
    """The bytes the files of ``folder`` may still claim on the disk: their sizes beyond
    what is allocated to them (the holes of sparse files); with ``only_vectors``, of the
    vector chunks alone, which the engine fills when it opens a shard."""
    total = 0
    for path in _files(folder, only_vectors):
        try:
            st = os.stat(path)
        except OSError:
            continue
        total += max(0, st.st_size - st.st_blocks * 512)
    return total


def allocate_vectors(folder: Path) -> None:
    """Give the vector chunks of a new shard all their blocks now (their content does not
    change), so that opening the shard later never needs free space."""
    for path in _files(folder, only_vectors=True):
        fd = os.open(path, os.O_RDWR)
        try:
            os.posix_fallocate(fd, 0, os.fstat(fd).st_size)
        finally:
            os.close(fd)


def check_room(folder: Path, needed: int, what: str) -> None:
    """Raise ``StoreError`` ("No space left on device") when the file system of ``folder``
    has less than ``needed`` bytes free."""
    try:
        st = os.statvfs(folder)
    except OSError:
        return
    free = st.f_bavail * st.f_frsize
    if free < needed:
        raise StoreError(
            f"No space left on device: {what} needs about {(needed + (1 << 20) - 1) >> 20} MB free "
            f"in {folder}, and {free >> 20} MB are; free some space, or set TAVRIN_DATA_DIR to another disk"
        )


def used(folder: Path) -> int:
    """The bytes the files of ``folder`` take on the disk."""
    total = 0
    for path in _files(folder):
        try:
            total += os.stat(path).st_blocks * 512
        except OSError:
            continue
    return total


def sparse_copy(source: Path, target: Path, skip: Collection[str] = ()) -> None:
    """Copy the folder ``source`` to ``target``, keeping the holes of sparse files; files
    named in ``skip`` (at any depth) and the readers' lock file are not copied."""
    for dirpath, _, names in os.walk(source):
        rel = Path(dirpath).relative_to(source)
        (target / rel).mkdir(parents=True, exist_ok=True)
        for name in names:
            if name == _READERS or name in skip:
                continue
            with open(os.path.join(dirpath, name), "rb") as src, open(target / rel / name, "wb") as dst:
                size = os.fstat(src.fileno()).st_size
                offset = 0
                while offset < size:
                    try:
                        start = os.lseek(src.fileno(), offset, os.SEEK_DATA)
                    except OSError:  # no data after offset: the rest is a hole
                        break
                    end = os.lseek(src.fileno(), start, os.SEEK_HOLE)
                    _copy_range(src, dst, start, end - start)
                    offset = end
                dst.truncate(size)
                dst.flush()
                os.fsync(dst.fileno())


def _copy_range(src: BinaryIO, dst: BinaryIO, start: int, length: int) -> None:
    """Copy ``length`` bytes at ``start`` of ``src`` to the same place in ``dst``: in the
    kernel where it can (``copy_file_range``: no pass through this process, and a shared
    extent on file systems that clone), else by reading and writing."""
    done = 0
    try:
        while done < length:
            n = os.copy_file_range(src.fileno(), dst.fileno(), length - done, start + done, start + done)
            if n == 0:
                return  # the file got shorter meanwhile
            done += n
        return
    except OSError as exc:
        if exc.errno not in (errno.EXDEV, errno.ENOSYS, errno.EINVAL, errno.EOPNOTSUPP, errno.EPERM) or done:
            raise
    src.seek(start)
    dst.seek(start)
    remaining = length
    while remaining > 0:
        block = src.read(min(remaining, 1 << 20))
        if not block:
            break
        dst.write(block)
        remaining -= len(block)
