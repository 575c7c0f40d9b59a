"""Ctrl-C during a download: KeyboardInterrupt soon, and the cache as an
interrupted quarn leaves it (no version, no staging directory); it stops
the interrupted call alone, while other threads' downloads go on."""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import sys
import io
import textwrap
import time
import zipfile
from pathlib import Path

from servers import ScriptedServer, cached, slow_archive, staged, versions, wait_for

SCRIPT = textwrap.dedent(
    """
    import sys, quarn
    client = quarn.Client(cache_dir=sys.argv[1])
    try:
        client.{call}
    except KeyboardInterrupt:
        print("KeyboardInterrupt", flush=True)
        sys.exit(130)
    print("finished", flush=True)
    """
)


def interrupted(call: str, cache: Path, url: str, resource: Path):
    script = SCRIPT.format(call=call.format(url=url))
    process = subprocess.Popen([sys.executable, "-c", script, str(cache)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               env=dict(os.environ))
    try:
        assert wait_for(lambda: bool(staged(resource)), timeout=60), process.stderr.read()
        sent = time.monotonic()
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=30)
        return process.returncode, out, err, time.monotonic() - sent
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()


def test_ctrl_c_stops_a_download(cache: Path) -> None:
    slow = ScriptedServer(slow_archive)
    resource = cached(cache, slow.url, "a", "models", "slow")
    try:
        for call in ('fetch("{url}")', 'download("{url}", progress=lambda event: None)',
                     'fetch_many(["{url}"])'):
            status, out, err, seconds = interrupted(call, cache, f"{slow.url}/1.0/a/models/slow",
                                                    resource)
            assert (status, out.strip()) == (130, "KeyboardInterrupt"), err
            # Within a second on an idle machine; the bound leaves room for a
            # loaded one running sanitizers.
            assert seconds < 5, seconds
            assert staged(resource) == [] and versions(resource) == []
    finally:
        slow.stop()


TWO_THREADS = textwrap.dedent(
    """
    import sys, threading, quarn
    client = quarn.Client(cache_dir=sys.argv[1])
    other = {{}}
    def fetch_other():
        try:
            other["path"] = str(client.fetch(sys.argv[2]))
        except BaseException as error:
            other["error"] = repr(error)
    thread = threading.Thread(target=fetch_other)
    thread.start()
    try:
        client.{call}
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("KeyboardInterrupt", flush=True)
    thread.join()
    print(other.get("path") or other.get("error"), flush=True)
    """
)


def late_model(path: str):  # type: ignore[no-untyped-def]
    """A small model whose archive comes two seconds after it was asked."""
    if not path.endswith(".zip"):
        return 404, {"Content-Type": "text/plain"}, b"Not found"
    time.sleep(2)
    zipped = io.BytesIO()
    with zipfile.ZipFile(zipped, "w") as archive:
        archive.writestr("model.config", "<?xml version=\"1.0\"?><model><name>late</name>"
                                         "<sdf version=\"1.9\">model.sdf</sdf></model>")
        archive.writestr("model.sdf", "<sdf version=\"1.9\"/>")
    headers = {"Content-Type": "application/zip", "X-Qel-Resource-Version": "1"}
    return 200, headers, zipped.getvalue()


def test_ctrl_c_stops_the_interrupted_call_alone(cache: Path) -> None:
    # Only the main thread sees the signal: its call stops, while another
    # thread's download through the same client, under way at that moment,
    # ends well.
    slow, late = ScriptedServer(slow_archive), ScriptedServer(late_model)
    resource = cached(cache, slow.url, "a", "models", "slow")
    other = cached(cache, late.url, "b", "models", "late")
    try:
        for call in ('fetch("{url}")', 'download("{url}")', 'fetch_many(["{url}"])'):
            shutil.rmtree(cache, ignore_errors=True)
            late.requests.clear()
            script = TWO_THREADS.format(call=call.format(url=f"{slow.url}/1.0/a/models/slow"))
            process = subprocess.Popen(
                [sys.executable, "-c", script, str(cache), f"{late.url}/1.0/b/models/late"],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=dict(os.environ))
            try:
                under_way = lambda: bool(staged(resource)) and bool(late.requests)  # noqa: E731
                wait_for(lambda: under_way() or process.poll() is not None, timeout=60)
                assert under_way(), process.communicate(timeout=30)
                process.send_signal(signal.SIGINT)
                out, err = process.communicate(timeout=30)
            finally:
                if process.poll() is None:
                    process.kill()
                    process.wait()
            assert out.split() == ["KeyboardInterrupt", str(other / "1")], err
            assert staged(resource) == [] and versions(resource) == []
            assert staged(other) == [] and versions(other) == ["1"]
    finally:
        slow.stop()
        late.stop()
