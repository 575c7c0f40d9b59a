"""quarn.Cache: ls, du, rm, prune, verify, path."""

from __future__ import annotations

from pathlib import Path

import pytest

import quarn
from servers import cached, write_config


@pytest.fixture
def filled(server, cache: Path, tmp_path: Path) -> quarn.Cache:
    client = quarn.Client(write_config(tmp_path / "config.yaml", cache, [server.url]))
    for version in ("1", "2"):
        client.download(server.model("workshop", "table", version))
    kitchen = client.download(server.world("studio", "kitchen"))
    filled = quarn.Cache(cache)
    # The world alone beside the tables: not the models it includes.
    assert [m.name for m in kitchen.includes] == ["dining_set"]
    for url in (server.model("studio", "dining_set"), server.model("workshop", "chair")):
        filled.rm(url)
    return filled


def test_ls_and_du(filled: quarn.Cache, server, cache: Path) -> None:
    assert filled.path == cache
    listed = [(r.kind, r.owner, r.name, r.version) for r in filled.ls()]
    assert listed == [("world", "studio", "kitchen", 1),
                      ("model", "workshop", "table", 1), ("model", "workshop", "table", 2)]
    table = filled.ls()[-1]
    assert table.path == cached(cache, server.url, "workshop", "models", "table") / "2"
    assert table.size > 0 and table.from_cache
    assert filled.du() == sum(r.size for r in filled.ls())


def test_rm_one_version_or_all(filled: quarn.Cache, server) -> None:
    removed = filled.rm(server.model("workshop", "table", "1"))
    assert [p.name for p in removed] == ["1"] and not removed[0].exists()
    assert [r.version for r in filled.ls() if r.name == "table"] == [2]
    filled.rm(server.world("studio", "kitchen"))
    assert [r.name for r in filled.ls()] == ["table"]
    with pytest.raises(quarn.NotFound):
        filled.rm(server.world("studio", "kitchen"))
    with pytest.raises(quarn.InvalidUrl):
        filled.rm("nothing at all")


def test_prune_keeps_the_newest(filled: quarn.Cache) -> None:
    removed = filled.prune(keep=1)
    assert [p.name for p in removed] == ["1"]
    assert filled.prune() == []
    with pytest.raises(ValueError):
        filled.prune(keep=0)


def test_verify_reports_what_changed(filled: quarn.Cache, server) -> None:
    assert all(check.intact for check in filled.verify())
    table = filled.ls()[-1].path
    (table / "model.sdf").write_text("changed")
    (table / "extra.txt").write_text("added")
    (check,) = filled.verify(server.model("workshop", "table", "2"))
    assert (check.path, check.changed, check.added, check.intact) == (
        table, ("model.sdf",), ("extra.txt",), False)
    with pytest.raises(quarn.NotFound):
        filled.verify(server.model("workshop", "chair"))
