"""quarn.Client: the quarn tool's commands, in Python."""

from __future__ import annotations

import json
import os
from pathlib import Path
from urllib.parse import quote
from typing import Callable, Dict, Iterable, Iterator, List, Optional, Union

from . import _quarn
from ._errors import Error, InvalidUrl
from ._records import (
    Collection,
    Progress,
    Resource,
    Update,
    _failures_of,
    _resource_from_details,
    _resource_from_outcome,
)

__all__ = ["Client"]

PathLike = Union[str, "os.PathLike[str]"]

# How many paths a client keeps the Path of.
_PATHS_KEPT = 4096


def _text(value: Optional[PathLike]) -> Optional[str]:
    return None if value is None else os.fspath(value)


class Client:
    """A client of repository servers, with its local cache.

    ``config`` is the path of a configuration file (config.yaml), or None
    for the usual files and environment variables, exactly as the quarn
    tool reads them: QX_QUARN_CACHE_PATH (a cache directory and its
    config.yaml), else HOME/.qx/quarn and its config.yaml (where
    ``quarn login`` keeps tokens). ``cache_dir`` puts the cache elsewhere.
    ``offline`` (or QX_QUARN_OFFLINE=1) sends no request at all: only the
    cache answers. ``token`` goes to the server of each call's URL, and to
    no other server, as QX_QUARN_TOKEN does for the tool (which is the
    default when ``token`` is None).

    One client may be used from many threads at once; every wait on the
    network or the disk runs without the GIL. Ctrl-C stops the main
    thread's ``fetch``, ``fetch_many`` or ``download`` alone (its transfers
    and its unfinished saves; no partial version is left) and raises
    KeyboardInterrupt; other threads' calls go on. ``update`` abandons
    every save of the process under way, as an interrupted ``quarn
    update`` does.

    >>> import quarn
    >>> client = quarn.Client(cache_dir="/tmp/quarn-cache")
    >>> client.fetch("http://127.0.0.1:8085/1.0/workshop/models/table")
    PosixPath('/tmp/quarn-cache/127.0.0.1%3A8085/workshop/models/table/2')
    """

    def __init__(
        self,
        config: Optional[PathLike] = None,
        *,
        cache_dir: Optional[PathLike] = None,
        offline: bool = False,
        token: Optional[str] = None,
    ) -> None:
        self._client = _quarn.Client(_text(config), _text(cache_dir), bool(offline), token)
        # The Path of each path fetch returned lately: a cached fetch is
        # called again and again, and a Path costs more to make than to find.
        self._paths: Dict[str, Path] = {}

    @property
    def cache_dir(self) -> Path:
        """The cache's directory."""
        return Path(self._client.cache_dir)

    @property
    def offline(self) -> bool:
        """Whether the client sends no request at all."""
        return self._client.offline

    def fetch(self, url: str) -> Path:
        """The local path of the model, world or file that ``url`` names.

        From the cache when it is there (no request, no thread: about as
        fast as the C++ call); else downloaded, a model with every model it
        needs, a world with every model its SDF files include by URL (and
        what each needs), as ``quarn fetch`` does, so the world loads
        offline; a world counts as cached only with all of those cached.
        A URL without a version takes the newest cached version.
        For a file URL (``.../tip/files/PATH``) the path of the file.

        Raises quarn.Error (NotFound, Unauthorized, OfflineError, ...) when
        it cannot; InvalidUrl for a collection URL. Ctrl-C stops this call's
        downloads within a second (KeyboardInterrupt), leaving the cache as
        an interrupted ``quarn fetch`` does; other threads' calls go on.

        >>> client.fetch("http://127.0.0.1:8085/1.0/workshop/models/table")
        PosixPath('/home/me/.qx/quarn/127.0.0.1%3A8085/workshop/models/table/2')
        >>> client.fetch("http://127.0.0.1:8085/1.0/workshop/models/table/tip/files/model.sdf")
        PosixPath('/home/me/.qx/quarn/127.0.0.1%3A8085/workshop/models/table/2/model.sdf')
        """
        path = self._client.fetch(url)
        known = self._paths.get(path)
        if known is None:
            if len(self._paths) >= _PATHS_KEPT:
                self._paths.clear()
            known = self._paths[path] = Path(path)
        return known

    def fetch_many(self, urls: Iterable[str], jobs: int = 8) -> List[Union[Path, Error]]:
        """``fetch`` for many URLs at once, ``jobs`` downloads at a time.

        One entry per URL, in the order given: the path, or the exception
        that says why not (returned, not raised, so one failure does not
        hide the others). A world brings the models it includes, as with
        ``fetch``; a resource asked for twice, or needed by two of them, is
        downloaded once.

        >>> for url, got in zip(urls, client.fetch_many(urls)):
        ...     if isinstance(got, quarn.Error):
        ...         print(url, "failed:", got)
        """
        results = self._client.fetch_many(list(urls), max(1, int(jobs)))
        return [got if isinstance(got, Error) else Path(got) for got in results]

    def download(
        self,
        url: str,
        *,
        jobs: int = 8,
        force: bool = False,
        progress: Optional[Callable[[Progress], None]] = None,
    ) -> Union[Resource, Collection]:
        """Downloads a model (with every model it needs that the cache
        lacks), a world, or every member of a collection into the cache.

        A URL that names a version the cache holds needs no request (unless
        ``force``); without a version the server says which is the newest.
        A collection's members download ``jobs`` at a time, and its
        ``Collection`` lists the members that came and the failures of the
        others; a model or world that fails raises quarn.Error.

        A world comes with every model its SDF files include by URL (each
        with what it needs), as ``quarn download WORLD`` brings them: the
        world's ``includes``. When one of them fails the call raises that
        model's error (its reason and parts; the text names the world and
        the model), as it raises for a model whose dependency fails; the
        world itself is in the cache all the same, and ``error.world`` is
        its Resource (``path``, and in ``includes`` the models that came).
        Members of a collection that are worlds bring their includes too.

        ``progress(event)`` receives a quarn.Progress a few times a second
        and once at the end (phase "done"). It is called from the calling
        thread, between waits, never while the library holds a lock; an
        exception it raises ends the call once the download is over.

        >>> table = client.download("http://127.0.0.1:8085/1.0/workshop/models/table",
        ...                         progress=lambda event: print(event.phase, event.bytes))
        >>> table.path, [model.name for model in table.dependencies]
        >>> kitchen = client.download("http://127.0.0.1:8085/1.0/studio/worlds/kitchen")
        >>> [(model.name, model.path) for model in kitchen.includes]
        """
        callback = None
        if progress is not None:
            callback = lambda event: progress(Progress(**event))  # noqa: E731
        record = self._client.download(url, max(1, int(jobs)), bool(force), callback)
        if record["kind"] == "collection":
            members = tuple(
                _resource_from_outcome(member) for member in record["members"] if member["ok"]
            )
            if not record["ok"] and not members:
                raise record["error"]
            return Collection(
                server=record["server"],
                owner=record["owner"],
                name=record["name"],
                url=url,
                members=members,
                failures=_failures_of(record),
            )
        if not record["ok"]:
            error = record["error"]
            if record["path"] and any(not model["ok"] for model in record["includes"]):
                # The world came, models it includes did not.
                error.world = _resource_from_outcome(record)
            raise error
        return _resource_from_outcome(record)

    def details(self, url: str) -> Resource:
        """What the server says of a model or world (its newest version when
        the URL names none). ``path`` is None: nothing is downloaded.

        >>> client.details("http://127.0.0.1:8085/1.0/workshop/models/table").version
        2
        """
        return _resource_from_details(self._client.details(url))

    def models(self, server: Optional[str] = None, owner: Optional[str] = None) -> Iterator[Resource]:
        """The models of a server (or of every configured server), or of one
        owner there: a lazy iterator that yields each page's models as the
        page arrives; a page is asked when the iteration reaches it (with a
        few after it asked ahead), and each server when the iteration
        reaches it. A page that fails raises quarn.Error (with its parts)
        at that point, after the models of the pages before it.

        >>> [model.name for model in client.models("http://127.0.0.1:8085", owner="workshop")]
        ['chair', 'table']
        """
        return self._listing("models", server, owner)

    def worlds(self, server: Optional[str] = None, owner: Optional[str] = None) -> Iterator[Resource]:
        """The worlds of a server (or of every configured server), or of one
        owner there; lazy, as ``models``."""
        return self._listing("worlds", server, owner)

    def _listing(self, kind: str, server: Optional[str], owner: Optional[str]) -> Iterator[Resource]:
        servers = [server] if server else self._client.servers()
        for each in servers:
            pages = self._client.pages(kind, each, owner or "")
            while True:
                page = pages.next_page()
                if not page:
                    break
                for record in page:
                    yield _resource_from_details(record)

    def upload(
        self, path: Union[str, "os.PathLike[str]"], server: str, owner: str, private: bool = False
    ) -> Resource:
        """Uploads the model directory ``path`` (its metadata.pbtxt or
        model.config, and every file below it) to ``server`` for ``owner``.
        The server needs the client's token to take writes.

        >>> client = quarn.Client(token="write-key")
        >>> client.upload("./box", "http://127.0.0.1:8085", "alice").url
        'http://127.0.0.1:8085/1.0/alice/models/box/1'
        """
        reply, api = self._client.upload(os.fspath(path), server, owner, bool(private))
        return self._uploaded(reply, api, server, owner, Path(path).name)

    def _uploaded(self, reply: str, api: str, server: str, owner: str, name: str) -> Resource:
        try:
            document = json.loads(reply)
        except ValueError:
            document = {}
        owner = document.get("owner", owner) if isinstance(document, dict) else owner
        name = document.get("name", name) if isinstance(document, dict) else name
        version = document.get("version", 0) if isinstance(document, dict) else 0
        base = server.rstrip("/")
        owner, name, version = str(owner).lower(), str(name).lower(), int(version or 0)
        url = f"{base}/{api}/{quote(owner, safe='')}/models/{quote(name, safe='')}"
        return Resource(kind="model", server=base, owner=owner, name=name, version=version,
                        url=f"{url}/{version}" if version else url)

    def edit(
        self,
        url: str,
        private: Optional[bool] = None,
        path: Optional[Union[str, "os.PathLike[str]"]] = None,
    ) -> None:
        """Changes a model on its server: its private flag, and with ``path``
        everything that directory describes (files and metadata).

        >>> client.edit("http://127.0.0.1:8085/1.0/alice/models/box", private=True)
        """
        self._client.edit(url, None if private is None else bool(private), _text(path))

    def delete(self, url: str) -> None:
        """Asks the server to delete the model or world at ``url``.

        >>> client.delete("http://127.0.0.1:8085/1.0/alice/models/box")
        """
        self._client.delete(url)

    def update(self, models: bool = True, worlds: bool = True) -> List[Update]:
        """Brings every cached model and world up to its server's newest
        version: one quarn.Update per cached resource, saying what was done
        (a failure is in its ``error``, never dropped).

        >>> [update.status for update in client.update()]
        ['current', 'updated']
        """
        updates = []
        for record in self._client.update(bool(models), bool(worlds)):
            path = record["path"]
            updates.append(
                Update(
                    kind=record["kind"],
                    server=record["server"],
                    owner=record["owner"],
                    name=record["name"],
                    cached_version=record["cached_version"],
                    server_version=record["server_version"],
                    status=record["status"],
                    path=Path(path) if path else None,
                    error=record["error"],
                )
            )
        return updates

    def __repr__(self) -> str:
        return f"quarn.Client(cache_dir={str(self.cache_dir)!r}, offline={self.offline})"
