#!/usr/bin/env bash
# Installs, with apt-get, what the build, the tests and the window need.
# Quick and silent when everything is already there.
set -euo pipefail

packages=(
  build-essential clang cmake ninja-build pkg-config git
  libcurl4-openssl-dev libgoogle-glog-dev
  libboost-dev libboost-filesystem-dev libboost-system-dev
  nlohmann-json3-dev libplist-dev libproxy-dev libcpp-httplib-dev libssl-dev zlib1g-dev
  googletest libgtest-dev libgmock-dev libclang-rt-14-dev
  libgnustep-gui-dev gnustep-back0.29 gobjc++ libfontconfig-dev fonts-wqy-microhei
  xvfb xdotool imagemagick icnsutils curl python3
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null 2>&1; then
    echo "setup-deps: installing packages needs root, and sudo is not available." >&2
    echo "setup-deps: as root, run: apt-get install ${missing[*]}" >&2
    exit 1
  fi
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
if ! "${sudo_cmd[@]}" apt-get update -qq ||
   ! "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
  echo "setup-deps: apt-get could not install: ${missing[*]}" >&2
  if [ ${#sudo_cmd[@]} -gt 0 ]; then
    echo "setup-deps: (through sudo; as root, run: apt-get install ${missing[*]})" >&2
  fi
  exit 1
fi
