#!/usr/bin/env bash
# Installs the build and test dependencies by package name, skipping what is already present.
set -euo pipefail

# clang and its runtime libraries build the coverage-guided fuzzer (libFuzzer); PyPy, the module's
# shipped target, runs the module's tests; Chromium and its driver run the web page's tests.
packages=(g++ make libgtest-dev libgmock-dev libbenchmark-dev clang-format clang libclang-rt-14-dev
  pypy3 pypy3-dev pypy3-venv chromium chromium-driver)
missing=()
for package in "${packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
command -v cmake >/dev/null 2>&1 || missing+=(cmake)

if ((${#missing[@]} > 0)); then
  echo "Installing: ${missing[*]}"
  sudo=""
  [[ $(id -u) -eq 0 ]] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
