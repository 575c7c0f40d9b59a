#!/usr/bin/env python3
"""wan_multiplex.py [--models 200] [--kib 100] [--rtt 40] [--jobs 8] [--runs 3] [--quarn PATH]

Benchmarks (a) and (b), one command: python3 bench/wan_multiplex.py

A collection of small models (--models of --kib KiB each) downloaded over
HTTPS on a link with round trips (../shared/tools/wan_proxy.py, --rtt ms)
from nginx serving a `quarn mirror export`, beside what a user would run
instead, in one run:

  (a) nginx offering HTTP/2: `quarn download COLLECTION -j 8` against
      `curl --http2 -Z --parallel-max 100` of the same archives followed by
      `unzip` of each. Goal: quarn in at most 0.8 times curl's time, on at
      most 2 connections.
  (b) nginx offering HTTP/1.1 only: the same against
      `curl --http1.1 -Z --parallel-max 8` and `unzip`. Goal: no slower than
      curl (about 1.0 times its time), on at most jobs + 1 connections.

Each row prints the median of --runs runs of each (alternating), quarn's
time over curl's, and the connections each opened with the protocol they
spoke (from nginx's log, of the last run), and the load average before
and after each row (the machine may be shared). The server's certificate comes from a throw-away
CA (QX_QUARN_CA_BUNDLE for quarn, --cacert for curl). Builds the release
quarn into build-bench/ unless --quarn is given.
"""
import argparse, os, shutil, statistics, subprocess, sys, tempfile, time

from benchlib import build
from wan_download import (NGINX, certificates, free_port, launch_nginx, run_curl, run_quarn,
                          start_proxy, write_repository)

CURL_PARALLEL = {"http2": ["--http2", "--parallel-max", "100"],
                 "http1.1": ["--http1.1", "--parallel-max", "8"]}


def start_nginx(work, mirror, key, cert):
    """nginx with two HTTPS servers over the mirror: one offering HTTP/2, one
    HTTP/1.1 only. Its log: one line per request, the client's connection
    and protocol."""
    ports = {"http2": free_port(), "http1.1": free_port()}
    servers = ""
    for protocol, port in ports.items():
        servers += """    server {{
        listen 127.0.0.1:{port} ssl{http2};
        ssl_certificate "{cert}";
        ssl_certificate_key "{key}";
        include "{mirror}/quarn-server.conf";
    }}
""".format(port=port, http2=" http2" if protocol == "http2" else "", cert=cert, key=key,
           mirror=mirror)
    process, log = launch_nginx(work, mirror, "$pid-$connection $server_protocol", servers)
    return process, ports, log


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def connections(log):
    """'N protocol': the client connections in nginx's log and what they spoke."""
    with open(log) as f:
        lines = [l.split() for l in f if l.strip()]
    protocols = sorted(set(l[1] for l in lines))
    return "%d %s" % (len(set(l[0] for l in lines)), "/".join(protocols))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--models", type=int, default=200)
    ap.add_argument("--kib", type=int, default=100)
    ap.add_argument("--rtt", type=float, default=40)
    ap.add_argument("--jobs", type=int, default=8)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--quarn")
    a = ap.parse_args()
    quarn = build() if a.quarn is None else a.quarn
    for tool in ("curl", "unzip", "openssl", NGINX):
        if shutil.which(tool) is None:
            sys.exit("needs " + tool)
    work = tempfile.mkdtemp(prefix="qx-mux-")
    processes = []
    try:
        names = write_repository(os.path.join(work, "repo"), a.models, a.kib)
        mirror = os.path.join(work, "mirror")
        subprocess.run([quarn, "mirror", "export", os.path.join(work, "repo"), mirror],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        ca, key, cert = certificates(work)
        nginx, ports, log = start_nginx(work, mirror, key, cert)
        processes.append(nginx)
        print("%d models of %d KiB over HTTPS, round trip %g ms, quarn -j %d, median of %d" %
              (a.models, a.kib, a.rtt, a.jobs, a.runs))
        print("load average: %s" % load_average())
        print("%-5s %-8s %8s %-14s %11s %-14s %10s" % ("", "nginx", "quarn s", "conns",
                                                        "curl+unzip", "conns", "quarn/curl"))
        for row, protocol in (("(a)", "http2"), ("(b)", "http1.1")):
            proxy, proxy_port = start_proxy(ports[protocol], a.rtt)
            processes.append(proxy)
            base = "https://127.0.0.1:%d" % proxy_port
            q, c = [], []
            for _ in range(a.runs):
                open(log, "w").close()
                q.append(run_quarn(quarn, base, a.jobs, work, ca))
                qc = connections(log)
                open(log, "w").close()
                c.append(run_curl(base, names, ["-Z"] + CURL_PARALLEL[protocol], work, ca))
                cc = connections(log)
            qm, cm = statistics.median(q), statistics.median(c)
            print("%-5s %-8s %7.2fs %-14s %10.2fs %-14s %9.2fx" % (row, protocol, qm, qc, cm, cc,
                                                                  qm / cm))
            print("load average: %s" % load_average())
            sys.stdout.flush()
        print("quarn/curl = quarn's time over curl + unzip's: (a) at most 0.8 on at most 2 "
              "connections, (b) at most about 1.0")
    finally:
        for p in processes:
            p.terminate()
            p.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
