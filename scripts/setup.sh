#!/usr/bin/env bash
# Installs what building and testing Vexa needs on a Debian machine: the mingw-w64 cross
# compilers, Wine (64-bit; 32-bit too, through i386 multiarch, where the machine runs 32-bit
# code), widl, Xvfb, CMake, the GoogleTest sources and wixl with msitools (the installer
# packages). Does nothing for packages that are already there.
set -euo pipefail
source "$(dirname "$0")/wine.sh"

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
pkgs=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
      wine wine64 wine64-tools libwine-dev xvfb xauth cmake make googletest libgtest-dev
      x11-utils imagemagick xdotool python3 wixl msitools openssl g++)
# Wine's 32-bit loader only where it can start: installed where it cannot, /usr/bin/wine
# would hand every program, 64-bit ones too, to it.
runs_x86 && pkgs+=(wine32:i386)
for p in "${pkgs[@]}"; do have "$p" || need+=("$p"); done
[ ${#need[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
if runs_x86 && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
# A mirror in the middle of a sync fails an index now and then: try again, and install from
# what was read when it still fails (the packages' own downloads are checked either way).
for attempt in 1 2 3; do
  $SUDO apt-get update -qq && break
  echo "setup: apt-get update failed (attempt $attempt)" >&2
  sleep $((attempt * 10))
done
$SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
