#!/usr/bin/env bash
# Installs every package needed to build and test qx-quarn-tools.
# Idempotent: when everything is already installed it only checks and exits quietly.
set -euo pipefail

packages=(
  cmake g++ make pkg-config git
  libcurl4-openssl-dev libjsoncpp-dev libtinyxml2-dev libyaml-dev libzip-dev zlib1g-dev
  libprotobuf-dev protobuf-compiler
  libgtest-dev libgmock-dev libbenchmark-dev
  libcpp-httplib-dev libssl-dev openssl libcli11-dev libmicrohttpd-dev
  zip unzip ca-certificates
  clang-14 libclang-rt-14-dev
  nginx-light curl squid
  python3-dev pybind11-dev python3-pytest
  python3-setuptools python3-wheel python3-build python3-venv python3-pip
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
