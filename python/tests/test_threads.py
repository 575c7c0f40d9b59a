"""One client shared by many Python threads; waits without the GIL; tokens
that stay with the server of the URL they were given for."""

from __future__ import annotations

import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import quarn
from servers import ScriptedServer, cached, serve_copy, slow_archive, staged, wait_for


def test_threads_share_one_client(server, cache: Path) -> None:
    client = quarn.Client(cache_dir=cache)
    urls = [server.model("workshop", "table"), server.model("workshop", "chair"),
            server.model("studio", "dining_set"), server.world("studio", "kitchen")] * 4
    with ThreadPoolExecutor(8) as pool:
        paths = list(pool.map(client.fetch, urls))
    assert paths[:4] == paths[4:8] == paths[8:12] == paths[12:]
    assert all(path.is_dir() for path in paths)
    with ThreadPoolExecutor(8) as pool:
        resources = list(pool.map(client.download, urls))
    assert len(set(resources)) == 4


def test_a_download_waits_without_the_gil(cache: Path) -> None:
    slow = ScriptedServer(slow_archive)
    client = quarn.Client(cache_dir=cache)
    failures = []

    def download() -> None:
        try:
            client.fetch(f"{slow.url}/1.0/a/models/slow")
        except quarn.Error as error:
            failures.append(error)

    worker = threading.Thread(target=download, daemon=True)
    worker.start()
    try:
        resource = cached(cache, slow.url, "a", "models", "slow")
        assert wait_for(lambda: bool(staged(resource)))
        # Python code runs on while the download goes on.
        count, end = 0, time.monotonic() + 0.3
        while time.monotonic() < end:
            count += 1
        assert count > 1000 and worker.is_alive()
    finally:
        slow.stop()
        worker.join(60)
    assert not worker.is_alive() and failures


def test_a_token_stays_with_its_server(tmp_path: Path, cache: Path) -> None:
    other = ScriptedServer(lambda path: (404, {"Content-Type": "text/plain"}, b"Not found"))
    served = serve_copy(tmp_path / "served")
    try:
        # A model of ours that needs a model on the other server.
        config = served.directory / "workshop" / "models" / "chair" / "1" / "model.config"
        config.write_text(config.read_text().replace(
            "</model>", f"<depend><model><uri>{other.url}/1.0/x/models/y</uri></model></depend></model>"))
        client = quarn.Client(cache_dir=cache, token="secret")
        try:
            client.download(served.model("workshop", "chair"))
        except quarn.Error:
            pass
        client.fetch_many([f"{other.url}/1.0/x/models/z"])
    finally:
        served.stop()
        other.stop()
    paths = [path for path, _ in other.requests]
    assert any("/x/models/y/" in path for path in paths)
    assert any("/x/models/z/" in path for path in paths)
    sent = {path: headers.get("Private-token") for path, headers in other.requests}
    # The dependency elsewhere goes without the token; the URL given with it.
    assert all(token is None for path, token in sent.items() if "/x/models/y/" in path)
    assert any(token == "secret" for path, token in sent.items() if "/x/models/z/" in path)
