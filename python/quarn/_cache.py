"""quarn.Cache: what the cache holds and its upkeep, as ``quarn cache``."""

from __future__ import annotations

import os
from pathlib import Path
from typing import List, Optional, Union

from . import _quarn
from ._records import Resource, VersionCheck

__all__ = ["Cache"]


class Cache:
    """The local cache: ``ls``, ``du``, ``rm``, ``prune``, ``verify``.

    ``cache_dir`` is the cache's directory; None takes it as the quarn tool
    does (QX_QUARN_CACHE_PATH, else HOME/.qx/quarn). Removals are safe while
    other processes read and write the cache. Reads the disk afresh on every
    call; any thread.

    >>> cache = quarn.Cache()
    >>> for version in cache.ls():
    ...     print(version.owner, version.name, version.version, version.size)
    >>> cache.prune(keep=1)
    """

    def __init__(self, cache_dir: Optional[Union[str, "os.PathLike[str]"]] = None) -> None:
        self._cache = _quarn.Cache(None if cache_dir is None else os.fspath(cache_dir))

    @property
    def path(self) -> Path:
        """The cache's directory."""
        return Path(self._cache.path)

    def ls(self) -> List[Resource]:
        """Every cached version, one Resource each (with its path and its
        size on disk), by resource, lowest version first."""
        versions = []
        for record in self._cache.resources():
            for number, path, size in record["versions"]:
                url = record["url"]
                versions.append(
                    Resource(
                        kind=record["kind"],
                        server=record["server"],
                        owner=record["owner"],
                        name=record["name"],
                        version=number,
                        url=f"{url}/{number}" if url else "",
                        path=Path(path),
                        size=size,
                        from_cache=True,
                    )
                )
        return versions

    def du(self) -> int:
        """Bytes the cached versions take."""
        return sum(version.size for version in self.ls())

    def rm(self, url: str) -> List[Path]:
        """Removes the version a model or world URL names, or every version
        when it names none; the version directories removed. Raises
        quarn.NotFound when the cache holds nothing of it.

        >>> cache.rm("http://127.0.0.1:8085/1.0/workshop/models/table/1")
        [PosixPath('/home/me/.qx/quarn/127.0.0.1%3A8085/workshop/models/table/1')]
        """
        return [Path(path) for path in self._cache.rm(url)]

    def prune(self, keep: int = 1) -> List[Path]:
        """Removes, of every resource, all but its ``keep`` newest versions;
        the version directories removed."""
        if keep < 1:
            raise ValueError("keep must be at least 1")
        return [Path(path) for path in self._cache.prune(int(keep))]

    def verify(self, url: Optional[str] = None) -> List[VersionCheck]:
        """Compares every cached version (or those a URL names) with what it
        held when it was published: one VersionCheck each.

        >>> [check.path for check in cache.verify() if not check.intact]
        []
        """
        return [
            VersionCheck(
                path=Path(record["path"]),
                recorded=record["recorded"],
                changed=tuple(record["changed"]),
                removed=tuple(record["removed"]),
                added=tuple(record["added"]),
            )
            for record in self._cache.verify(url)
        ]

    def __repr__(self) -> str:
        return f"quarn.Cache({str(self.path)!r})"
