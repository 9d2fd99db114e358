"""The database of the action history: where it is, one engine per database (tables
created on first use), and sessions that commit or roll back as a block ends."""

import contextlib
import os
import threading
from pathlib import Path
from typing import Dict, Iterator, Optional

from sqlalchemy import create_engine
from sqlalchemy.engine import Engine, make_url
from sqlalchemy.orm import Session

from tavrin._dirs import data_dir
from tavrin.kelmor.model import Base


def database_url() -> str:
    """The database that ``get_db_session`` opens by default (``TAVRIN_DATABASE_URL``, else SQLite)."""
    configured = os.environ.get("TAVRIN_DATABASE_URL")
    if configured:
        return configured
    return f"sqlite:///{data_dir() / 'actions.sqlite3'}"


_engines: Dict[str, Engine] = {}
_engines_lock = threading.Lock()


def _engine(url: str) -> Engine:
    with _engines_lock:
        engine = _engines.get(url)
        if engine is None:
            parsed = make_url(url)
            if parsed.get_backend_name() == "sqlite" and parsed.database not in (None, "", ":memory:"):
                Path(parsed.database).expanduser().parent.mkdir(parents=True, exist_ok=True)
            engine = create_engine(url)
            Base.metadata.create_all(engine)
            _engines[url] = engine
        return engine


def dispose_engines() -> None:
    """Close the connections of every database opened so far."""
    with _engines_lock:
        engines = list(_engines.values())
        _engines.clear()
    for engine in engines:
        engine.dispose()


@contextlib.contextmanager
def get_db_session(url: Optional[str] = None) -> Iterator[Session]:
    """A database session: committed when the block ends normally, rolled back on an error.

    Rows read in the block stay readable after it (their loaded values are kept).
    """
    session = Session(_engine(url or database_url()), expire_on_commit=False)
    try:
        yield session
        session.commit()
    except BaseException:
        session.rollback()
        raise
    finally:
        session.close()
