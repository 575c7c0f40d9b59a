"""The exceptions of quarn: every failure is one, with the reason in words
(``str(error)``) and its parts as attributes.

    try:
        path = client.fetch(url)
    except quarn.NotFound:
        ...                      # the server has no such model
    except quarn.ServerError as error:
        print(error.status, error.server_text)
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Dict, Optional

from . import _quarn

if TYPE_CHECKING:
    from ._records import Resource

__all__ = [
    "Error",
    "InvalidUrl",
    "NotFound",
    "Unauthorized",
    "OfflineError",
    "NetworkError",
    "ServerError",
    "CacheError",
    "ArchiveError",
    "Interrupted",
]


class Error(Exception):
    """A failure of quarn: the reason in words, and its parts.

    Attributes:
        reason: the kind of failure in one word ("not-found", "unauthorized",
            "offline", "network", "server", "cache", "archive",
            "invalid-url", "interrupted", "other").
        text: the whole reason in words, one line (also ``str(error)``).
        url: the URL the call was given ("" when none).
        server: the server asked, when a request failed.
        resource: what of it ("model alice/box", or a listing's route).
        status: the HTTP status of the answer; 0 when no answer came.
        server_text: the server's own short error text (often empty).
        path: the path concerned (on disk for a cache failure, the archive
            for an archive failure).
        detail: the system's own words (the errno text, libzip's reason,
            the transport's error).
        world: when ``client.download`` of a world fails because models it
            includes failed, the world's ``quarn.Resource`` all the same:
            it is in the cache (``world.path``) and its ``includes`` hold
            the models that came. Else None.
    """

    reason: str = "other"

    def __init__(
        self,
        text: str,
        *,
        url: str = "",
        server: str = "",
        resource: str = "",
        status: int = 0,
        server_text: str = "",
        path: str = "",
        detail: str = "",
        reason: str = "",
        world: Optional["Resource"] = None,
    ) -> None:
        super().__init__(text)
        self.text = text
        if reason:
            self.reason = reason
        self.url = url
        self.server = server
        self.resource = resource
        self.status = status
        self.server_text = server_text
        self.path = path
        self.detail = detail
        self.world: Optional["Resource"] = world

    def __str__(self) -> str:
        return self.text

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.text!r})"

    def __reduce__(self) -> Any:
        parts = dict(self.__dict__)
        text = parts.pop("text")
        return (_rebuild, (type(self), text, parts))


def _rebuild(kind: type, text: str, parts: Dict[str, Any]) -> "Error":
    return kind(text, **parts)


class InvalidUrl(Error, ValueError):
    """The URL names nothing the call can take (a file URL given to
    download, a collection URL given to fetch, no URL of the repository)."""

    reason = "invalid-url"


class NotFound(Error):
    """The server does not have it (404), a collection without members, a
    file that is not part of the version, or nothing of it in the cache."""

    reason = "not-found"


class Unauthorized(Error):
    """The server refused access (401, 403): a token is missing or wrong.
    Give ``quarn.Client(token=...)``, set QX_QUARN_TOKEN, or run
    ``quarn login SERVER``."""

    reason = "unauthorized"


class OfflineError(Error):
    """A request was needed while the client is offline (``offline=True`` or
    QX_QUARN_OFFLINE=1): the cache does not hold it."""

    reason = "offline"


class NetworkError(Error):
    """No answer came: a name that does not resolve, a refused connection,
    TLS, a time-out, a reset. ``detail`` holds the transport's words."""

    reason = "network"


class ServerError(Error):
    """The server answered with another status, or with something that is
    not what the protocol says. ``status`` and ``server_text`` say what."""

    reason = "server"


class CacheError(Error):
    """The disk: a write, a directory, free space. ``path`` is the path
    concerned and ``detail`` the system's words (the errno text)."""

    reason = "cache"

    @property
    def strerror(self) -> str:
        """The system's words, as OSError names them."""
        return self.detail


class ArchiveError(Error):
    """What the archive holds: not a valid zip, no model.config, hostile
    entry names, more than the limits allow."""

    reason = "archive"


class Interrupted(Error):
    """Stopped on purpose before it was done: the call was cancelled, or
    the process abandoned its unfinished downloads (Ctrl-C during
    ``client.update()``, which abandons every save of the process under
    way, as an interrupted ``quarn update`` does)."""

    reason = "interrupted"


_BY_REASON = {
    kind.reason: kind
    for kind in (
        InvalidUrl,
        NotFound,
        Unauthorized,
        OfflineError,
        NetworkError,
        ServerError,
        CacheError,
        ArchiveError,
        Interrupted,
    )
}


def _error_from(parts: Dict[str, Any]) -> Error:
    """The exception of a failure record (the compiled module calls this)."""
    parts = dict(parts)
    reason = parts.pop("reason", "other")
    text = parts.pop("text", "") or "the request failed"
    kind = _BY_REASON.get(reason, Error)
    return kind(text, reason=reason, **parts)


_quarn._set_error_factory(_error_from)
