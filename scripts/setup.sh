#!/usr/bin/env bash
# Installs whatever of the build's Debian packages is missing. Quick when
# nothing is: one dpkg-query, no apt-get.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  qt6-base-dev qt6-qpa-plugins libgl-dev
  libgtest-dev libgmock-dev libbenchmark-dev libsqlite3-dev
  clang libclang-rt-14-dev
  libqt6svg6 qt6-svg-dev xvfb xauth fonts-dejavu-core
  libcli11-dev nlohmann-json3-dev
  help2man dpkg-dev file lintian desktop-file-utils appstream mmdebstrap gpg mount
  # the end-to-end tests: X input through XTEST, a window manager, a Wayland
  # desktop with XWayland, Qt on native Wayland
  libx11-dev libxtst-dev openbox weston xwayland qt6-wayland
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}" >&2
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
