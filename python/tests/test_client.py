"""quarn.Client against `quarn serve`: each call as a Python user relies on
it (the library's own behaviour is the C++ tests')."""

from __future__ import annotations

import dataclasses
import json
import pickle
import shutil
import threading
from pathlib import Path
from typing import Dict, List, Tuple

import pytest

import quarn
from servers import cached, write_config


def test_version_is_the_library_version() -> None:
    major, minor, patch = quarn.__version__.split(".")
    assert major.isdigit() and minor.isdigit() and patch.isdigit()


def test_fetch_downloads_then_answers_from_the_cache(server, cache: Path) -> None:
    client = quarn.Client(cache_dir=cache)
    url = server.model("workshop", "table")
    path = client.fetch(url)
    assert isinstance(path, Path)
    assert path == cached(cache, server.url, "workshop", "models", "table") / "2"
    assert (path / "model.config").is_file()
    # The cache answers now, even with no server to ask.
    assert quarn.Client(cache_dir=cache, offline=True).fetch(url) == path


@pytest.mark.parametrize(
    "url, relative",
    [
        (("model", "workshop", "table", "1"), "workshop/models/table/1"),
        (("model", "workshop", "table", "tip", "files", "meshes/top.obj"),
         "workshop/models/table/2/meshes/top.obj"),
        (("world", "studio", "kitchen"), "studio/worlds/kitchen/1"),
        (("world", "studio", "kitchen", "tip", "files", "kitchen.sdf"),
         "studio/worlds/kitchen/1/kitchen.sdf"),
    ],
)
def test_fetch_takes_models_worlds_and_files(server, cache: Path, url, relative) -> None:
    kind, *rest = url
    full = server.model(*rest) if kind == "model" else server.world(*rest)
    path = quarn.Client(cache_dir=cache).fetch(full)
    assert path == cached(cache, server.url) / relative
    assert path.exists()


def test_fetch_many_keeps_the_order_and_returns_failures(server, cache: Path) -> None:
    client = quarn.Client(cache_dir=cache)
    urls = [
        server.model("workshop", "chair"),
        server.model("nobody", "nothing"),
        server.world("studio", "kitchen"),
        "not a url",
    ]
    chair, missing, kitchen, invalid = client.fetch_many(urls, jobs=3)
    assert chair == cached(cache, server.url, "workshop", "models", "chair") / "1"
    assert isinstance(missing, quarn.NotFound) and missing.url == urls[1]
    assert kitchen == cached(cache, server.url, "studio", "worlds", "kitchen") / "1"
    assert isinstance(invalid, quarn.InvalidUrl)
    assert client.fetch_many([]) == []


def test_fetch_of_a_world_brings_the_models_it_includes(server, cache: Path) -> None:
    # As the tool's fetch: the world's SDF includes dining_set by URL, which
    # needs chair and table; all are cached afterwards, so the world loads
    # offline.
    dining = cached(cache, server.url, "studio", "models", "dining_set")
    for fetch in (lambda client, url: client.fetch_many([url])[0],
                  lambda client, url: client.fetch(url)):
        shutil.rmtree(cache, ignore_errors=True)
        kitchen = fetch(quarn.Client(cache_dir=cache), server.world("studio", "kitchen"))
        assert kitchen == cached(cache, server.url, "studio", "worlds", "kitchen") / "1"
        assert (dining / "1" / "model.config").is_file()
        for name in ("chair", "table"):
            assert cached(cache, server.url, "workshop", "models", name).is_dir()
        offline = quarn.Client(cache_dir=cache, offline=True)
        assert offline.fetch_many([server.world("studio", "kitchen")]) == [kitchen]


