#!/usr/bin/env bash
# The tour of quarn, offline: installs what is missing, builds the tool,
# serves the bundled example repository (examples/repository) on a free
# loopback port, lists it, downloads a model with its dependencies into a
# temporary cache, shows the cache, resolves a file URL with `quarn fetch`,
# and stops the server; then exports the directory as a static mirror and
# serves that with nginx. Nothing outside a temporary directory is touched
# (HOME and the cache point into it).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QX_DEMO_BUILD_DIR:-$root/build}"

bash "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target quarn
quarn="$build/cli/quarn"

work="$(mktemp -d)"
server_pid=""
stop_server() {
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  server_pid=""
}
cleanup() {
  stop_server
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

export HOME="$work/home"
unset XDG_CACHE_HOME  # the archive store of quarn serve goes below HOME too
export QX_QUARN_CACHE_PATH="$work/cache"
mkdir -p "$HOME" "$QX_QUARN_CACHE_PATH"

step() {
  if [ -t 1 ]; then printf '\n\033[1m== %s\033[0m\n' "$*"; else printf '\n== %s\n' "$*"; fi
}

# The example's dependency URLs carry the placeholder {{SERVER_URL}}: the
# port is only known once the server listens, so the server gets a copy
# whose placeholders are filled in then (its next answers see the change).
cp -R "$root/examples/repository" "$work/repository"
step "quarn serve $work/repository --port 0"
"$quarn" serve "$work/repository" --port 0 >"$work/serve.out" &
server_pid=$!
url=""
for _ in $(seq 1 100); do
  url="$(head -n 1 "$work/serve.out" 2>/dev/null || true)"
  [ -n "$url" ] && break
  kill -0 "$server_pid" 2>/dev/null || { echo "quarn serve did not start" >&2; exit 1; }
  sleep 0.1
done
[ -n "$url" ] || { echo "quarn serve printed no URL" >&2; exit 1; }
grep -rl '{{SERVER_URL}}' "$work/repository" | while read -r file; do
  sed -i "s#{{SERVER_URL}}#$url#g" "$file"
done
echo "Serving the example repository at $url"

step "quarn list -u $url"
"$quarn" list -u "$url"
step "quarn list -u $url -t world --raw"
"$quarn" list -u "$url" -t world --raw

model="$url/1.0/studio/models/dining_set"
step "quarn download -u $model   (it depends on workshop/table and workshop/chair)"
path="$("$quarn" download -u "$model")"
echo "Downloaded into $path"
server_cache="${path%/studio/models/dining_set/*}"
for dependency in workshop/models/table workshop/models/chair; do
  [ -d "$server_cache/$dependency" ] || { echo "The dependency $dependency is missing" >&2; exit 1; }
done

step "The cache ($QX_QUARN_CACHE_PATH)"
# The files of the cached versions (the lock and record files beside them are
# the cache's own), then what quarn cache ls makes of them.
(cd "$QX_QUARN_CACHE_PATH" && find . -mindepth 1 -not -name '.qx*' | sort |
  sed -e 's#^\./##' -e 's#[^/]*/#    #g')
step "quarn cache ls"
"$quarn" cache ls

file="$url/1.0/workshop/models/table/tip/files/meshes/top.obj"
step "quarn fetch $file"
"$quarn" fetch "$file"

step "Stopping the server"
stop_server

# The same directory as a static mirror, served by nginx (Debian's nginx-light).
nginx=/usr/sbin/nginx
if [ -x "$nginx" ]; then
  port=$((20000 + RANDOM % 40000))
  while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((20000 + RANDOM % 40000)); done
  step "quarn mirror export $work/repository $work/mirror --listen 127.0.0.1:$port"
  "$quarn" mirror export "$work/repository" "$work/mirror" --listen "127.0.0.1:$port"
  step "nginx -c $work/mirror/nginx.conf"
  "$nginx" -c "$work/mirror/nginx.conf" -g "daemon off; master_process off;" &
  server_pid=$!
  mirror="http://127.0.0.1:$port"
  for _ in $(seq 1 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    kill -0 "$server_pid" 2>/dev/null || { echo "nginx did not start" >&2; exit 1; }
    sleep 0.1
  done
  step "quarn list -u $mirror"
  "$quarn" list -u "$mirror"
  step "quarn download -u $mirror/1.0/studio/worlds/kitchen"
  "$quarn" download -u "$mirror/1.0/studio/worlds/kitchen"
  step "Stopping nginx"
  stop_server
fi
echo "Done."
