"""quarn: models and worlds from repository servers, in Python.

The quarn tool's commands as a library over the same C++ client: resolve a
URL to a local path (downloading what the cache lacks), download models
with their dependencies, worlds and collections, browse a server, upload,
and keep the cache.

    import quarn

    client = quarn.Client()
    path = client.fetch("http://127.0.0.1:8085/1.0/workshop/models/table")
    table = client.download("http://127.0.0.1:8085/1.0/workshop/models/table")
    for model in client.models("http://127.0.0.1:8085"):
        print(model.owner, model.name, model.version)

Every failure raises a quarn.Error (NotFound, Unauthorized, OfflineError,
NetworkError, ServerError, CacheError, ArchiveError, ...). Library log lines
are off; ``quarn.set_verbosity(1)`` shows errors on standard error.
"""

from ._quarn import __version__, set_verbosity
from ._errors import (
    ArchiveError,
    CacheError,
    Error,
    Interrupted,
    InvalidUrl,
    NetworkError,
    NotFound,
    OfflineError,
    ServerError,
    Unauthorized,
)
from ._records import Collection, Progress, Resource, Update, VersionCheck
from ._client import Client
from ._cache import Cache

__all__ = [
    "__version__",
    "set_verbosity",
    "Client",
    "Cache",
    "Resource",
    "Collection",
    "Update",
    "Progress",
    "VersionCheck",
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
