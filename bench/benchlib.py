"""What the benchmark scripts share: the release build they run, and the
models they write into a served repository."""
import os, shutil, subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("QX_BENCH_BUILD_DIR", os.path.join(ROOT, "build-bench"))


def build(*targets):
    """Installs what is missing and builds the release quarn (and `targets`)
    into BUILD; the path of quarn."""
    subprocess.run(["bash", os.path.join(ROOT, "scripts/install-deps.sh")], check=True)
    subprocess.run(["cmake", "-S", ROOT, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release",
                    "-DQX_BUILD_TESTS=OFF", "-DQX_BUILD_BENCHMARKS=ON"], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "-j2", "--target", "quarn"] + list(targets),
                   check=True)
    return os.path.join(BUILD, "cli", "quarn")


def write_model(repo, owner, name, meshes):
    """Version 1 of model owner/name in `repo`: model.config, model.sdf and,
    for each (file name, bytes) of `meshes`, meshes/NAME of that many random
    (incompressible) bytes."""
    version = os.path.join(repo, owner, "models", name, "1")
    os.makedirs(os.path.join(version, "meshes"))
    with open(os.path.join(version, "model.config"), "w") as f:
        f.write("<?xml version='1.0'?>\n<model><name>%s</name>"
                "<sdf version='1.9'>model.sdf</sdf></model>\n" % name)
    with open(os.path.join(version, "model.sdf"), "w") as f:
        f.write("<sdf version='1.9'><model name='%s'/></sdf>\n" % name)
    for mesh, size in meshes:
        with open(os.path.join(version, "meshes", mesh), "wb") as f:
            f.write(os.urandom(size))


def stop(processes, work):
    """Ends the servers and proxies a benchmark started and removes its
    work directory."""
    for p in processes:
        p.terminate()
        p.wait()
    shutil.rmtree(work, ignore_errors=True)
