"""Where tavrin keeps its data on disk."""

import os
from pathlib import Path


def data_dir() -> Path:
    """The folder where tavrin keeps its data.

    ``TAVRIN_DATA_DIR`` when set; otherwise ``$XDG_DATA_HOME/tavrin``, or
    ``~/.local/share/tavrin`` when ``XDG_DATA_HOME`` is unset.
    """
    configured = os.environ.get("TAVRIN_DATA_DIR")
    if configured:
        return Path(configured).expanduser()
    xdg = os.environ.get("XDG_DATA_HOME", "")
    if os.path.isabs(xdg):
        return Path(xdg) / "tavrin"
    return Path("~/.local/share/tavrin").expanduser()
