"""The values quarn hands back: resources, collections, updates, progress
events and cache checks. Frozen dataclasses: they copy, compare and hash."""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Dict, Optional, Tuple

from ._errors import Error

__all__ = ["Resource", "Collection", "Update", "Progress", "VersionCheck"]


@dataclass(frozen=True, eq=False)
class Resource:
    """A model or world: who serves it, which version, where it lies.

    Two resources are equal when they name the same version of the same
    resource (kind, server, owner, name, version), whatever else they hold;
    they hash the same way, so they serve as dict keys and in sets.

    Attributes:
        kind: "model" or "world".
        server: the server's URL ("http://127.0.0.1:8085").
        owner, name: as the server names them (lower case).
        version: the version number; 0 when none is known.
        url: the URL of this version.
        path: the version directory in the cache, or None when it is not
            there (details and listings).
        size: bytes: on disk for a cached version, else what the server
            says the archive holds (0 when it does not say).
        dependencies: for a downloaded model, every model it needs, each
            once (a model's direct dependencies, then theirs).
        includes: for a downloaded or fetched world, every model its SDF
            files include by URL, each once in the order first named, each
            with its own dependencies; empty for a model and for a world
            that includes nothing.
        from_cache: the cache answered, no request was made.

    >>> table = client.download("http://127.0.0.1:8085/1.0/workshop/models/table")
    >>> table.version, table.path.name
    (2, '2')
    """

    kind: str
    server: str
    owner: str
    name: str
    version: int = 0
    url: str = ""
    path: Optional[Path] = None
    size: int = 0
    dependencies: Tuple["Resource", ...] = ()
    from_cache: bool = False
    includes: Tuple["Resource", ...] = ()

    def _identity(self) -> Tuple[str, str, str, str, int]:
        return (self.kind, self.server, self.owner, self.name, self.version)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Resource):
            return NotImplemented
        return self._identity() == other._identity()

    def __hash__(self) -> int:
        return hash(self._identity())


@dataclass(frozen=True)
class Collection:
    """A collection's download: the members that came, and why the others
    did not (each an exception, never dropped).

    >>> furniture = client.download("http://127.0.0.1:8085/1.0/studio/collections/furniture")
    >>> [member.name for member in furniture.members], furniture.failures
    (['chair', 'table'], ())
    """

    server: str
    owner: str
    name: str
    url: str
    members: Tuple[Resource, ...] = ()
    failures: Tuple[Error, ...] = ()
    kind: str = "collection"

    @property
    def ok(self) -> bool:
        """Whether every member (and everything they need) came."""
        return not self.failures


@dataclass(frozen=True)
class Update:
    """What ``client.update()`` did for one cached model or world.

    Attributes:
        status: "current" (the cache held the newest version), "updated"
            (the newer version was downloaded) or "failed".
        cached_version: the newest version in the cache before.
        server_version: the newest on the server; 0 when unknown.
        path: the new version's directory ("updated"), else None.
        error: why it failed ("failed"), else None.
    """

    kind: str
    server: str
    owner: str
    name: str
    cached_version: int
    server_version: int
    status: str
    path: Optional[Path] = None
    error: Optional[Error] = None


@dataclass(frozen=True)
class Progress:
    """One progress event of a download, as the quarn tool's progress line
    counts: since the call began, over every download of the process.

    Attributes:
        resource: the resource whose download began last ("" before one).
        bytes: bytes received.
        total: bytes the bodies announced (bytes / total is the share only
            while every body begun announced its length).
        phase: "waiting" (for the server), "downloading", "unpacking", or
            "done" for the last event of the call.
        resources_started, resources_finished, resources_saved: archive
            downloads begun, ended (either way), and ended in the cache.
    """

    resource: str
    bytes: int
    total: int
    phase: str
    resources_started: int = 0
    resources_finished: int = 0
    resources_saved: int = 0


@dataclass(frozen=True)
class VersionCheck:
    """How a cached version differs from what it held when it was
    published (``Cache.verify``). Paths are "/"-separated, below ``path``.

    Attributes:
        recorded: False when no record was kept (then nothing is known).
        intact: recorded, and nothing changed, removed or added.
    """

    path: Path
    recorded: bool
    changed: Tuple[str, ...] = ()
    removed: Tuple[str, ...] = ()
    added: Tuple[str, ...] = ()

    @property
    def intact(self) -> bool:
        return self.recorded and not (self.changed or self.removed or self.added)


def _resource_from_outcome(record: Dict[str, Any]) -> Resource:
    path = record["path"]
    return Resource(
        kind="world" if record["kind"] in ("world", "world-file") else "model",
        server=record["server"],
        owner=record["owner"],
        name=record["name"],
        version=record["version"],
        url=record["resource_url"],
        path=Path(path) if path else None,
        size=record["size"],
        dependencies=tuple(
            _resource_from_outcome(dependency)
            for dependency in record["dependencies"]
            if dependency["ok"]
        ),
        from_cache=record["from_cache"],
        includes=tuple(
            _resource_from_outcome(model) for model in record.get("includes", ()) if model["ok"]
        ),
    )


def _resource_from_details(record: Dict[str, Any]) -> Resource:
    return Resource(
        kind=record["kind"],
        server=record["server"],
        owner=record["owner"],
        name=record["name"],
        version=record["version"],
        url=record["url"],
        size=record["size"],
    )


def _failures_of(record: Dict[str, Any]) -> Tuple[Error, ...]:
    """Every failure below a download: its dependencies' and members'."""
    failures = []
    for part in record["members"] + record["dependencies"]:
        if not part["ok"]:
            failures.append(part["error"])
        failures.extend(_failures_of(part))
    return tuple(failures)
