#!/bin/sh
# Builds the libFuzzer targets with clang (Debian packages clang-14 and
# libclang-rt-14-dev) into fuzz-build/ at the top of the tree:
#
#   fuzz/build.sh            # then, for instance:
#   fuzz-build/zip_extract_fuzzer fuzz-build/corpus-zip fuzz/corpus/zip -max_total_time=180
#
# The targets compile the library sources they need directly, with address
# and undefined-behaviour sanitizers; they are not part of the CMake build.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
out=${FUZZ_BUILD_DIR:-$top/fuzz-build}
cxx=${CXX_FUZZ:-clang++-14}
mkdir -p "$out/gen"

protoc --proto_path="$top/msgs/proto" --cpp_out="$out/gen" \
  "$top/msgs/proto/qx/msgs/quarn_metadata.proto"

flags="-std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
  -I$top/include -I$top/src -I$top/common/include -I$top/math/include -I$out/gen"
common="$top/common/src/Console.cc $top/common/src/Filesystem.cc $top/common/src/Util.cc"

# shellcheck disable=SC2086
$cxx $flags -o "$out/zip_extract_fuzzer" "$here/zip_extract_fuzzer.cc" \
  "$top/src/Zip.cc" $common -lzip -pthread
# shellcheck disable=SC2086
$cxx $flags -w -c -o "$out/quarn_metadata.pb.o" "$out/gen/qx/msgs/quarn_metadata.pb.cc"
# shellcheck disable=SC2086
$cxx $flags -o "$out/model_config_fuzzer" "$here/model_config_fuzzer.cc" \
  "$top/src/ModelConfig.cc" "$top/math/src/SemanticVersion.cc" "$out/quarn_metadata.pb.o" \
  -ltinyxml2 -lprotobuf -pthread

echo "built $out/zip_extract_fuzzer and $out/model_config_fuzzer"
