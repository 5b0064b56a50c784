#!/usr/bin/env bash
# Installs the Debian packages needed to build, test, benchmark and demo kest-core.
#
# Idempotent: when every package is already installed it only checks and exits.
# Must run as root (CI and the development machines do); apt-get update runs
# only when something is missing.
set -euo pipefail

PACKAGES=(
  # build (ccache: a second run of the test command compiles nothing again)
  cmake ninja-build g++ pkg-config ccache
  nlohmann-json3-dev libsimdjson-dev rapidjson-dev libgtest-dev libicu-dev
  libatspi2.0-dev libdbus-1-dev libglib2.0-dev
  libx11-dev libxtst-dev libxrandr-dev libxfixes-dev libxext-dev
  libcairo2-dev libpng-dev libjpeg62-turbo-dev libxcomposite-dev
  # the fixture application
  libgtk-3-dev
  # the virtual desktop and the applications the end-to-end tests drive
  xvfb openbox at-spi2-core dbus gtk-3-examples x11-utils python3-pyatspi
  mousepad zenity chromium x11-xkb-utils
  # a Qt 5 application and GTK 4's widget factory, for the other toolkits
  featherpad gtk-4-examples
  # the benchmarks' peers and the clipboard tests' other side
  xdotool xclip
  # the capture tests' reference (xwd) and peers, and an X server with two
  # monitors (Xorg's dummy driver)
  x11-apps scrot maim imagemagick xserver-xorg-core xserver-xorg-video-dummy
  # a compositor, for the halo's translucent drawing
  xcompmgr
  # the fuzz target
  clang libclang-rt-14-dev
  # the man page (scdoc renders it, groff checks it) and the Debian package
  # (dpkg-shlibdeps computes its dependencies, file finds its binaries)
  scdoc groff-base dpkg-dev file
)

# One dpkg-query for all: names it does not know are simply not listed.
declare -A installed=()
while read -r name state; do
  [[ "$state" == "installed" ]] && installed["${name%%:*}"]=1
done < <(dpkg-query -W -f='${Package} ${db:Status-Status}\n' "${PACKAGES[@]}" 2>/dev/null || true)

missing=()
for pkg in "${PACKAGES[@]}"; do
  [[ -n "${installed[$pkg]:-}" ]] || missing+=("$pkg")
done

if (( ${#missing[@]} == 0 )); then
  echo "install-deps: all ${#PACKAGES[@]} packages present"
  exit 0
fi

if (( EUID != 0 )); then
  echo "install-deps: missing packages (run as root): ${missing[*]}" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
