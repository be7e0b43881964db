#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the helper tools need.
# As root it installs what is missing with apt-get; otherwise it lists what
# to install and fails.
set -euo pipefail

packages=(
  cmake
  g++
  make
  git
  libgtest-dev
  libgmock-dev
  libbenchmark-dev
  libflatbuffers-dev
  libmimalloc-dev
  flatbuffers-compiler
  python3
  time
  python3-openpyxl
  python3-numpy
  python3-flatbuffers
  python3-matplotlib
  clang
  libclang-rt-14-dev
)

if [[ "${1:-}" == "--with-training" ]]; then
  packages+=(python3-sklearn)
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [[ ${#missing[@]} -eq 0 ]]; then
  exit 0
fi

if [[ $(id -u) -ne 0 ]]; then
  echo "tumblebench: missing Debian packages: ${missing[*]}" >&2
  echo "install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi

echo "tumblebench: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >&2
apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
