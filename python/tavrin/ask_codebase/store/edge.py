"""The local store: Qdrant Edge (``qdrant_edge``), Qdrant's engine in this process, one
folder per source and a shard folder per generation of it (see ``tavrin.ask_codebase.store.qdrant``)."""

import functools
import json
import os
import shutil
import threading
import time
import uuid
import warnings
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

from tavrin import _json_text
from tavrin._outputs import _sync_directory
from tavrin.ask_codebase.store import disk
from tavrin.ask_codebase.store.base import (
    _EDGE_UPDATE,
    _FILES_FILE,
    _GENERATION_NAME,
    _LEXICAL_FILE,
    _LOCKS,
    _MANIFEST,
    _MANIFEST_FORMAT,
    _READERS,
    _SCROLL,
    _SOURCE_NAME,
    CONTENT_KEY,
    METADATA_KEY,
    SourceInfo,
    StoreConfig,
    StoredChunk,
    _add_lexical,
    _chunk,
    _files_table,
    _new_lexical,
    _plain,
    _read_lexical,
    _text,
    _try_lock,
    _write_bytes,
    _write_json,
)
from tavrin.errors import StoreError, StoreUnavailableError

_WRITE_LOCK_WAIT = 2.0  # seconds a writer waits for a source's lock before it gives up


class _EdgeSource:
    """One generation of a local source, open: its shard and its reader's lock."""

    def __init__(self, name: str, path: Path, shard: Any, readers_fd: int, manifest: Dict[str, Any]) -> None:
        self.name = name
        self.path = path
        self.manifest = manifest
        self._shard = shard
        self._readers_fd: Optional[int] = readers_fd
        self._lexical: Optional[Any] = None

    @property
    def closed(self) -> bool:
        return self._readers_fd is None

    def _call(self, what: Callable[[], Any]) -> Any:
        if self.closed:
            raise StoreError(f"source {self.name!r} was closed; open it again with QdrantWrapper.reuse")
        try:
            return what()
        except StoreError:
            raise
        except Exception as exc:  # the engine's errors are plain Exceptions
            raise StoreError(f"source {self.name!r} in {self.path}: {_text(exc)}") from exc

    def count(self) -> int:
        from qdrant_edge import CountRequest

        return int(self._call(lambda: self._shard.count(CountRequest(exact=True))))

    @property
    def vector_size(self) -> int:
        return int(self.manifest["vector_size"])

    def record(self) -> Dict[str, Any]:
        return {
            "embedding": self.manifest.get("embedding"),
            "indexed": self.manifest.get("indexed"),
            "embedded_text": self.manifest.get("embedded_text") or "text",
        }

    def lexical_index(self) -> Optional[Any]:
        """The source's lexical index, read once; None for a source indexed without one."""
        if self._lexical is None:
            name = self.manifest.get("lexical")
            if not isinstance(name, str):
                return None
            self._lexical = _read_lexical(self.path / name, self.name)
        return self._lexical

    def search_ids(self, vector: Sequence[float], k: int) -> List[Tuple[int, float]]:
        from qdrant_edge import Query, SearchRequest

        request = SearchRequest(
            query=Query.Nearest([float(x) for x in vector]), limit=k, with_payload=False, with_vector=False
        )
        return [(int(h.id), float(h.score)) for h in self._call(lambda: self._shard.search(request))]

    def retrieve(self, ids: Sequence[int]) -> List[StoredChunk]:
        records = self._call(lambda: self._shard.retrieve(list(ids), True, False))
        by_id = {int(r.id): r for r in records}
        return [_chunk(i, by_id[i].payload) for i in ids if i in by_id]

    def chunks(self, with_vectors: bool) -> Iterator[StoredChunk]:
        from qdrant_edge import ScrollRequest

        offset: Any = None
        while True:
            request = ScrollRequest(offset=offset, limit=_SCROLL, with_payload=True, with_vector=with_vectors)
            records, offset = self._call(functools.partial(self._shard.scroll, request))
            for record in records:
                yield _chunk(record.id, record.payload, record.vector if with_vectors else None)
            if offset is None:
                return

    def search(self, vector: Sequence[float], k: int) -> List[Tuple[StoredChunk, float]]:
        from qdrant_edge import Query, SearchRequest

        request = SearchRequest(
            query=Query.Nearest([float(x) for x in vector]), limit=k, with_payload=True, with_vector=False
        )
        hits = self._call(lambda: self._shard.search(request))
        return [(_chunk(h.id, h.payload), float(h.score)) for h in hits]

    def close(self) -> None:
        fd, self._readers_fd = self._readers_fd, None
        if fd is None:
            return
        try:
            self._shard.close()
        except Exception:
            pass
        os.close(fd)


