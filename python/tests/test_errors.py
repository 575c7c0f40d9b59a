"""Every failure is a quarn.Error of its kind, with its parts."""

from __future__ import annotations

import io
import pickle
import zipfile
from pathlib import Path

import pytest

import quarn
from servers import ScriptedServer


def test_every_kind_is_an_error() -> None:
    kinds = [quarn.InvalidUrl, quarn.NotFound, quarn.Unauthorized, quarn.OfflineError,
             quarn.NetworkError, quarn.ServerError, quarn.CacheError, quarn.ArchiveError,
             quarn.Interrupted]
    assert all(issubclass(kind, quarn.Error) for kind in kinds)
    assert issubclass(quarn.InvalidUrl, ValueError)
    assert len({kind.reason for kind in kinds}) == len(kinds)


def test_not_found_says_what_the_server_said(server, cache: Path) -> None:
    url = server.model("workshop", "nothing")
    with pytest.raises(quarn.NotFound) as raised:
        quarn.Client(cache_dir=cache).fetch(url)
    error = raised.value
    assert error.status == 404 and error.url == url and error.server == server.url
    assert "workshop" in str(error) and error.reason == "not-found"
    assert "workshop/models/nothing" in error.server_text


def test_invalid_urls(server, cache: Path) -> None:
    client = quarn.Client(cache_dir=cache)
    with pytest.raises(quarn.InvalidUrl):
        client.fetch(f"{server.url}/1.0/studio/collections/furniture")
    with pytest.raises(quarn.InvalidUrl):
        client.download(server.model("workshop", "table", "tip", "files", "model.sdf"))
    with pytest.raises(ValueError):
        client.details("ftp://nowhere")


def test_unauthorized_without_the_write_key(writable_server, cache: Path) -> None:
    client = quarn.Client(cache_dir=cache, token="wrong")
    with pytest.raises(quarn.Unauthorized) as raised:
        client.delete(writable_server.model("workshop", "chair"))
    assert raised.value.status == 401


def test_network_error_when_nothing_answers(cache: Path) -> None:
    with pytest.raises(quarn.NetworkError) as raised:
        quarn.Client(cache_dir=cache).fetch("http://127.0.0.1:9/1.0/a/models/b")
    assert raised.value.status == 0 and raised.value.detail


@pytest.fixture
def scripted():
    answers = {}
    served = ScriptedServer(lambda path: answers.get(path.split("?")[0], (404, {}, b"Not found")))
    served.answers = answers
    yield served
    served.stop()


def test_server_error_with_status_and_text(scripted, cache: Path) -> None:
    scripted.answers["/1.0/a/models/b/tip/b.zip"] = (500, {"Content-Type": "text/plain"}, b"disk on fire")
    with pytest.raises(quarn.ServerError) as raised:
        quarn.Client(cache_dir=cache).fetch(f"{scripted.url}/1.0/a/models/b")
    assert raised.value.status == 500 and raised.value.server_text == "disk on fire"


def test_archive_error_for_what_is_no_zip(scripted, cache: Path) -> None:
    headers = {"Content-Type": "application/zip", "X-Qel-Resource-Version": "1"}
    scripted.answers["/1.0/a/models/b/tip/b.zip"] = (200, headers, b"this is no zip archive")
    zipped = io.BytesIO()
    with zipfile.ZipFile(zipped, "w") as archive:
        archive.writestr("model.sdf", "<sdf/>")  # but no model.config
    scripted.answers["/1.0/a/models/c/tip/c.zip"] = (200, headers, zipped.getvalue())
    client = quarn.Client(cache_dir=cache)
    for name in ("b", "c"):
        with pytest.raises(quarn.ArchiveError) as raised:
            client.fetch(f"{scripted.url}/1.0/a/models/{name}")
        assert raised.value.text
    assert not list(cache.rglob(".qxstage*"))


def test_cache_error_with_path_and_the_system_words(server, tmp_path: Path) -> None:
    blocker = tmp_path / "a-file"
    blocker.write_text("not a directory")
    with pytest.raises(quarn.CacheError) as raised:
        quarn.Client(cache_dir=blocker / "cache").fetch(server.model("workshop", "chair"))
    error = raised.value
    assert error.path.startswith(str(blocker)) and error.path in error.text
    assert error.detail and error.strerror == error.detail


def test_errors_pickle_with_their_parts(server, cache: Path) -> None:
    with pytest.raises(quarn.NotFound) as raised:
        quarn.Client(cache_dir=cache).details(server.model("workshop", "nothing"))
    copy = pickle.loads(pickle.dumps(raised.value))
    assert type(copy) is quarn.NotFound
    assert (copy.text, copy.status, copy.url) == (raised.value.text, 404, raised.value.url)


def test_a_configuration_that_does_not_load(tmp_path: Path) -> None:
    with pytest.raises(quarn.Error, match="did not load"):
        quarn.Client(tmp_path / "missing.yaml")
