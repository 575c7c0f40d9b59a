#!/usr/bin/env python3
"""The Python module against the C++ calls it wraps, in one run on a release
build (QX_BENCH_BUILD_DIR, default build-bench):

1. client.fetch of a cached URL: the median of CALLS calls (100,000), beside
   the median of ResourceRequests::Fetch, timed by a C++ program
   (bench/python_driver.cc) and by C++ inside this process; the module's
   cost is the difference (the aim: at most 2 us).
2. A collection of MODELS models of 2 MiB each from `quarn serve` on
   loopback, downloaded (force) by 8 Python threads sharing one client,
   beside 8 C++ threads sharing one ResourceRequests: the best of three runs
   each, and the ratio of throughputs (the aim: at least 95 %).

Runs with Debian's /usr/bin/python3 (the interpreter the module is built
for).

  /usr/bin/python3 bench/python_module.py [CALLS] [MODELS]
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402

CALLS = int(sys.argv[1]) if len(sys.argv) > 1 else 100000
MODELS = int(sys.argv[2]) if len(sys.argv) > 2 else 40
THREADS = 8
RUNS = 3


def serve(quarn, repo):
    process = subprocess.Popen([quarn, "serve", repo, "--port", "0"], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True)
    return process, process.stdout.readline().strip()


def main():
    quarn = benchlib.build("quarn-python", "python_driver")
    driver = os.path.join(benchlib.BUILD, "bench", "python_driver")
    sys.path.insert(0, os.path.join(benchlib.BUILD, "python"))
    import quarn as module

    work = tempfile.mkdtemp(prefix="quarn-python-bench-")
    os.environ["HOME"] = work
    for name in ("QX_QUARN_CACHE_PATH", "QX_QUARN_TOKEN", "QX_QUARN_OFFLINE"):
        os.environ.pop(name, None)
    repo = os.path.join(work, "repo")
    names = ["m%03d" % i for i in range(MODELS)]
    for name in names:
        benchlib.write_model(repo, "bench", name, [("mesh.bin", 2 << 20)])
    process, url = serve(quarn, repo)
    try:
        urls = ["%s/1.0/bench/models/%s" % (url, name) for name in names]
        cache = os.path.join(work, "cache")
        client = module.Client(cache_dir=cache)

        # 1. A cached fetch.
        client.fetch(urls[0])
        cpp = int(subprocess.run([driver, "fetch", cache, urls[0], str(CALLS)], check=True,
                                 capture_output=True, text=True).stdout)
        fetch = client.fetch
        target = urls[0]
        clock = time.perf_counter_ns
        samples = []
        for _ in range(CALLS):
            start = clock()
            fetch(target)
            samples.append(clock() - start)
        python = statistics.median(samples)
        # The same C++ call timed by C++ inside this process (its heap, its
        # caches), right after.
        inside = client._client._time_cached_fetch(target, CALLS)
        print("cached fetch, median of %d calls:" % CALLS)
        print("  C++ ResourceRequests::Fetch, a program      %8.2f us" % (cpp / 1000))
        print("  C++ ResourceRequests::Fetch, this process   %8.2f us" % (inside / 1000))
        print("  Python client.fetch                         %8.2f us" % (python / 1000))
        print("  the module adds (to the call in-process)    %8.2f us  (%.2fx)" % (
            (python - inside) / 1000, python / inside))
        print("  the module adds (to the program)            %8.2f us  (%.2fx)" % (
            (python - cpp) / 1000, python / cpp))

        # 2. 8 threads downloading a collection's members.
        def cpp_run():
            out = subprocess.run([driver, "download", cache, str(THREADS)] + urls, check=True,
                                 capture_output=True, text=True).stdout.split()
            return float(out[0]), int(out[1])

        def python_run():
            start = time.perf_counter()
            with ThreadPoolExecutor(THREADS) as pool:
                list(pool.map(lambda u: client.download(u, force=True), urls))
            return time.perf_counter() - start

        cpp_times, python_times, size = [], [], 0
        for _ in range(RUNS):
            seconds, size = cpp_run()
            cpp_times.append(seconds)
            python_times.append(python_run())
        mib = size / (1 << 20)
        best_cpp, best_python = min(cpp_times), min(python_times)
        print("%d models (%.0f MiB) by %d threads, best of %d:" % (MODELS, mib, THREADS, RUNS))
        print("  C++ threads                  %8.1f MiB/s  (%.2f s)" % (mib / best_cpp, best_cpp))
        print("  Python threads               %8.1f MiB/s  (%.2f s)" % (mib / best_python,
                                                                        best_python))
        print("  Python / C++ throughput      %8.1f %%" % (100 * best_cpp / best_python))
    finally:
        process.terminate()
        process.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