class _EdgeWriter:
    """Writes a new generation of one local source; ``commit`` makes it the source."""

    def __init__(self, store: "_EdgeStore", name: str, record: Dict[str, Any]) -> None:
        self.store = store
        self.name = name
        self.record = record
        self.folder = store.root / name
        self._lock_fd: Optional[int] = store._write_lock(name)
        try:
            store._sweep(name, locked=True)
        except BaseException:
            self._release()
            raise
        stamp = time.strftime("%Y%m%dT%H%M%S", time.gmtime())
        self.generation = f"g-{stamp}-{uuid.uuid4().hex[:8]}"
        self.path = self.folder / self.generation
        self.size: Optional[int] = None
        self._shard: Any = None
        self._readers_fd: Optional[int] = None
        self._next_id = 0
        self._pending: List[Any] = []
        self._pending_bytes = 0
        self.lexical = _new_lexical()
        # the files the generation holds: key -> {"hash": ..., "ids": [point ids]}
        self.files: Optional[Dict[str, Any]] = None
        self.settings: Optional[Dict[str, Any]] = None
        self._live: Optional[Tuple[Path, Dict[str, Any]]] = None

    def live_files(self) -> Optional[Dict[str, Any]]:
        """What the live generation of the source records of the files it was made from
        (their content hashes, point ids and fingerprints, and the settings of indexing),
        or None. Read under this writer's lock: it is the generation that
        ``start_from_live`` then copies."""
        live = self.store._live(self.name)
        table = _files_table(*live) if live else None
        self._live = live if table is not None else None
        return table

    def start_from_live(self) -> None:
        """Make the new generation a copy of the live one that ``live_files`` read, to which
        ``drop`` and ``add`` then apply the changes. The live shard is not opened: only its
        files are copied (the lexical index and the files table are written anew)."""
        from qdrant_edge import EdgeShard

        assert self._live is not None, "live_files() first"
        source, manifest = self._live
        name = manifest.get("lexical")
        if not isinstance(name, str):
            raise StoreError(f"source {self.name!r} has no lexical index to update: index it whole")
        self.lexical = _read_lexical(source / name, self.name)
        disk.check_room(
            self.folder, disk.holes(source) + disk.used(source) + (8 << 20), f"updating source {self.name!r}"
        )
        self._engine(lambda: disk.sparse_copy(source, self.path, skip=(_LEXICAL_FILE, _FILES_FILE)))
        self._readers_fd = _try_lock(self.path / _READERS, shared=True, create=True)
        self._shard = self._engine(lambda: EdgeShard.load(str(self.path)))
        self.size = int(manifest["vector_size"])
        ids = self.lexical.ids()
        self._next_id = max(ids) + 1 if ids else 0

    def drop(self, ids: Sequence[int]) -> None:
        """Remove the chunks with these point ids from the new generation."""
        from qdrant_edge import UpdateOperation

        points: List[Any] = list(ids)
        if points:
            self._update()
            self._engine(lambda: self._shard.update(UpdateOperation.delete_points(points)))
            self.lexical.drop(points)

    def _release(self) -> None:
        fd, self._lock_fd = self._lock_fd, None
        if fd is not None:
            self.store._unlock(self.name, fd)

    def _engine(self, what: Callable[[], Any]) -> Any:
        try:
            return what()
        except StoreError:
            raise
        except Exception as exc:  # the engine's errors (a full disk among them) are plain Exceptions
            raise StoreError(f"cannot write source {self.name!r} in {self.path}: {_text(exc)}") from exc

    def add(self, documents: Sequence[Any], vectors: Sequence[List[float]]) -> List[int]:
        """Store chunks with their vectors; return the point ids they were given."""
        from qdrant_edge import Point

        if self._shard is None:
            from qdrant_edge import Distance, EdgeConfig, EdgeShard, EdgeVectorParams

            self.size = len(vectors[0])
            disk.check_room(
                self.folder.parent, disk.SHARD_ROOM + 2 * self.size * 4 * len(vectors), f"writing source {self.name!r}"
            )
            self.path.mkdir(parents=True)
            self._readers_fd = _try_lock(self.path / _READERS, shared=True, create=True)
            # No write-ahead log: the generation counts only once it is flushed whole.
            config = EdgeConfig(vectors=EdgeVectorParams(size=self.size, distance=Distance.Cosine), wal_enabled=False)
            self._shard = self._engine(lambda: EdgeShard.create(str(self.path), config))
        ids = []
        for document, vector in zip(documents, vectors):
            payload = {CONTENT_KEY: document.page_content, METADATA_KEY: _plain(document.metadata)}
            self._pending.append(Point(self._next_id, vector, payload))
            self._pending_bytes += 4 * len(vector) + 2 * len(document.page_content) + 256
            ids.append(self._next_id)
            self._next_id += 1
        _add_lexical(self.lexical, ids, documents)
        if len(self._pending) >= _EDGE_UPDATE:
            self._update()
        return ids

    @property
    def empty(self) -> bool:
        return self._shard is None

    def _update(self) -> None:
        from qdrant_edge import UpdateOperation

        if self._pending:
            points, self._pending = self._pending, []
            size, self._pending_bytes = self._pending_bytes, 0
            disk.check_room(self.path, disk.holes(self.path) + 2 * size + (8 << 20), f"writing source {self.name!r}")
            self._engine(lambda: self._shard.update(UpdateOperation.upsert_points(points)))

    def commit(self) -> _EdgeSource:
        from qdrant_edge import CountRequest

        try:
            self._update()
            self._engine(self._shard.flush)
            chunks = int(self._engine(lambda: self._shard.count(CountRequest(exact=True))))
            manifest = {
                "format": _MANIFEST_FORMAT,
                "name": self.name,
                "generation": self.generation,
                "chunks": chunks,
                "embedding": self.record.get("embedding"),
                "indexed": self.record.get("indexed"),
                "vector_size": self.size,
                "distance": "cosine",
                "lexical": _LEXICAL_FILE,
                **({"files": _FILES_FILE} if self.files is not None else {}),
                "embedded_text": self.record.get("embedded_text") or "text",
            }
            self._engine(lambda: disk.allocate_vectors(self.path))
            _write_bytes(self.path / _LEXICAL_FILE, self.lexical.to_bytes())
            if self.files is not None:
                table = {"format": 1, "settings": self.settings or {}, "files": self.files}
                _write_bytes(self.path / _FILES_FILE, json.dumps(table, sort_keys=True).encode("utf-8"))
            _sync_directory(self.path)
            self.store._close_open(self.name)  # this process's handles of the generation replaced
            _write_json(self.folder / _MANIFEST, manifest)  # the switch
        except BaseException:
            self.abort()
            raise
        assert self._readers_fd is not None
        source = _EdgeSource(self.name, self.path, self._shard, self._readers_fd, manifest)
        self._shard, self._readers_fd = None, None
        self.store._register(source)
        try:
            self.store._sweep(self.name, locked=True)
        except OSError as exc:  # the source is complete and live; only space is lost
            warnings.warn(
                f"could not remove the replaced generations of {self.name!r}: {exc}", RuntimeWarning, stacklevel=1
            )
        finally:
            self._release()
        return source

    def abort(self) -> None:
        try:
            if self._shard is not None:
                try:
                    self._shard.close()
                except Exception:
                    pass
                self._shard = None
            if self._readers_fd is not None:
                os.close(self._readers_fd)
                self._readers_fd = None
            shutil.rmtree(self.path, ignore_errors=True)
        finally:
            self._release()


