#!/usr/bin/env bash
# Checks, on the compiled objects, that no component of the library uses
# anything that a component above it defines. The include paths already keep
# a component from including the private headers of one above it; this
# covers what they cannot: the public headers, which every component sees (a
# cache source calling a QuarnClient method would compile, and fail here).
#
#   symbols_test.sh NAME OBJECTS [NAME OBJECTS...]   (bottom to top; OBJECTS
#                                                      ":"-separated)
set -euo pipefail
names=()
objects=()
while [ $# -ge 2 ]; do
  names+=("$1")
  objects+=("$2")
  shift 2
done
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The library's own symbols (those of namespace qx) that the objects define,
# and every symbol they use without defining it, one per line.
list() {
  local mode="$1" files="$2"
  local -a paths
  IFS=':' read -r -a paths <<<"$files"
  nm "$mode" -C "${paths[@]}" | sed -n 's/^[0-9a-f ]* [A-Za-z] //p' | sort -u
}
for i in "${!names[@]}"; do
  list --defined-only "${objects[$i]}" | grep 'qx::' >"$work/defined-$i" || true
  list --undefined-only "${objects[$i]}" >"$work/used-$i"
done

failed=0
for i in "${!names[@]}"; do
  for j in "${!names[@]}"; do
    [ "$j" -gt "$i" ] || continue
    while IFS= read -r symbol; do
      echo "${names[$i]} uses ${names[$j]}, which stands above it: $symbol"
      failed=1
    done < <(comm -12 "$work/used-$i" "$work/defined-$j")
  done
done
if [ "$failed" -eq 0 ]; then echo "no component uses one above it (${names[*]})"; fi
exit "$failed"
