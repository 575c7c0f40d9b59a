#!/usr/bin/env python3
"""wan_world.py [--models 100] [--rtt 40] [--jobs 8] [--runs 3] [--protocol http2|http1.1]
               [--quarn PATH]

Benchmark (c), one command: python3 bench/wan_world.py

A world that includes many small models (about 100 KiB each), downloaded
over a network with round trips, in one run beside what a simulator does
today and a collection of the same models as reference:

  world          `quarn download WORLD -j JOBS`: the world, then every model
                 its SDF includes, in parallel; afterwards everything is
                 cached (checked: `quarn fetch --offline` of every URL).
  loop           what a simulator does today: the world alone, then
                 `quarn fetch URL` once per included model, one after the
                 other (one process each, as a launch script would).
  fetch-many     the world alone, then one `quarn fetch URL URL ...` of
                 every included model (FetchResources in one process).
  collection     `quarn download COLLECTION -t model -j JOBS` of the same
                 models, and of twice as many (the collection benchmark
                 the world is held against: world at most 1.3 times it).

Everything goes through ../shared/tools/wan_proxy.py (--rtt ms of round
trip) to nginx serving a `quarn mirror export` over HTTPS (a throw-away CA:
QX_QUARN_CA_BUNDLE), offering HTTP/2 (--protocol http1.1: HTTP/1.1 only).
Each row is the median of --runs runs (the rows alternate); prints seconds,
the ratios, the connections each opened with the protocol they spoke (from
nginx's log) and the load average. Builds the release quarn into
build-bench/ unless --quarn is given.
"""
import argparse, os, shutil, statistics, subprocess, sys, tempfile, time

from benchlib import build, stop, write_model
from wan_download import NGINX, certificates, start_proxy
from wan_multiplex import connections, load_average, start_nginx


def write_models(repo, count, prefix):
    names = ["%s%03d" % (prefix, i) for i in range(count)]
    for name in names:
        write_model(repo, "lab", name, [("part.bin", 100 * 1024)])
    os.makedirs(os.path.join(repo, "lab", "collections"), exist_ok=True)
    with open(os.path.join(repo, "lab", "collections", prefix + ".json"), "w") as f:
        f.write('{"description": "bench", "models": [%s], "worlds": []}\n' %
                ", ".join('"lab/%s"' % n for n in names))
    return names


def write_world(repo, base, names):
    version = os.path.join(repo, "lab", "worlds", "yard", "1")
    os.makedirs(version, exist_ok=True)
    includes = "".join("    <include><uri>%s/1.0/lab/models/%s</uri></include>\n" % (base, n)
                       for n in names)
    with open(os.path.join(version, "yard.sdf"), "w") as f:
        f.write("<?xml version='1.0'?>\n<sdf version='1.9'>\n  <world name='yard'>\n%s"
                "  </world>\n</sdf>\n" % includes)


def run(quarn, argv_list, work, ca, log):
    """Seconds for the commands run one after the other in a fresh cache,
    the connections they opened, and the cache."""
    cache = tempfile.mkdtemp(dir=work)
    env = dict(os.environ, QX_QUARN_CACHE_PATH=cache, HOME=work, QX_QUARN_CA_BUNDLE=ca)
    open(log, "w").close()
    start = time.monotonic()
    for argv in argv_list:
        subprocess.run([quarn] + argv + ["-q"], env=env, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    seconds = time.monotonic() - start
    return seconds, connections(log), cache, env


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--models", type=int, default=100)
    ap.add_argument("--rtt", type=float, default=40)
    ap.add_argument("--jobs", type=int, default=8)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--protocol", choices=("http2", "http1.1"), default="http2")
    ap.add_argument("--quarn")
    a = ap.parse_args()
    quarn = build() if a.quarn is None else a.quarn
    for tool in ("openssl", NGINX):
        if shutil.which(tool) is None:
            sys.exit("needs " + tool)
    work = tempfile.mkdtemp(prefix="qx-wan-world-")
    processes = []
    try:
        repo = os.path.join(work, "repo")
        names = write_models(repo, a.models, "w")
        write_models(repo, 2 * a.models, "c")
        mirror = os.path.join(work, "mirror")
        export = [quarn, "mirror", "export", repo, mirror]
        subprocess.run(export, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        ca, key, cert = certificates(work)
        nginx, ports, log = start_nginx(work, mirror, key, cert)
        processes.append(nginx)
        proxy, proxy_port = start_proxy(ports[a.protocol], a.rtt)
        processes.append(proxy)
        base = "https://127.0.0.1:%d" % proxy_port
        # The world names its models by the URL the clients use.
        write_world(repo, base, names)
        subprocess.run(export, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        world = base + "/1.0/lab/worlds/yard"
        urls = ["%s/1.0/lab/models/%s" % (base, n) for n in names]
        jobs = ["-j", str(a.jobs)]

        print("a world of %d models of 100 KiB, round trip %g ms, HTTPS (%s), %d jobs, "
              "median of %d; load average before: %s" %
              (a.models, a.rtt, a.protocol, a.jobs, a.runs, load_average()))
        commands = [
            ("world: download WORLD", [["download", world] + jobs]),
            ("loop: world, then fetch per URL",
             [["download", world, "--no-includes"]] + [["fetch", u] for u in urls]),
            ("fetch-many: world, then fetch URLs",
             [["download", world, "--no-includes"], ["fetch"] + jobs + urls]),
        ] + [("collection of %d models" % count,
              [["download", base + "/1.0/lab/collections/" + prefix, "-t", "model"] + jobs])
             for count, prefix in ((a.models, "w"), (2 * a.models, "c"))]
        times = [[] for _ in commands]
        conns = [""] * len(commands)
        for _ in range(a.runs):
            for row, (what, argv_list) in enumerate(commands):
                seconds, conns[row], cache, env = run(quarn, argv_list, work, ca, log)
                if row == 0:
                    # Everything is cached: every URL answers offline.
                    subprocess.run([quarn, "fetch", "--offline", "-q"] + urls, env=env,
                                   check=True, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
                shutil.rmtree(cache)
                times[row].append(seconds)
        medians = [statistics.median(t) for t in times]
        reference = medians[0]
        print("%-34s %9s %-16s %9s" % ("", "seconds", "conns", "/ world"))
        for (what, _), seconds, conn in zip(commands, medians, conns):
            print("%-34s %8.2fs %-16s %8.2fx" % (what, seconds, conn, seconds / reference))
        print("world / collection of %d: %.2f (goal on the multiplexed transport: at most 1.3)"
              % (2 * a.models, reference / medians[-1]))
        print("loop / world: %.1f times faster to download the world whole" %
              (medians[1] / reference))
        print("load average after: %s" % load_average())
    finally:
        stop(processes, work)


if __name__ == "__main__":
    main()