class _EdgeStore:
    """The local store: a folder of sources, each a Qdrant Edge shard per generation."""

    def __init__(self, config: StoreConfig) -> None:
        self.config = config
        self.root = config.path
        self.client = None
        self._lock = threading.Lock()
        self._open: Dict[str, _EdgeSource] = {}  # generation folder -> open source
        try:
            (self.root / _LOCKS).mkdir(parents=True, exist_ok=True)
        except OSError as exc:
            raise StoreUnavailableError(
                f"cannot open the local store in {self.root}: {_text(exc)}. "
                "Set TAVRIN_DATA_DIR to a folder you can write to."
            ) from exc
        if config.legacy_path is not None:
            from tavrin.ask_codebase.store.legacy import _move_legacy_store

            _move_legacy_store(self, config.legacy_path)

    # -- locks and housekeeping

    def _lock_path(self, name: str) -> Path:
        return self.root / _LOCKS / f"{name}.lock"

    def _write_lock(self, name: str) -> int:
        # Readers hold the lock only for the moment it takes them to tidy up: wait that out.
        deadline = time.monotonic() + _WRITE_LOCK_WAIT
        fd = _try_lock(self._lock_path(name), shared=False, create=True)
        while fd is None and time.monotonic() < deadline:
            time.sleep(0.05)
            fd = _try_lock(self._lock_path(name), shared=False, create=True)
        if fd is None:
            raise StoreUnavailableError(
                f"source {name!r} is being written by another process (it holds {self._lock_path(name)}); "
                "wait for it to finish, then run the command again"
            )
        return fd

    def _unlock(self, name: str, fd: int) -> None:
        """Release the lock ``fd`` on ``name``; its lock file goes too when no such source is
        left (an unknown name, a deleted source), so that they do not pile up."""
        try:
            if not (self.root / name / _MANIFEST).exists():
                try:
                    os.unlink(self._lock_path(name))
                except OSError:
                    pass
        finally:
            os.close(fd)

    def _manifest(self, name: str, *, strict: bool = True) -> Optional[Dict[str, Any]]:
        """The manifest of ``name``, None when there is none; a damaged one raises
        ``StoreError`` (or, unless ``strict``, gives an empty dict)."""
        path = self.root / name / _MANIFEST
        try:
            data = _json_text.loads(path.read_text(encoding="utf-8"))
        except FileNotFoundError:
            return None
        except (OSError, ValueError) as exc:
            problem = _text(exc)
        else:
            if (
                isinstance(data, dict)
                and isinstance(data.get("generation"), str)
                and _GENERATION_NAME.fullmatch(data["generation"])
                and isinstance(data.get("chunks"), int)
                and isinstance(data.get("vector_size"), int)
            ):
                return data
            problem = "it lacks the generation, chunks or vector_size"
        if not strict:
            return {}
        raise StoreError(
            f"the manifest {path} of source {name!r} is damaged ({problem}); index the source again, "
            f"or remove it with `tavrin sources --delete {name}`"
        )

    def _register(self, source: _EdgeSource) -> None:
        with self._lock:
            self._open[str(source.path)] = source

    def _close_open(self, name: str) -> None:
        with self._lock:
            mine = [key for key, source in self._open.items() if source.name == name]
            sources = [self._open.pop(key) for key in mine]
        for source in sources:
            source.close()

    def _sweep(self, name: str, *, locked: bool = False) -> None:
        """Remove the generations of ``name`` that its manifest does not name, and
        leftover temporary files, unless another process writes the source now or
        still has such a generation open."""
        fd = None
        if not locked:
            if not self._untidy(name):
                return
            fd = _try_lock(self._lock_path(name), shared=False, create=True)
            if fd is None:
                return
        try:
            folder = self.root / name
            manifest = self._manifest(name, strict=False)
            if manifest == {}:
                return  # a damaged manifest: left for the user to see
            current = manifest["generation"] if manifest else None
            try:
                entries = list(os.scandir(folder))
            except (FileNotFoundError, NotADirectoryError):
                return
            for entry in entries:
                if entry.name == current:
                    continue
                if entry.name.startswith("g-") and entry.is_dir(follow_symlinks=False):
                    self._remove_generation(Path(entry.path))
                elif entry.name.startswith(".") and entry.name.endswith(".tmp"):
                    try:
                        os.unlink(entry.path)
                    except OSError:
                        pass
            if manifest is None:
                try:
                    folder.rmdir()
                except OSError:
                    pass
        finally:
            if fd is not None:
                self._unlock(name, fd)

    def _untidy(self, name: str) -> bool:
        """Whether the folder of ``name`` holds anything besides its manifest and the
        generation that the manifest names (read without any lock: only a hint)."""
        try:
            entries = os.listdir(self.root / name)
        except OSError:
            return False
        try:
            current = (self._manifest(name, strict=False) or {}).get("generation")
        except OSError:
            return False
        return any(entry not in (_MANIFEST, current) for entry in entries)

    @staticmethod
    def _remove_generation(path: Path) -> None:
        readers = path / _READERS
        fd = _try_lock(readers, shared=False, create=False)
        if fd is None and os.path.exists(readers):
            return  # open in another process: removed by a later command
        try:
            shutil.rmtree(path, ignore_errors=True)
        finally:
            if fd is not None:
                os.close(fd)

    # -- the store's operations

    def describe(self) -> str:
        return self.config.describe()

    def names(self) -> List[str]:
        try:
            entries = list(os.scandir(self.root))
        except FileNotFoundError:
            return []
        return sorted(
            e.name
            for e in entries
            if e.is_dir() and _SOURCE_NAME.fullmatch(e.name) and os.path.isfile(os.path.join(e.path, _MANIFEST))
        )

    def infos(self) -> List[SourceInfo]:
        infos = []
        for name in self.names():
            try:
                manifest = self._manifest(name)
            except StoreError as exc:  # one damaged source does not hide the others
                infos.append(SourceInfo(name, 0, problem=_text(exc)))
                continue
            if manifest is not None:
                infos.append(SourceInfo(name, manifest["chunks"], manifest.get("embedding"), manifest.get("indexed")))
        return infos

    def open_source(self, name: str) -> Optional[_EdgeSource]:
        from qdrant_edge import EdgeShard

        self._sweep(name)
        failures: Dict[str, int] = {}
        for _ in range(20):
            manifest = self._manifest(name)
            if manifest is None:
                return None
            path = self.root / name / manifest["generation"]
            with self._lock:
                cached = self._open.get(str(path))
            if cached is not None and not cached.closed:
                return cached
            fd = _try_lock(path / _READERS, shared=True, create=False)
            if fd is None or not (path / "edge_config.json").is_file():
                # being removed, or gone: the manifest has moved on since it was read;
                # unless the manifest names the same folder again and again
                if fd is not None:
                    os.close(fd)
                failures[str(path)] = failures.get(str(path), 0) + 1
                if failures[str(path)] >= 3:
                    missing = "the folder" if not path.is_dir() else (_READERS if fd is None else "edge_config.json")
                    raise StoreError(
                        f"source {name!r} is damaged: {path} lacks {missing}; index it again, "
                        f"or remove it with `tavrin sources --delete {name}`"
                    )
                time.sleep(0.05)
                continue
            try:
                disk.check_room(path, disk.holes(path, only_vectors=True), f"opening source {name!r}")
                shard = EdgeShard.load(str(path))
            except StoreError:
                os.close(fd)
                raise
            except Exception as exc:
                os.close(fd)
                raise StoreError(f"cannot open source {name!r} in {path}: {_text(exc)}; index it again") from exc
            source = _EdgeSource(name, path, shard, fd, manifest)
            with self._lock:
                cached = self._open.get(str(path))
                if cached is None or cached.closed:
                    self._open[str(path)] = source
                    return source
            source.close()  # another thread opened it meanwhile
            return cached
        raise StoreUnavailableError(f"source {name!r} kept changing while it was opened; run the command again")

    def writer(self, name: str, record: Dict[str, Any]) -> _EdgeWriter:
        return _EdgeWriter(self, name, record)

    def files_table(self, name: str) -> Optional[Dict[str, Any]]:
        """What the live generation of ``name`` records of the files it was made from
        (see ``_EdgeWriter.live_files``), read without opening the source."""
        live = self._live(name)
        return _files_table(*live) if live else None

    def _live(self, name: str) -> Optional[Tuple[Path, Dict[str, Any]]]:
        """The folder and manifest of the live generation of ``name``, or None."""
        manifest = self._manifest(name, strict=False)
        return (self.root / name / manifest["generation"], manifest) if manifest else None

    def delete(self, name: str) -> Optional[int]:
        fd = self._write_lock(name)
        try:
            manifest = self._manifest(name, strict=False)
            if manifest is None:
                return None
            self._close_open(name)
            os.unlink(self.root / name / _MANIFEST)
            _sync_directory(self.root / name)
            self._sweep(name, locked=True)
            return int(manifest.get("chunks", 0))
        finally:
            self._unlock(name, fd)

    def close(self) -> None:
        with self._lock:
            sources = list(self._open.values())
            self._open.clear()
        for source in sources:
            source.close()
