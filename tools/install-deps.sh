#!/usr/bin/env bash
# Installs the Debian packages that building, testing, benchmarking and the demo need,
# and only those that are missing.
set -eu
packages=(
  g++ make cmake pkg-config              # build
  libopencv-dev libx11-dev               # the program
  libcli11-dev zlib1g-dev libsqlite3-dev libfastcdr-dev libyaml-cpp-dev liblz4-dev libzstd-dev
  librosbag-storage-dev libsensor-msgs-dev  # scanlog's readers
  googletest libgtest-dev libbenchmark-dev  # tests and benchmarks
  xvfb xauth xdotool x11-utils imagemagick  # a virtual display and its screenshots
  clang libclang-rt-dev                  # the fuzzer
  time                                   # peak memory in the benchmarks
)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
$sudo apt-get update -qq
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
