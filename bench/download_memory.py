#!/usr/bin/env python3
"""download_memory.py [--sizes 50,500] [--rounds 3] [--quarn PATH]

Peak memory and time of a model download with `quarn download`, beside what a
user would run instead (curl for the archive, then unzip), in one run. For
each size (MiB of incompressible files) it serves a generated model with
`quarn serve` on loopback, and prints for both: wall time, peak resident
memory, and for quarn its peak above the idle size of the same program
(`quarn version`). Each figure is the median of --rounds runs, the two
tools taking turns. The goal: quarn's peak stays within 32 MiB of its idle
size whatever the size, and its time is at most curl + unzip's.
Builds the release quarn and the peak_rss launcher into build-bench/ (with
--quarn, only uses that quarn and the launcher already built there).
"""
import argparse, os, shutil, statistics, subprocess, sys, tempfile, time

from benchlib import BUILD, build, write_model

PEAK_RSS = os.path.join(BUILD, "bench", "peak_rss")


def run(argv, env=None):
    """(wall seconds, peak resident KiB) of one command, which must succeed,
    measured by the small launcher peak_rss (a child of this interpreter
    would start with the interpreter's size on record)."""
    result = subprocess.run([PEAK_RSS] + argv, env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True)
    line = [l for l in result.stderr.splitlines() if l.startswith("peak_rss_kib")]
    if result.returncode != 0 or not line:
        sys.exit("failed: " + " ".join(argv) + "\n" + result.stderr)
    fields = line[-1].split()
    return float(fields[3]), int(fields[1])


def write_big_model(repo, name, mib):
    chunk = 8
    write_model(repo, "alice", name,
                [("part%03d.bin" % i, min(chunk, mib - i * chunk) << 20)
                 for i in range((mib + chunk - 1) // chunk)])


def one_round(quarn, url, name, work):
    """(quarn s, quarn peak KiB, curl s, curl peak, unzip s, unzip peak) of
    one download of model `name` by each."""
    cache = tempfile.mkdtemp(dir=work)
    env = dict(os.environ, QX_QUARN_CACHE_PATH=cache, HOME=work)
    archive = os.path.join(work, name + ".zip")
    q_time, q_peak = run([quarn, "download", "-u", "%s/1.0/alice/models/%s" % (url, name)], env)
    c_time, c_peak = run(["curl", "-sf", "-o", archive,
                          "%s/1.0/alice/models/%s/1/%s.zip?link=true" % (url, name, name)])
    u_time, u_peak = run(["unzip", "-q", archive, "-d", os.path.join(work, name + "-unzip")])
    shutil.rmtree(cache)
    shutil.rmtree(os.path.join(work, name + "-unzip"))
    os.remove(archive)
    return q_time, q_peak, c_time, c_peak, u_time, u_peak


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", default="50,500")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--quarn")
    a = ap.parse_args()
    quarn = build("peak_rss") if a.quarn is None else a.quarn
    for tool in ("curl", "unzip"):
        if shutil.which(tool) is None:
            sys.exit("needs " + tool)
    work = tempfile.mkdtemp(prefix="qx-bench-")
    try:
        repo = os.path.join(work, "repo")
        sizes = [int(s) for s in a.sizes.split(",")]
        for mib in sizes:
            write_big_model(repo, "big%d" % mib, mib)
        server = subprocess.Popen([quarn, "serve", repo, "--port", "0"], stdout=subprocess.PIPE,
                                  text=True)
        url = server.stdout.readline().strip()
        try:
            _, idle = run([quarn, "version"])
            print("%-8s %10s %12s %14s %10s %12s %8s" % ("size", "quarn s", "quarn peak",
                  "above idle", "curl+unzip", "their peak", "ratio"))
            for mib in sizes:
                name = "big%d" % mib
                # The server builds each version's archive on its first request: warm it.
                archive = os.path.join(work, name + ".zip")
                run(["curl", "-sf", "-o", archive, "%s/1.0/alice/models/%s/1/%s.zip?link=true"
                     % (url, name, name)])
                os.remove(archive)
                rounds = [one_round(quarn, url, name, work) for _ in range(a.rounds)]
                q_time, q_peak, c_time, c_peak, u_time, u_peak = (
                    statistics.median(r[i] for r in rounds) for i in range(6))
                theirs = c_time + u_time
                print("%-8s %9.2fs %9.1f MiB %10.1f MiB %9.2fs %8.1f MiB %7.2fx" % (
                    "%d MiB" % mib, q_time, q_peak / 1024, (q_peak - idle) / 1024, theirs,
                    max(c_peak, u_peak) / 1024, theirs / q_time))
            print("idle quarn: %.1f MiB; ratio = (curl + unzip time) / quarn time, above 1 is "
                  "faster" % (idle / 1024))
        finally:
            server.terminate()
            server.wait()
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