def test_download_a_model_with_its_dependencies(server, cache: Path) -> None:
    client = quarn.Client(cache_dir=cache)
    dining = client.download(server.model("studio", "dining_set"))
    assert isinstance(dining, quarn.Resource)
    assert (dining.kind, dining.owner, dining.name, dining.version) == ("model", "studio", "dining_set", 1)
    assert dining.url == server.model("studio", "dining_set", "1")
    assert dining.server == server.url
    assert dining.path == cached(cache, server.url, "studio", "models", "dining_set") / "1"
    assert dining.size > 0 and not dining.from_cache
    assert sorted((d.name, d.version) for d in dining.dependencies) == [("chair", 1), ("table", 2)]
    assert all(d.path is not None and d.path.is_dir() for d in dining.dependencies)
    # Named again, the cache answers.
    again = client.download(server.model("studio", "dining_set", "1"))
    assert again.from_cache and again == dining


def test_download_of_a_world_brings_the_models_it_includes(server, cache: Path) -> None:
    # As quarn download: kitchen's SDF includes dining_set by URL, which
    # needs chair and table.
    client = quarn.Client(cache_dir=cache)
    kitchen = client.download(server.world("studio", "kitchen"))
    assert kitchen.kind == "world" and kitchen.dependencies == ()
    assert [(m.kind, m.owner, m.name, m.version) for m in kitchen.includes] == [
        ("model", "studio", "dining_set", 1)]
    dining = kitchen.includes[0]
    assert dining.path == cached(cache, server.url, "studio", "models", "dining_set") / "1"
    assert dining.url == server.model("studio", "dining_set", "1")
    assert sorted((d.name, d.version) for d in dining.dependencies) == [("chair", 1), ("table", 2)]
    assert all(d.path is not None and d.path.is_dir() and d.includes == () for d in dining.dependencies)
    assert dining.includes == ()
    # From the cache, with the same includes; a model includes nothing.
    again = client.download(server.world("studio", "kitchen", "1"))
    assert again.from_cache and again.includes == kitchen.includes
    assert again.includes[0].dependencies == dining.dependencies
    assert client.download(server.model("workshop", "chair")).includes == ()


def test_a_world_whose_included_model_fails_raises_with_the_world(tmp_path: Path, cache: Path) -> None:
    from servers import serve_copy

    served = serve_copy(tmp_path / "broken")
    try:
        sdf = served.directory / "studio" / "worlds" / "kitchen" / "1" / "kitchen.sdf"
        original = sdf.read_text()
        sdf.write_text(original.replace(
            "</world>", f"<include><uri>{served.url}/1.0/studio/models/missing</uri></include>\n"
            "  </world>"))
        client = quarn.Client(cache_dir=cache)
        with pytest.raises(quarn.NotFound) as raised:
            client.download(served.world("studio", "kitchen"))
        # A world that includes nothing has no includes.
        sdf.write_text('<?xml version="1.0"?>\n<sdf version="1.9"><world name="kitchen"/></sdf>\n')
        bare = quarn.Client(cache_dir=tmp_path / "other").download(served.world("studio", "kitchen"))
    finally:
        served.stop()
    error = raised.value
    assert "kitchen" in str(error) and "missing" in str(error)
    world = error.world
    assert isinstance(world, quarn.Resource) and (world.kind, world.name) == ("world", "kitchen")
    assert world.path == cached(cache, served.url, "studio", "worlds", "kitchen") / "1"
    assert (world.path / "kitchen.sdf").is_file()
    assert [m.name for m in world.includes] == ["dining_set"]
    assert pickle.loads(pickle.dumps(error)).world == world
    assert bare.kind == "world" and bare.path is not None and bare.includes == ()


def test_download_force_downloads_again(server, cache: Path) -> None:
    client = quarn.Client(cache_dir=cache)
    url = server.model("workshop", "chair", "1")
    client.download(url)
    assert client.download(url).from_cache
    assert not client.download(url, force=True).from_cache


def test_download_a_world_and_a_collection(server, cache: Path) -> None:
    client = quarn.Client(cache_dir=cache)
    kitchen = client.download(server.world("studio", "kitchen"))
    assert (kitchen.kind, kitchen.version) == ("world", 1)
    assert (kitchen.path / "kitchen.sdf").is_file()

    furniture = client.download(f"{server.url}/1.0/studio/collections/furniture", jobs=2)
    assert isinstance(furniture, quarn.Collection)
    assert furniture.ok and furniture.failures == ()
    assert sorted((m.kind, m.name) for m in furniture.members) == [
        ("model", "chair"), ("model", "dining_set"), ("model", "table"), ("world", "kitchen")]


