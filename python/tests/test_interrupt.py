"""Ctrl-C during a download: KeyboardInterrupt soon, and the cache as an
interrupted quarn leaves it (no version, no staging directory)."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
import time
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
