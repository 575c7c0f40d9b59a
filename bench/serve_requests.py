#!/usr/bin/env python3
"""Requests per second of `quarn serve` against nginx serving a mirror export
of the same repository, in one run, on loopback, with wrk on kept
connections: a listing page, a small single file, and the small file on one
connection alone (where waiting for delayed acknowledgements would show);
then the peak resident memory of quarn serve while 500 clients keep
connections to it. Prints both servers' figures and the ratios.

    python3 bench/serve_requests.py [SECONDS]   (each wrk run; default 10)

Builds quarn in release mode into build-bench/ (QX_BENCH_BUILD_DIR); installs
wrk from Debian's packages when it is missing."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import benchlib

NGINX = "/usr/sbin/nginx"
MODELS = 60  # three listing pages of 20
LISTING = "/1.0/models?page=2"
SMALL_FILE = "/1.0/lab%2Fmodels%2Fm007%2F1%2Ffiles%2Fmodel.sdf"
MEMORY_CLIENTS = 500


def ensure_wrk():
    if shutil.which("wrk"):
        return
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    subprocess.run(sudo + ["apt-get", "install", "-y", "-qq", "--no-install-recommends", "wrk"],
                   check=True, stdout=subprocess.DEVNULL)


def free_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(url):
    import urllib.request
    for _ in range(200):
        try:
            urllib.request.urlopen(url, timeout=1).read()
            return
        except Exception:
            time.sleep(0.05)
    raise RuntimeError("nothing answers at " + url)


def wrk(url, connections, seconds, threads=2):
    """Requests per second wrk measures (and its non-2xx answers)."""
    out = subprocess.run(["wrk", "-t%d" % min(threads, connections), "-c%d" % connections,
                          "-d%ds" % seconds, url], capture_output=True, text=True, check=True).stdout
    rate = float(re.search(r"Requests/sec:\s+([0-9.]+)", out).group(1))
    bad = re.search(r"Non-2xx or 3xx responses:\s+(\d+)", out)
    errors = re.search(r"Socket errors: (.*)", out)
    if bad or errors:
        print("  wrk %s: %s%s" % (url, bad.group(0) if bad else "", errors.group(0) if errors else ""))
    return rate


def memory(pid, field):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return 0


def main():
    seconds = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    quarn = benchlib.build()
    ensure_wrk()
    work = tempfile.mkdtemp(prefix="quarn-bench-")
    processes = []
    try:
        repo = os.path.join(work, "repo")
        for i in range(MODELS):
            benchlib.write_model(repo, "lab", "m%03d" % i, [("part.obj", 8192)])

        serve = subprocess.Popen([quarn, "-q", "serve", repo, "--port", "0", "--archive-store",
                                  os.path.join(work, "store"), "--max-connections-per-address",
                                  "0"], stdout=subprocess.PIPE, text=True)
        processes.append(serve)
        serve_url = serve.stdout.readline().strip()

        port = free_port()
        mirror = os.path.join(work, "mirror")
        subprocess.run([quarn, "mirror", "export", repo, mirror, "--listen",
                        "127.0.0.1:%d" % port], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        user = "daemon off; user root;" if os.geteuid() == 0 else "daemon off;"
        nginx = subprocess.Popen([NGINX, "-c", os.path.join(mirror, "nginx.conf"), "-g", user],
                                 stderr=subprocess.DEVNULL)
        processes.append(nginx)
        nginx_url = "http://127.0.0.1:%d" % port
        for url in (serve_url, nginx_url):
            wait_for(url + LISTING)
            wait_for(url + SMALL_FILE)

        runs = [("listing page, 32 connections", LISTING, 32),
                ("small file, 32 connections", SMALL_FILE, 32),
                ("small file, one connection", SMALL_FILE, 1)]
        print("%d models; wrk for %d s per run, 2 threads, kept connections" % (MODELS, seconds))
        print("%-32s %14s %14s %8s" % ("requests per second", "quarn serve", "nginx", "ratio"))
        for what, path, connections in runs:
            ours = wrk(serve_url + path, connections, seconds)
            theirs = wrk(nginx_url + path, connections, seconds)
            print("%-32s %14.0f %14.0f %8.2f" % (what, ours, theirs, ours / theirs))

        with open("/proc/%d/clear_refs" % serve.pid, "w") as clear:
            clear.write("5")  # VmHWM starts again from the current size
        before = memory(serve.pid, "VmRSS")
        rate = wrk(serve_url + SMALL_FILE, MEMORY_CLIENTS, seconds)
        peak = memory(serve.pid, "VmHWM")
        mib = 1 << 20
        print("quarn serve with %d clients at once: %.0f requests per second; resident "
              "memory %.1f MiB before, peak %.1f MiB (goal: under 64 MiB)"
              % (MEMORY_CLIENTS, rate, before / mib, peak / mib))
    finally:
        for process in processes:
            process.terminate()
            process.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