def test_a_collection_lists_its_failures(tmp_path: Path, cache: Path) -> None:
    from servers import serve_copy

    served = serve_copy(tmp_path / "broken")
    try:
        # One member's archive cannot be made any more.
        (served.directory / "workshop" / "models" / "chair" / "1" / "model.config").unlink()
        furniture = quarn.Client(cache_dir=cache).download(
            f"{served.url}/1.0/studio/collections/furniture")
    finally:
        served.stop()
    assert not furniture.ok
    assert {m.name for m in furniture.members} >= {"table", "kitchen"}
    assert furniture.failures and all(isinstance(f, quarn.Error) for f in furniture.failures)


def test_resources_are_frozen_values_equal_by_identity(server, cache: Path) -> None:
    client = quarn.Client(cache_dir=cache)
    downloaded = client.download(server.model("workshop", "table"))
    described = client.details(server.model("workshop", "table"))
    assert described.path is None and downloaded.path is not None
    assert described == downloaded and hash(described) == hash(downloaded)
    assert len({described, downloaded}) == 1
    older = client.download(server.model("workshop", "table", "1"))
    assert older != downloaded and len({older, downloaded, described}) == 2
    with pytest.raises(dataclasses.FrozenInstanceError):
        downloaded.version = 3  # type: ignore[misc]


def test_details_of_models_and_worlds(server, cache: Path) -> None:
    client = quarn.Client(cache_dir=cache)
    table = client.details(server.model("workshop", "table"))
    assert (table.kind, table.owner, table.name, table.version) == ("model", "workshop", "table", 2)
    assert table.size > 0
    kitchen = client.details(server.world("studio", "kitchen"))
    assert (kitchen.kind, kitchen.version) == ("world", 1)
    assert not (cache / "127.0.0.1").exists()


def test_listings_walk_every_page_lazily(server, cache: Path) -> None:
    client = quarn.Client(cache_dir=cache)
    # One resource per page: three pages of models.
    models = sorted((m.owner, m.name) for m in client.models(server.url))
    assert models == [("studio", "dining_set"), ("workshop", "chair"), ("workshop", "table")]
    assert [m.name for m in client.models(server.url, owner="workshop")] in (
        ["chair", "table"], ["table", "chair"])
    assert [(w.owner, w.name) for w in client.worlds(server.url)] == [("studio", "kitchen")]
    # Nothing is asked before the iteration starts.
    listing = client.models("http://127.0.0.1:9")
    with pytest.raises(quarn.NetworkError):
        next(listing)


class PagedListing:
    """A server of 20 listing pages of one model or world each, page
    `failing` answered with 500; records the pages asked."""

    def __init__(self, failing: int = 0) -> None:
        from servers import ScriptedServer

        self.asked: List[int] = []

        def answer(path: str) -> Tuple[int, Dict[str, str], bytes]:
            route, _, query = path.partition("?")
            page = int(query.split("page=")[1].split("&")[0]) if "page=" in query else 1
            self.asked.append(page)
            if page == failing:
                return 500, {"Content-Type": "text/plain"}, b"database on fire"
            kind = route.rsplit("/", 1)[-1]
            headers = {"Content-Type": "application/json"}
            if page > 20:
                return 200, headers, b"[]"
            if kind == "worlds" and page < 20:
                headers["Link"] = f'<{self.server.url}{route}?page={page + 1}>; rel="next"'
            body = json.dumps([{"owner": "owner", "name": f"{kind}{page}", "version": 1}])
            return 200, headers, body.encode()

        self.server = ScriptedServer(answer, query=True)


