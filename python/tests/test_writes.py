"""upload, edit and delete against a server that takes writes with a key."""

from __future__ import annotations

import shutil
from pathlib import Path

import pytest

import quarn
from conftest import WRITE_KEY


def test_upload_edit_delete(writable_server, cache: Path, tmp_path: Path) -> None:
    box = tmp_path / "box"
    shutil.copytree(writable_server.directory / "workshop" / "models" / "chair" / "1", box)
    client = quarn.Client(cache_dir=cache, token=WRITE_KEY)

    uploaded = client.upload(box, writable_server.url, "alice")
    assert (uploaded.kind, uploaded.owner, uploaded.server) == ("model", "alice", writable_server.url)
    url = writable_server.model("alice", uploaded.name)
    assert uploaded.url in (url, f"{url}/{uploaded.version}")
    assert client.details(url).name == uploaded.name

    client.edit(url, private=True)
    # Private now: as absent to whoever has no read key.
    with pytest.raises(quarn.NotFound):
        quarn.Client(cache_dir=cache).details(url)

    client.delete(url)
    assert not (writable_server.directory / "alice" / "models" / uploaded.name).exists()


def test_writes_need_the_server(writable_server, cache: Path, tmp_path: Path) -> None:
    client = quarn.Client(cache_dir=cache, token=WRITE_KEY, offline=True)
    with pytest.raises(quarn.OfflineError):
        client.delete(writable_server.model("workshop", "chair"))
    with pytest.raises(quarn.Error):
        quarn.Client(cache_dir=cache, token=WRITE_KEY).upload(
            tmp_path / "missing", writable_server.url, "alice")
