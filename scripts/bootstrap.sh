#!/usr/bin/env bash
# Installs the Debian packages the build, the tool and the tests use. Safe to run again:
# packages already present are skipped. Extra package names may be passed as arguments; the
# argument `windows` stands for what the Windows cross-build and its tests under Wine need
# (MinGW-w64, Wine, GoogleTest's sources), which only that CI stage installs.
set -euo pipefail
windows=(g++-mingw-w64-x86-64-posix wine64 googletest)
extra=()
for a in "$@"; do
  if [ "$a" = windows ]; then extra+=("${windows[@]}"); else extra+=("$a"); fi
done
packages=(cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev
          libftdi1-dev libusb-1.0-0-dev libumockdev-dev umockdev
          pybind11-dev python3-dev python3-numpy python3-pytest python3-matplotlib python3-pandas
          python3-build python3-venv python3-setuptools python3-wheel python3-pip
          mono-mcs mono-runtime libcpp-httplib-dev chromium chromium-driver python3-selenium ${extra[@]+"${extra[@]}"})
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