@pytest.mark.parametrize("kind", ["models", "worlds"])
def test_listings_yield_each_page_as_it_arrives(cache: Path, kind: str) -> None:
    listing = PagedListing()
    try:
        client = quarn.Client(cache_dir=cache)
        walk = getattr(client, kind)(listing.server.url)
        assert listing.asked == []
        first = next(walk)
        assert (first.owner, first.name) == ("owner", f"{kind}1")
        # Page 1 and the few asked ahead of it; not the last page.
        asked_before = list(listing.asked)
        assert 1 in asked_before and max(asked_before) <= 3
        rest = [resource.name for resource in walk]
    finally:
        listing.server.stop()
    assert rest == [f"{kind}{page}" for page in range(2, 21)]


@pytest.mark.parametrize("kind", ["models", "worlds"])
def test_a_failing_page_raises_after_the_pages_before_it(cache: Path, kind: str) -> None:
    listing = PagedListing(failing=3)
    got = []
    try:
        client = quarn.Client(cache_dir=cache)
        with pytest.raises(quarn.ServerError) as raised:
            for resource in getattr(client, kind)(listing.server.url):
                got.append(resource.name)
    finally:
        listing.server.stop()
    assert got == [f"{kind}1", f"{kind}2"]
    error = raised.value
    assert (error.status, error.server_text) == (500, "database on fire")
    assert error.server == listing.server.url and error.resource == kind


def test_listings_of_the_configured_servers(server, cache: Path, tmp_path: Path) -> None:
    config = write_config(tmp_path / "config.yaml", cache, [server.url])
    client = quarn.Client(config)
    assert client.cache_dir == cache
    assert {m.name for m in client.models()} == {"dining_set", "chair", "table"}


def test_progress_events_come_on_the_calling_thread(server, cache: Path) -> None:
    events = []
    threads = set()

    def progress(event: quarn.Progress) -> None:
        events.append(event)
        threads.add(threading.get_ident())

    quarn.Client(cache_dir=cache).download(server.model("studio", "dining_set"), progress=progress)
    assert events and all(isinstance(e, quarn.Progress) for e in events)
    assert threads == {threading.get_ident()}
    last = events[-1]
    assert last.phase == "done"
    assert last.bytes > 0 and last.resources_saved == 3
    assert [e.bytes for e in events] == sorted(e.bytes for e in events)


def test_an_exception_in_progress_reaches_the_caller(server, cache: Path) -> None:
    def progress(event: quarn.Progress) -> None:
        raise RuntimeError("stop")

    client = quarn.Client(cache_dir=cache)
    with pytest.raises(RuntimeError, match="stop"):
        client.download(server.model("workshop", "chair"), progress=progress)


def test_offline_clients_answer_from_the_cache_only(server, cache: Path, monkeypatch) -> None:
    quarn.Client(cache_dir=cache).fetch(server.model("workshop", "chair"))
    for client in (quarn.Client(cache_dir=cache, offline=True),
                   (monkeypatch.setenv("QX_QUARN_OFFLINE", "1"), quarn.Client(cache_dir=cache))[1]):
        assert client.offline
        assert client.fetch(server.model("workshop", "chair")).is_dir()
        with pytest.raises(quarn.OfflineError):
            client.fetch(server.model("workshop", "table"))
        with pytest.raises(quarn.OfflineError):
            client.download(server.world("studio", "kitchen"))
    assert not cached(cache, server.url, "workshop", "models", "table").exists()


def test_update_brings_the_cache_to_the_newest_versions(server, cache: Path, tmp_path: Path) -> None:
    client = quarn.Client(write_config(tmp_path / "config.yaml", cache, [server.url]))
    client.download(server.model("workshop", "table", "1"))
    client.download(server.model("workshop", "chair", "1"))
    updates = {u.name: u for u in client.update()}
    assert updates["table"].status == "updated" and updates["table"].server_version == 2
    assert updates["table"].path == cached(cache, server.url, "workshop", "models", "table") / "2"
    assert updates["chair"].status == "current" and updates["chair"].error is None
