#!/bin/sh
# Builds the libFuzzer targets with clang (Debian packages clang-14 and
# libclang-rt-14-dev) into fuzz-build/ at the top of the tree:
#
#   fuzz/build.sh            # then, for instance:
#   fuzz-build/zip_extract_fuzzer fuzz-build/corpus-zip fuzz/corpus/zip -max_total_time=180
#
# The library's sources are compiled once, with address and
# undefined-behaviour sanitizers and fuzzer coverage, and linked into each
# target; they are not part of the CMake build.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
out=${FUZZ_BUILD_DIR:-$top/fuzz-build}
cxx=${CXX_FUZZ:-clang++-14}
mkdir -p "$out/gen" "$out/obj"

protoc --proto_path="$top/msgs/proto" --cpp_out="$out/gen" \
  "$top/msgs/proto/qx/msgs/quarn_metadata.proto"

# The library's sources sit at the top of src/, in one folder per component
# and in folders below those (src/transport/engine/); every component's
# private headers are on the path here.
components=""
for dir in "$top"/src/*/; do components="$components -I${dir%/}"; done
sanitizers="-fsanitize=address,undefined -fno-sanitize-recover=undefined"
flags="-std=c++17 -g -O1 $sanitizers
  -I$top/include $components -I$top/common/include -I$top/math/include -I$out/gen
  $(pkg-config --cflags jsoncpp) -DQX_QUARN_TOOLS_VERSION=\"fuzz\""
libs="-lcurl -lzip -lz -ltinyxml2 -lyaml -ljsoncpp -lprotobuf -pthread"

# Every source of the library and its layers, once (rebuilt when newer), two
# at a time.
objects=""
stale=""
for source in "$top"/src/*.cc "$top"/src/*/*.cc "$top"/src/*/*/*.cc "$top"/common/src/*.cc "$top"/math/src/*.cc \
              "$out/gen/qx/msgs/quarn_metadata.pb.cc"; do
  object="$out/obj/$(basename "$source" .cc).o"
  if [ ! -e "$object" ] || [ "$source" -nt "$object" ]; then stale="$stale $source"; fi
  objects="$objects $object"
done
export cxx flags out
# shellcheck disable=SC2016,SC2086
printf '%s\n' $stale | grep . | xargs -r -P "${FUZZ_JOBS:-2}" -I{} sh -c \
  '$cxx $flags -fsanitize=fuzzer-no-link -w -c -o "$out/obj/$(basename {} .cc).o" {}'

for target in zip_extract_fuzzer model_config_fuzzer; do
  # shellcheck disable=SC2086
  $cxx $flags -fsanitize=fuzzer -o "$out/$target" "$here/$target.cc" $objects $libs
done

echo "built $out/zip_extract_fuzzer and $out/model_config_fuzzer"
