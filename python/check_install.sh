#!/usr/bin/env bash
# Installs the module quarn the three ways the README gives, each into a
# temporary place that goes when the script ends (nothing is installed into
# the system), and checks after each that
#   python3 -c "import quarn; print(quarn.__version__)"
# prints the library's version:
#   1. cmake --install of BUILD (a prefix of its own; PYTHONPATH names it);
#   2. python3 -m pip install --no-build-isolation . (into a venv);
#   3. python3 -m build --no-isolation --wheel, and the wheel into a venv.
# Offline: pip may not use any index. The pip and wheel builds reuse BUILD
# (QX_PYTHON_CMAKE_BUILD), so nothing is compiled again.
#
#   python/check_install.sh BUILD [PYTHON]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "$1" && pwd)"
python="${2:-/usr/bin/python3}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Only what was installed may answer the import.
unset PYTHONPATH
export PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_CACHE_DIR=1
export QX_PYTHON_CMAKE_BUILD="$build"
version="$(sed -n 's/^project(qx-quarn-tools VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"

# The check runs away from the source tree, so that only the installed
# module can be imported.
imports() {
  local how="$1"
  shift
  local printed
  printed="$(cd "$work" && "$@" -c "import quarn; print(quarn.__version__)")"
  if [ "$printed" != "$version" ]; then
    echo "after $how: quarn.__version__ is [$printed], not [$version]" >&2
    exit 1
  fi
  echo "$how: import quarn gives $printed"
}

# 1. cmake --install into a prefix of its own.
cmake --install "$build" --prefix "$work/prefix" >/dev/null
site="$(sed -n 's/^QX_PYTHON_INSTALL_DIR:STRING=//p' "$build/CMakeCache.txt")"
PYTHONPATH="$work/prefix/$site" imports "cmake --install" "$python"

# 2. pip install --no-build-isolation . into a venv (Debian's setuptools seen
#    through --system-site-packages).
"$python" -m venv --system-site-packages "$work/pip-venv"
(cd "$root" && "$work/pip-venv/bin/python" -m pip install -q --no-build-isolation .)
imports "pip install --no-build-isolation ." "$work/pip-venv/bin/python"

# 3. A wheel, installed into a venv of its own.
(cd "$root" && "$python" -m build --no-isolation --wheel --outdir "$work/dist" >"$work/build.log" 2>&1) ||
  { cat "$work/build.log" >&2; echo "python3 -m build --no-isolation --wheel failed" >&2; exit 1; }
"$python" -m venv "$work/wheel-venv"
"$work/wheel-venv/bin/python" -m pip install -q "$work"/dist/quarn-*.whl
imports "python3 -m build --no-isolation --wheel" "$work/wheel-venv/bin/python"
