"""Moving a store of earlier versions (qdrant-client's local mode in
``$TAVRIN_DATA_DIR/qdrant``) into the local store, vectors and all."""

import fcntl
import os
import shutil
import sys
from pathlib import Path
from typing import Any, List

from tavrin.ask_codebase.store.base import _EDGE_UPDATE, _LOCKS, _SOURCE_NAME, StoreConfig, StoredChunk, _text
from tavrin.errors import StoreError, StoreUnavailableError


def _copy(source: Any, target: Any, name: str) -> bool:
    """Write the chunks of ``source``, vectors as stored, as the source ``name`` of
    ``target``; False (and nothing written) when ``source`` holds no chunks."""
    writer = target.writer(name, source.record() or {"embedding": None, "indexed": None})
    try:
        page: List[StoredChunk] = []
        for chunk in source.chunks(with_vectors=True):
            page.append(chunk)
            if len(page) == _EDGE_UPDATE:
                writer.add([c.to_document() for c in page], [c.vector or [] for c in page])
                page = []
        if page:
            writer.add([c.to_document() for c in page], [c.vector or [] for c in page])
        if writer.empty:
            writer.abort()
            return False
    except BaseException:
        writer.abort()
        raise
    writer.commit()
    return True


def _move_legacy_store(store: Any, legacy: Path) -> None:
    """Move every source of a qdrant-client local store in ``legacy`` into ``store``, with
    its vectors, then remove ``legacy``. A source the new store already has is left out;
    on any failure ``legacy`` stays as it was and the next opening tries again."""
    if not (legacy / "meta.json").is_file():
        return
    lock_fd = os.open(store.root / _LOCKS / ".move-earlier-store.lock", os.O_RDWR | os.O_CREAT, 0o644)
    try:
        fcntl.flock(lock_fd, fcntl.LOCK_EX)  # another process may be moving it: wait for it
        if not (legacy / "meta.json").is_file():
            return
        from tavrin.ask_codebase.store.server import _ClientSource, _ClientStore

        try:
            old = _ClientStore(StoreConfig(path=legacy, engine="qdrant-local"))
        except StoreUnavailableError as exc:
            raise StoreUnavailableError(
                f"the store of an earlier tavrin in {legacy} is in use by another process, so it cannot be moved "
                f"to {store.root} now; run the command again when it is free"
            ) from exc
        moved = 0
        try:
            for name in old.names():
                if not _SOURCE_NAME.fullmatch(name) or store._manifest(name, strict=False) is not None:
                    continue
                if not _copy(_ClientSource(old.client, name), store, name):
                    continue
                moved += 1
        except StoreUnavailableError:
            raise
        except Exception as exc:
            raise StoreError(
                f"could not move the store of an earlier tavrin in {legacy} to {store.root}: {_text(exc)}. "
                f"It was left as it was; remove {legacy} and index your sources again to go on without it"
            ) from exc
        finally:
            old.close()
        shutil.rmtree(legacy, ignore_errors=True)
        if moved:
            sys.stderr.write(
                f"Moved {moved} source{'s' if moved != 1 else ''} from the store of an earlier tavrin in {legacy} "
                f"to {store.root}.\n"
            )
    finally:
        os.close(lock_fd)
