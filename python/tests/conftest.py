"""Fixtures of the quarn module's tests: a quiet environment, `quarn serve`
over the example repository (pages of one resource, so listings span
pages; writes taken with WRITE_KEY), and a fresh cache per test."""

from __future__ import annotations

import sys
from pathlib import Path
from typing import Iterator

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

from servers import QuarnServe, serve_copy  # noqa: E402

WRITE_KEY = "write-key-of-the-tests"


@pytest.fixture(autouse=True)
def environment(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> None:
    """Nothing of the user's: no configuration, token or offline switch."""
    for name in ("QX_QUARN_CACHE_PATH", "QX_QUARN_TOKEN", "QX_QUARN_OFFLINE"):
        monkeypatch.delenv(name, raising=False)
    home = tmp_path / "home"
    home.mkdir()
    monkeypatch.setenv("HOME", str(home))


@pytest.fixture(scope="session")
def server(tmp_path_factory: pytest.TempPathFactory) -> Iterator[QuarnServe]:
    """A read-only use of the example repository, shared by the session."""
    served = serve_copy(tmp_path_factory.mktemp("served"), "--page-size", "1")
    yield served
    served.stop()


@pytest.fixture
def writable_server(tmp_path: Path) -> Iterator[QuarnServe]:
    """A server of its own, taking writes with WRITE_KEY."""
    served = serve_copy(tmp_path / "writable", "--page-size", "1", "--write-key", WRITE_KEY)
    yield served
    served.stop()


@pytest.fixture
def cache(tmp_path: Path) -> Path:
    return tmp_path / "cache"
