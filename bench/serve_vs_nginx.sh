#!/usr/bin/env bash
# Downloads of one large model version from `quarn serve` against nginx
# serving the same archive from a mirror export, in one run, on loopback:
# time to first byte and total time of single downloads (median of several,
# curl as the client), the total time of 8 downloads at once, and the peak
# resident memory of the quarn serve process while 8 clients download.
#
#   bash bench/serve_vs_nginx.sh [MIB]     (default 200 MiB of model files)
#
# Builds quarn in release mode into build-bench/ (QX_BENCH_BUILD_DIR).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QX_BENCH_BUILD_DIR:-$root/build-bench}"
size_mib="${1:-200}"
rounds=5
clients=8
nginx=/usr/sbin/nginx

bash "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQX_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target quarn >/dev/null
quarn="$build/cli/quarn"

work="$(mktemp -d "${TMPDIR:-/tmp}/quarn-bench-XXXXXX")"
serve_pid=""
nginx_pid=""
cleanup() {
  [ -n "$serve_pid" ] && kill "$serve_pid" 2>/dev/null && wait "$serve_pid" 2>/dev/null
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# A model of 4 MiB files of random bytes (they do not compress) and a few
# small text files.
version="$work/repo/bench/models/big/1"
mkdir -p "$version/meshes"
echo "<model><name>big</name><sdf version='1.9'>model.sdf</sdf></model>" >"$version/model.config"
echo "<sdf version='1.9'><model name='big'/></sdf>" >"$version/model.sdf"
for i in $(seq 1 $((size_mib / 4))); do
  head -c $((4 << 20)) /dev/urandom >"$version/meshes/part$i.bin"
done

# A loopback port that nothing answers on.
free_port() {
  local port
  while true; do
    port=$((20000 + RANDOM % 40000))
    curl -s -o /dev/null --max-time 1 "http://127.0.0.1:$port/" || { echo "$port"; return; }
  done
}

# quarn serve, with every archive built before it listens.
mkfifo "$work/serve.out"
start=$(date +%s.%N)
"$quarn" serve "$work/repo" --port 0 --prebuild --archive-store "$work/store" \
  >"$work/serve.out" 2>/dev/null &
serve_pid=$!
read -r serve_url <"$work/serve.out"
built=$(date +%s.%N)

# nginx over an export of the same directory.
nginx_port=$(free_port)
"$quarn" mirror export "$work/repo" "$work/mirror" --listen "127.0.0.1:$nginx_port" >/dev/null
extra=""
[ "$(id -u)" -eq 0 ] && extra="user root;"
"$nginx" -c "$work/mirror/nginx.conf" -g "daemon off; $extra" 2>"$work/nginx.err" &
nginx_pid=$!
for _ in $(seq 1 200); do
  curl -s -o /dev/null "http://127.0.0.1:$nginx_port/" && break
  sleep 0.05
done
nginx_url="http://127.0.0.1:$nginx_port"

# The route as the client sends it: escaped as one piece.
route="/1.0/bench%2Fmodels%2Fbig%2Ftip%2Fbig.zip?link=true"

# One download: "TTFB TOTAL BYTES" in seconds and bytes.
download() {
  curl -s -o /dev/null -w '%{time_starttransfer} %{time_total} %{size_download}\n' "$1$route"
}

calc() { awk "BEGIN { print $1 }"; }
median() { sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

for url in "$serve_url" "$nginx_url"; do download "$url" >/dev/null; done  # warm the page cache
: >"$work/serve.times"
: >"$work/nginx.times"
for _ in $(seq 1 $rounds); do
  download "$serve_url" >>"$work/serve.times"
  download "$nginx_url" >>"$work/nginx.times"
done

# `clients` downloads at once: the wall time of all of them.
parallel() {
  local begin end pids=()
  begin=$(date +%s.%N)
  for _ in $(seq 1 $clients); do
    download "$1" >/dev/null &
    pids+=($!)
  done
  wait "${pids[@]}"
  end=$(date +%s.%N)
  calc "$end - $begin"
}

echo 5 >"/proc/$serve_pid/clear_refs"  # VmHWM starts again from the current size
rss_before=$(awk '/VmRSS/ { print $2 }' "/proc/$serve_pid/status")
serve_parallel=$(parallel "$serve_url")
peak=$(awk '/VmHWM/ { print $2 }' "/proc/$serve_pid/status")
nginx_parallel=$(parallel "$nginx_url")

bytes=$(awk '{ print $3 }' "$work/serve.times" | head -1)
s_ttfb=$(awk '{ print $1 }' "$work/serve.times" | median)
n_ttfb=$(awk '{ print $1 }' "$work/nginx.times" | median)
s_total=$(awk '{ print $2 }' "$work/serve.times" | median)
n_total=$(awk '{ print $2 }' "$work/nginx.times" | median)

ms() { awk "BEGIN { printf \"%.1f\", ($1) * 1000 }"; }
ratio() { awk "BEGIN { printf \"%.2f\", ($1) / ($2) }"; }
echo "archive: $((bytes / 1048576)) MiB, built in $(ms "$built - $start") ms by --prebuild"
printf '%-34s %12s %12s %8s\n' "" "quarn serve" "nginx" "ratio"
printf '%-34s %9s ms %9s ms %8s\n' "time to first byte (median of $rounds)" \
  "$(ms "$s_ttfb")" "$(ms "$n_ttfb")" "$(ratio "$s_ttfb" "$n_ttfb")"
printf '%-34s %9s ms %9s ms %8s\n' "total time (median of $rounds)" \
  "$(ms "$s_total")" "$(ms "$n_total")" "$(ratio "$s_total" "$n_total")"
printf '%-34s %9s ms %9s ms %8s\n' "$clients downloads at once" \
  "$(ms "$serve_parallel")" "$(ms "$nginx_parallel")" "$(ratio "$serve_parallel" "$nginx_parallel")"
echo "quarn serve resident memory: $((rss_before / 1024)) MiB before, peak $((peak / 1024)) MiB" \
  "with $clients clients at once (goal: under 64 MiB)"
