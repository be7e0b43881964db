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
  nlohmann-json3-dev
  flatbuffers-compiler
  python3
  time
  python3-openpyxl
  python3-numpy
  python3-flatbuffers
  python3-matplotlib
  # The fall model's training tests (tools/train/test_training.py) run in
  # the suite and need PyTorch.
  python3-torch
  clang
  libclang-rt-14-dev
)

if [[ "${1:-}" == "--with-training" ]]; then
  # Retraining the fall model (tools/train/retrain.sh): PyTorch, already
  # above for the tests; named here too so that this list stays complete.
  packages+=(python3-torch)
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
