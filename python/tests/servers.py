"""The servers the tests talk to, all on loopback, each on an ephemeral port
and stopped by its fixture: `quarn serve` over a copy of the example
repository, and small scripted HTTP servers of our own (one that records
what it was sent, one that answers what a test scripts)."""

from __future__ import annotations

import http.server
import os
import shutil
import subprocess
import threading
import time
import urllib.parse
from pathlib import Path
from typing import Callable, Dict, List, Optional, Tuple

REPOSITORY = Path(__file__).resolve().parents[2] / "examples" / "repository"
PLACEHOLDER = "{{SERVER_URL}}"


def quarn_executable() -> str:
    return os.environ.get("QX_QUARN_EXE") or shutil.which("quarn") or "quarn"


class QuarnServe:
    """`quarn serve` over `directory` (a copy of the example repository
    whose placeholders name this server)."""

    def __init__(self, directory: Path, *extra: str) -> None:
        self.directory = directory
        self.process = subprocess.Popen(
            [quarn_executable(), "serve", str(directory), "--port", "0", *extra],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        assert self.process.stdout is not None
        self.url = self.process.stdout.readline().strip()
        if not self.url.startswith("http://127.0.0.1:"):
            self.stop()
            raise RuntimeError(f"quarn serve did not start: {self.url!r}")
        for path in directory.rglob("*"):
            if path.is_file() and PLACEHOLDER in path.read_text(errors="replace"):
                path.write_text(path.read_text().replace(PLACEHOLDER, self.url))

    def model(self, owner: str, name: str, *rest: str) -> str:
        return "/".join([self.url, "1.0", owner, "models", name, *rest])

    def world(self, owner: str, name: str, *rest: str) -> str:
        return "/".join([self.url, "1.0", owner, "worlds", name, *rest])

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for stream in (self.process.stdout, self.process.stderr):
            if stream is not None:
                stream.close()


def serve_copy(tmp: Path, *extra: str) -> QuarnServe:
    directory = tmp / "repository"
    shutil.copytree(REPOSITORY, directory)
    return QuarnServe(directory, *extra)


# An answer: status, headers, body (bytes, or a callable that writes the
# body itself to the file it is given, until the event it is given is set).
Answer = Tuple[int, Dict[str, str], object]


class ScriptedServer:
    """A tiny HTTP server: records every request's path (decoded) and
    headers, and answers with `answer(path)` (the path without its query,
    or with it when `query`)."""

    def __init__(self, answer: Callable[[str], Answer], query: bool = False) -> None:
        self.requests: List[Tuple[str, Dict[str, str]]] = []
        recorded = self.requests
        self.stopped = threading.Event()
        stopped = self.stopped

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self) -> None:  # noqa: N802
                # The client may send the route percent-encoded as one piece.
                path = urllib.parse.unquote(self.path)
                recorded.append((path, dict(self.headers.items())))
                status, headers, body = answer(path if query else path.split("?")[0])
                self.send_response(status)
                for name, value in headers.items():
                    self.send_header(name, value)
                if isinstance(body, bytes):
                    self.send_header("Content-Length", str(len(body)))
                    self.end_headers()
                    self.wfile.write(body)
                else:
                    self.end_headers()
                    try:
                        body(self.wfile, stopped)  # type: ignore[operator]
                    except (BrokenPipeError, ConnectionResetError):
                        pass
                    self.close_connection = True

            def log_message(self, *args: object) -> None:
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def stop(self) -> None:
        self.stopped.set()
        self.server.shutdown()
        self.server.server_close()


def slow_archive(path: str) -> Answer:
    """An archive that trickles: 1 KiB every 20 ms of a body announced as
    100 MiB, so a download of it is under way for minutes."""

    def trickle(out, stopped: threading.Event) -> None:  # type: ignore[no-untyped-def]
        while not stopped.is_set():
            out.write(b"\0" * 1024)
            out.flush()
            time.sleep(0.02)

    if not path.endswith(".zip"):
        return 404, {"Content-Type": "text/plain"}, b"Not found"
    headers = {
        "Content-Type": "application/zip",
        "Content-Length": str(100 << 20),
        "X-Qel-Resource-Version": "1",
    }
    return 200, headers, trickle


def staged(resource_directory: Path) -> List[str]:
    """The staging directories of saves under way in a resource directory."""
    if not resource_directory.is_dir():
        return []
    return sorted(p.name for p in resource_directory.iterdir() if p.name.startswith(".qxstage"))


def versions(resource_directory: Path) -> List[str]:
    if not resource_directory.is_dir():
        return []
    return sorted(p.name for p in resource_directory.iterdir() if not p.name.startswith("."))


def wait_for(condition: Callable[[], bool], timeout: float = 30) -> bool:
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(0.02)
    return False


def cached(cache: Path, server_url: str, *unique: str) -> Path:
    """A resource directory in the cache: SERVER/OWNER/KIND/NAME."""
    host = server_url.split("://", 1)[1].replace(":", "%3A")
    return cache.joinpath(host, *unique)


def write_config(path: Path, cache: Path, servers: List[str], token: Optional[str] = None) -> Path:
    lines = ["servers:"]
    for url in servers:
        lines.append(f"  - url: {url}")
        if token:
            lines.append(f"    private-token: {token}")
    lines += ["cache:", f"  path: {cache}"]
    path.write_text("\n".join(lines) + "\n")
    return path
