#!/usr/bin/env bash
# Installs a built tree into a temporary prefix and checks that a C++
# program can use the library from there: the README's example (which must
# be examples/fetch_resource.cc word for word) is built once through
# find_package(qx-quarn-tools) and once through pkg-config, and both builds
# fetch a model from the installed `quarn serve`.
#
#   install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build="$1"
source="$2"
work="$(mktemp -d)"
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

# Everything a consumer needs is there.
for file in bin/quarn include/qx/quarn_tools/qx.hh include/qx/quarn_tools/QuarnClient.hh \
            include/qx/common/URI.hh include/qx/msgs/quarn_metadata.pb.h share/man/man1/quarn.1; do
  [ -e "$prefix/$file" ] || fail "missing $file"
done
# The installed tool runs from its prefix, and its manual page is readable.
[ "$("$prefix/bin/quarn" --version)" = "11.0.0" ] || fail "installed quarn --version"
grep -q '^\.SH EXIT STATUS' "$prefix/share/man/man1/quarn.1" || fail "manual page without exit statuses"
pc="$(find "$prefix" -name qx-quarn-tools.pc | head -n 1)"
config="$(find "$prefix" -name qx-quarn-tools-config.cmake | head -n 1)"
[ -n "$pc" ] || fail "missing qx-quarn-tools.pc"
[ -n "$config" ] || fail "missing qx-quarn-tools-config.cmake"
libdir="$(dirname "$(dirname "$pc")")"
[ -e "$libdir/libqx-quarn-tools.so" ] || fail "missing libqx-quarn-tools.so in $libdir"

# The README's example is the example program.
example="$source/examples/fetch_resource.cc"
awk '/^```cpp$/ {inside = 1; next} /^```$/ {if (inside) exit} inside' "$source/README.md" \
  >"$work/readme_example.cc"
diff -u "$example" "$work/readme_example.cc" || fail "README's C++ example differs from $example"

# 1. CMake package.
mkdir -p "$work/consumer"
cp "$example" "$work/consumer/fetch_resource.cc"
cat >"$work/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(consumer LANGUAGES CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(qx-quarn-tools 11 REQUIRED)
add_executable(fetch_resource fetch_resource.cc)
target_link_libraries(fetch_resource PRIVATE qx::quarn_tools)
CMAKE
cmake -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer/build" >/dev/null
with_cmake="$work/consumer/build/fetch_resource"

# 2. pkg-config.
export PKG_CONFIG_PATH="$(dirname "$pc")${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}"
[ "$(pkg-config --modversion qx-quarn-tools)" = "11.0.0" ] || fail "pkg-config version"
with_pkgconfig="$work/fetch_resource_pc"
# The README's command: pkg-config gives no run path, so the program is told
# where the libraries are.
# shellcheck disable=SC2046
g++ -std=c++17 "$example" -o "$with_pkgconfig" $(pkg-config --cflags --libs qx-quarn-tools) \
  -Wl,-rpath,"$(pkg-config --variable=libdir qx-quarn-tools)"

# Both run against the installed tool's server, each with its own cache.
"$prefix/bin/quarn" serve "$source/examples/repository" --port 0 >"$work/serve.out" &
server_pid=$!
url=""
for _ in $(seq 1 300); do
  url="$(head -n 1 "$work/serve.out" 2>/dev/null || true)"
  [ -n "$url" ] && break
  kill -0 "$server_pid" 2>/dev/null || fail "quarn serve did not start"
  sleep 0.1
done
[ -n "$url" ] || fail "quarn serve printed no URL"

export HOME="$work/home"
mkdir -p "$HOME"
# run PROGRAM CACHE [LIBRARY_PATH]: both builds find the libraries by their
# run paths alone.
run() {
  local program="$1" cache="$2" library_path="${3:-}"
  mkdir -p "$cache"
  local path
  path="$(QX_QUARN_CACHE_PATH="$cache" LD_LIBRARY_PATH="$library_path" \
          "$program" "$url/1.0/workshop/models/chair")"
  [ "$path" = "$cache/$(echo "$url" | sed -e 's#^http://##' -e 's#:#%3A#')/workshop/models/chair/1" ] \
    || fail "$program printed [$path]"
  [ -f "$path/model.sdf" ] || fail "$program did not download the chair"
}
run "$with_cmake" "$work/cache-cmake"
run "$with_pkgconfig" "$work/cache-pkgconfig"
echo "Installed package works through CMake and pkg-config."
