#!/usr/bin/env bash
# Installs everything Parlando needs from Debian 12's packages.
#   scripts/install-deps.sh          build + run dependencies
#   scripts/install-deps.sh --test   also the servers and tools the tests start
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-deps: run as root or install sudo" >&2; exit 1; }
  SUDO="sudo"
fi

build_packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-websockets-dev qt6-svg-dev qt6-base-dev-tools libgl-dev
  libx11-dev libxtst-dev libxi-dev libxkbcommon-dev
  libpulse-dev libsoxr-dev libsndfile1-dev libsecret-1-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
)
runtime_packages=(
  qt6-qpa-plugins libqt6svg6 pulseaudio-utils libsecret-tools
)
test_packages=(
  xvfb x11-utils x11-xserver-utils xdotool imagemagick trayer openbox
  pulseaudio espeak-ng sox
  pipewire pipewire-pulse pipewire-bin wireplumber openbox
  dbus-daemon dbus-bin dbus-x11 gnome-keyring
  python3 python3-websockets openssl
  clang libclang-rt-14-dev
)

packages=("${build_packages[@]}" "${runtime_packages[@]}")
if [ "${1:-}" = "--test" ]; then
  packages+=("${test_packages[@]}")
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: everything is installed"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Another apt may hold the lock for a while on a fresh machine: retry.
for attempt in 1 2 3 4 5 6 7 8 9 10; do
  if $SUDO apt-get update -q && $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"; then
    exit 0
  fi
  echo "install-deps: apt failed (attempt $attempt), retrying in 15 s" >&2
  sleep 15
done
echo "install-deps: could not install packages" >&2
exit 1
