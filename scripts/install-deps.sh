#!/usr/bin/env bash
# Installs everything Parlando needs: Debian 12's packages, and TDLib's JSON
# library (libtdjson, not packaged by Debian) from the npm registry into
# third_party/tdlib/ of this checkout, never into the system.
#   scripts/install-deps.sh          build + run dependencies
#   scripts/install-deps.sh --test   also the servers and tools the tests start
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

# The prebuilt TDLib 1.8.67 for Linux x86-64 (glibc), pinned by version and by
# the checksums of the package and of the library in it.
tdlib_package="@prebuilt-tdlib/linux-x64-glibc"
tdlib_version="0.1008067.0"
tdlib_tarball_sha256="564c69f81a7537f2857e94a53cdde363d9e51a2fca48d26b365b8d9bb9ad637d"
tdlib_library_sha256="47ad24192a3c84d0be783c7c07adb14af0d2f3f53b5830d4660f58c51f298197"
tdlib_dir="$root/third_party/tdlib"

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-deps: run as root or install sudo" >&2; exit 1; }
  SUDO="sudo"
fi

build_packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-websockets-dev qt6-svg-dev qt6-base-dev-tools libgl-dev
  libx11-dev libxtst-dev libxi-dev libxkbcommon-dev libwayland-dev
  libpulse-dev libsoxr-dev libsndfile1-dev libsecret-1-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
)
runtime_packages=(
  qt6-qpa-plugins qt6-wayland libqt6svg6 pulseaudio-utils libsecret-tools
)
test_packages=(
  xvfb x11-utils x11-xserver-utils xdotool imagemagick trayer
  pulseaudio espeak-ng sox
  pipewire pipewire-pulse pipewire-bin wireplumber openbox
  dbus-daemon dbus-bin dbus-x11 gnome-keyring
  python3 python3-websockets openssl
  sway python3-gi gir1.2-gtk-3.0 wl-clipboard wtype
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
# npm fetches libtdjson; any node installation that brings npm will do.
command -v npm >/dev/null || missing+=(npm)

install_packages() {
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # Another apt may hold the lock for a while on a fresh machine: retry.
  for attempt in 1 2 3 4 5 6 7 8 9 10; do
    if $SUDO apt-get update -q && $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"; then
      return 0
    fi
    echo "install-deps: apt failed (attempt $attempt), retrying in 15 s" >&2
    sleep 15
  done
  echo "install-deps: could not install packages" >&2
  exit 1
}

install_tdlib() {
  local lib="$tdlib_dir/libtdjson.so"
  if [ -f "$lib" ] && echo "$tdlib_library_sha256  $lib" | sha256sum -c --status; then
    echo "install-deps: libtdjson $tdlib_version is installed"
    return 0
  fi
  echo "install-deps: fetching $tdlib_package@$tdlib_version from the npm registry"
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  if ! (cd "$tmp" && npm pack --silent "$tdlib_package@$tdlib_version" >/dev/null); then
    echo "install-deps: FAILED to fetch $tdlib_package@$tdlib_version with npm:" >&2
    echo "install-deps: the npm registry must be reachable (check the network or npm's proxy settings)" >&2
    exit 1
  fi
  local tarball
  tarball=$(ls "$tmp"/*.tgz)
  if ! echo "$tdlib_tarball_sha256  $tarball" | sha256sum -c --status; then
    echo "install-deps: FAILED: $tarball does not match the pinned checksum" >&2
    exit 1
  fi
  tar -xzf "$tarball" -C "$tmp" package/libtdjson.so package/LICENSE
  if ! echo "$tdlib_library_sha256  $tmp/package/libtdjson.so" | sha256sum -c --status; then
    echo "install-deps: FAILED: libtdjson.so in the package does not match the pinned checksum" >&2
    exit 1
  fi
  mkdir -p "$tdlib_dir"
  install -m 0644 "$tmp/package/libtdjson.so" "$lib.new"
  install -m 0644 "$tmp/package/LICENSE" "$tdlib_dir/LICENSE"
  mv -f "$lib.new" "$lib"
  echo "$tdlib_version" > "$tdlib_dir/VERSION"
  echo "install-deps: libtdjson $tdlib_version installed in $tdlib_dir"
}

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: every Debian package is installed"
else
  install_packages
fi
install_tdlib
