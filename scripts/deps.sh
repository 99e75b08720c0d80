#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and runs with. Idempotent: when
# every package is already there it does nothing and asks no mirror.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git python3
  clang-format clang-14 libclang-rt-14-dev   # formatting check, fuzzers
  libgtest-dev libgmock-dev libbenchmark-dev  # tests and benchmarks
  rapidjson-dev libyaml-dev                   # the plug-in's own dependencies
  libmicrohttpd-dev libcurl4-openssl-dev curl # the developer host
  nlohmann-json3-dev libmsgpack-cxx-dev libyaml-cpp-dev wrk  # benchmark peers and load
  gcovr                                       # coverage report
  python3-matplotlib                          # the benchmark chart
  chromium chromium-driver python3-selenium   # the console's browser test
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "deps: installing ${missing[*]}"
  if [ "$(id -u)" != 0 ]; then
    echo "deps: run as root (or install the packages above yourself)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
