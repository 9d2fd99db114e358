import os
import socket
from pathlib import Path

import pytest

from tavrin._outputs import OutputPathError, atomic_write_text, check_output


def test_an_input_by_any_name_is_refused(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    source = tmp_path / "a.json"
    source.write_text("{}")
    (tmp_path / "link.json").symlink_to(source)
    os.link(source, tmp_path / "hard.json")
    monkeypatch.chdir(tmp_path)
    for name in ("a.json", "./a.json", str(source), "link.json", "hard.json"):
        with pytest.raises(OutputPathError, match="same file as the input"):
            check_output(name, inputs=["a.json"])
    assert check_output("b.json", inputs=["a.json"]) == tmp_path / "b.json"


def test_what_is_not_a_regular_file_is_refused(tmp_path: Path) -> None:
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    sock_path = tmp_path / "sock"
    with socket.socket(socket.AF_UNIX) as sock:
        sock.bind(str(sock_path))
        for path, kind in ((tmp_path, "a directory"), (fifo, "a fifo"), (sock_path, "a socket"),
                           (Path("/dev/null"), "a device")):
            with pytest.raises(OutputPathError, match=kind):
                check_output(path)
    with pytest.raises(OutputPathError, match="does not exist"):
        check_output(tmp_path / "nodir" / "x.json")


def test_writes_through_a_link_and_leaves_the_old_file_on_failure(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    target = tmp_path / "real.md"
    target.write_text("old")
    link = tmp_path / "link.md"
    link.symlink_to(target)
    atomic_write_text(link, "new ü")
    assert link.is_symlink() and target.read_text(encoding="utf-8") == "new ü"

    def full(fd: int) -> None:
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, "fsync", full)
    with pytest.raises(OSError):
        atomic_write_text(target, "x" * 100_000)
    monkeypatch.undo()
    assert target.read_text(encoding="utf-8") == "new ü"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["link.md", "real.md"]
