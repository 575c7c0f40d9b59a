#!/usr/bin/env python3
"""wan_download.py [--models 200] [--rtt 40] [--quarn PATH]

A collection of small models downloaded over a network with round trips,
beside what a user would run instead, in one run: `quarn download` of the
collection (8 jobs, then 1) against curl fetching the same archives (with
`--parallel --parallel-max 8`, then sequentially on one kept-alive
connection) followed by unzip of each. Both go through
../shared/tools/wan_proxy.py (--rtt ms of round trip) to nginx serving a
`quarn mirror export` of the models, over HTTP and over HTTPS (a throw-away
CA: QX_QUARN_CA_BUNDLE for quarn, --cacert for curl), and on loopback
without the proxy. Prints per row the seconds of each, their ratio (curl +
unzip time / quarn time: at least 1.0 is the goal) and the connections each
opened (from nginx's log; the goal for quarn is at most jobs + 1), over
HTTPS with the number of TLS sessions resumed; a last row has nginx end
each connection after 20 requests, so that sessions must be resumed.
Builds the release quarn into build-bench/ unless --quarn is given.
"""
import argparse, os, shutil, subprocess, sys, tempfile, time

from benchlib import ROOT, build, stop, write_model

def find_proxy():
    """shared/tools/wan_proxy.py beside the checkout, or beside a folder
    above it (a worktree kept below the main checkout's parent)."""
    folder = ROOT
    while os.path.dirname(folder) != folder:
        folder = os.path.dirname(folder)
        candidate = os.path.join(folder, "shared", "tools", "wan_proxy.py")
        if os.path.exists(candidate):
            return candidate
    sys.exit("needs shared/tools/wan_proxy.py beside the checkout (or QX_WAN_PROXY)")


PROXY = os.environ.get("QX_WAN_PROXY") or find_proxy()
NGINX = "/usr/sbin/nginx"


def write_repository(repo, count, kib=8):
    """A collection lab/all of `count` models of one file of `kib` KiB each;
    the models' names."""
    names = ["m%03d" % i for i in range(count)]
    for name in names:
        write_model(repo, "lab", name, [("part.bin", kib * 1024)])
    os.makedirs(os.path.join(repo, "lab", "collections"))
    with open(os.path.join(repo, "lab", "collections", "all.json"), "w") as f:
        f.write('{"description": "bench", "models": [%s], "worlds": []}\n' %
                ", ".join('"lab/%s"' % n for n in names))
    return names


def certificates(work):
    ca, key, cert = (os.path.join(work, n) for n in ("ca.pem", "server.key", "server.pem"))
    quiet = dict(check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=bench CA", "-keyout", os.path.join(work, "ca.key"),
                    "-out", ca], **quiet)
    subprocess.run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
                    "-keyout", key, "-out", os.path.join(work, "server.csr")], **quiet)
    with open(os.path.join(work, "san.ext"), "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\n")
    subprocess.run(["openssl", "x509", "-req", "-in", os.path.join(work, "server.csr"), "-CA", ca,
                    "-CAkey", os.path.join(work, "ca.key"), "-CAcreateserial", "-days", "2",
                    "-extfile", os.path.join(work, "san.ext"), "-out", cert], **quiet)
    return ca, key, cert


