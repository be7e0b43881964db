#!/usr/bin/env bash
# Installs the Debian packages a task needs, by group:
#
#   build     compiler, CMake and the libraries of tumblebench itself
#   demo      build, and what the demo's summary draws with (numpy, matplotlib)
#   test      build, and what the whole suite needs: GoogleTest, Google
#             Benchmark, GNU time and every Python module the package's
#             tests use, PyTorch and pandas among them, venv and pip for the
#             install check, and chromium to render the HTML summary
#   fuzz      build, and clang with its fuzzing runtime
#   training  what retraining the fall model needs (PyTorch, openpyxl, ...)
#   venv      what `make venv` needs to install the package
#
#   bash tools/bootstrap.sh [GROUP ...]     (no group: every package)
#
# As root it installs what is missing with apt-get; otherwise it lists what
# to install and fails.
set -euo pipefail

build=(cmake g++ make git libflatbuffers-dev flatbuffers-compiler libmimalloc-dev nlohmann-json3-dev)
python=(python3 python3-numpy python3-matplotlib)
venv=(python3-venv python3-pip python3-setuptools python3-wheel)
# SciPy resamples converted data sets to 100 per second (FallAllD's 238).
training=("${python[@]}" python3-openpyxl python3-flatbuffers python3-scipy python3-torch)

packages=()
add_group() {
  case $1 in
    build) packages+=("${build[@]}") ;;
    demo) packages+=("${build[@]}" "${python[@]}") ;;
    test) packages+=("${build[@]}" libgtest-dev libgmock-dev libbenchmark-dev time "${training[@]}" "${venv[@]}"
                     python3-pandas chromium) ;;
    fuzz) packages+=("${build[@]}" clang libclang-rt-14-dev) ;;
    training|--with-training) packages+=("${build[@]}" "${training[@]}") ;;
    venv) packages+=("${python[@]}" "${venv[@]}") ;;
    *) echo "bootstrap.sh: unknown group '$1' (build, demo, test, fuzz, training, venv)" >&2; exit 2 ;;
  esac
}
if [[ $# -eq 0 ]]; then
  set -- test fuzz training venv
fi
for group in "$@"; do
  add_group "$group"
done

missing=()
for package in $(printf '%s\n' "${packages[@]}" | sort -u); do
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