def free_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def launch_nginx(work, mirror, log_format, servers):
    """nginx over the mirror's http-level configuration with `servers` (the
    text of its server blocks), logging each request as `log_format`.
    Returns the process and its access log."""
    logs = os.path.join(work, "nginx")
    os.makedirs(logs, exist_ok=True)
    conf = os.path.join(work, "nginx.conf")
    with open(conf, "w") as f:
        f.write("""worker_processes 1;
pid "{logs}/nginx.pid";
error_log "{logs}/error.log";
events {{ worker_connections 1024; }}
http {{
    log_format connections '{log_format}';
    access_log "{logs}/access.log" connections;
    client_body_temp_path "{logs}/body";
    proxy_temp_path "{logs}/proxy";
    fastcgi_temp_path "{logs}/fastcgi";
    uwsgi_temp_path "{logs}/uwsgi";
    scgi_temp_path "{logs}/scgi";
    sendfile on;
    # What a deployed server offers: TLS 1.3, and sessions kept for resumption.
    ssl_protocols TLSv1.2 TLSv1.3;
    ssl_session_cache shared:SSL:1m;
    include "{mirror}/quarn-http.conf";
{servers}
}}
""".format(logs=logs, mirror=mirror, log_format=log_format, servers=servers))
    user = ["-g", "daemon off; user root;"] if os.geteuid() == 0 else ["-g", "daemon off;"]
    process = subprocess.Popen([NGINX, "-c", conf] + user, stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    return process, os.path.join(logs, "access.log")


def start_nginx(work, mirror, key, cert):
    ports = {"http": free_port(), "https": free_port(), "https-20": free_port()}
    servers = """    server {{ listen 127.0.0.1:{http}; include "{mirror}/quarn-server.conf"; }}
    server {{
        listen 127.0.0.1:{https} ssl;
        ssl_certificate "{cert}";
        ssl_certificate_key "{key}";
        include "{mirror}/quarn-server.conf";
    }}
    server {{
        listen 127.0.0.1:{short} ssl;
        ssl_certificate "{cert}";
        ssl_certificate_key "{key}";
        keepalive_requests 20;
        include "{mirror}/quarn-server.conf";
    }}""".format(mirror=mirror, http=ports["http"], https=ports["https"],
                 short=ports["https-20"], cert=cert, key=key)
    process, log = launch_nginx(work, mirror, "$pid-$connection $ssl_session_reused", servers)
    return process, ports, log


def start_proxy(upstream, rtt):
    process = subprocess.Popen([sys.executable, PROXY, "--upstream", str(upstream), "--rtt",
                                str(rtt), "--lifetime", "3600"], stdout=subprocess.PIPE, text=True)
    line = process.stdout.readline().split()
    return process, int(line[1])


def connections(log):
    """(connections, of those the TLS connections that resumed a session)."""
    with open(log) as f:
        seen = set(l.strip() for l in f if l.strip())
    return len(seen), len([c for c in seen if c.endswith(" r")])


def conns(counted, scheme):
    return "%d" % counted[0] if scheme == "http" else "%d/%d" % counted


def timed(argv, env=None):
    start = time.monotonic()
    subprocess.run(argv, env=env, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return time.monotonic() - start


def run_quarn(quarn, base, jobs, work, ca):
    cache = tempfile.mkdtemp(dir=work)
    env = dict(os.environ, QX_QUARN_CACHE_PATH=cache, HOME=work, QX_QUARN_CA_BUNDLE=ca)
    seconds = timed([quarn, "download", base + "/1.0/lab/collections/all", "-t", "model",
                     "-j", str(jobs), "-q"], env)
    shutil.rmtree(cache)
    return seconds


def run_curl(base, names, options, work, ca):
    """The seconds curl (with `options`) takes to fetch the archives of
    `names`, then unzip to unpack each."""
    out = tempfile.mkdtemp(dir=work)
    config = os.path.join(out, "urls.txt")
    with open(config, "w") as f:
        for name in names:
            f.write('url = "%s/1.0/lab%%2Fmodels%%2F%s%%2Ftip%%2F%s.zip?link=true"\n'
                    'output = "%s/%s.zip"\n' % (base, name, name, out, name))
    start = time.monotonic()
    subprocess.run(["curl", "-sf", "--cacert", ca] + options + ["-K", config], check=True,
                   stdout=subprocess.DEVNULL,  # -s leaves curl's parallel meter on
                   stderr=subprocess.DEVNULL)
    for name in names:
        subprocess.run(["unzip", "-q", "-o", os.path.join(out, name + ".zip"), "-d",
                        os.path.join(out, name)], check=True)
    seconds = time.monotonic() - start
    shutil.rmtree(out)
    return seconds


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--models", type=int, default=200)
    ap.add_argument("--rtt", type=float, default=40)
    ap.add_argument("--quarn")
    a = ap.parse_args()
    quarn = build() if a.quarn is None else a.quarn
    for tool in ("curl", "unzip", "openssl", NGINX):
        if shutil.which(tool) is None:
            sys.exit("needs " + tool)
    work = tempfile.mkdtemp(prefix="qx-wan-")
    processes = []
    try:
        names = write_repository(os.path.join(work, "repo"), a.models)
        mirror = os.path.join(work, "mirror")
        subprocess.run([quarn, "mirror", "export", os.path.join(work, "repo"), mirror],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        ca, key, cert = certificates(work)
        nginx, ports, log = start_nginx(work, mirror, key, cert)
        processes.append(nginx)
        print("%d models of %d KiB, round trip %g ms" % (a.models, 8, a.rtt))
        print("%-10s %-8s %4s %9s %6s %11s %6s %7s" % ("network", "server", "jobs", "quarn s",
              "conns", "curl+unzip", "conns", "ratio"))
        # https-20: nginx ends each connection after 20 requests, so clients
        # reconnect; "conns/resumed" counts the TLS sessions they resumed.
        for server, scheme in (("http", "http"), ("https", "https"), ("https-20", "https")):
            proxy, proxy_port = start_proxy(ports[server], a.rtt)
            processes.append(proxy)
            for network, port in (("wan", proxy_port), ("loopback", ports[server])):
                base = "%s://127.0.0.1:%d" % (scheme, port)
                for jobs in (8, 1):
                    if server == "https-20" and (network, jobs) != ("wan", 1):
                        continue
                    open(log, "w").close()
                    q = run_quarn(quarn, base, jobs, work, ca)
                    qc = connections(log)
                    open(log, "w").close()
                    parallel = ["--parallel", "--parallel-max", str(jobs)] if jobs > 1 else []
                    c = run_curl(base, names, parallel, work, ca)
                    cc = connections(log)
                    print("%-10s %-8s %4d %8.2fs %6s %10.2fs %6s %6.2fx" % (
                        network, server, jobs, q, conns(qc, scheme), c, conns(cc, scheme), c / q))
                    sys.stdout.flush()
        print("ratio = (curl + unzip time) / quarn time: 1.0 or more is the goal")
    finally:
        stop(processes, work)


if __name__ == "__main__":
    main()
