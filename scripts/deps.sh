#!/usr/bin/env bash
# Installs what the build, the tests and the demo need, from Debian 12's packages.
# As root it runs apt-get; otherwise it stops with the exact list to install.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  clang libclang-rt-14-dev            # the fuzz target (libFuzzer) and LeakSanitizer
  libgtest-dev googletest             # tests: the library natively, its sources for MinGW
  libcli11-dev                        # the command line's argument parser
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64   # the Windows build
  wine wine64 fonts-wine              # runs the Windows build; Wine's own fonts
  xvfb xdotool x11-utils imagemagick  # the program's windows, driven and photographed
  xauth                               # xvfb-run, which gives the window tests a display
  gnuplot-nox                         # benchmark plots
  python3                             # draws the icon, logo and chime, writes the help file
  procps psmisc                       # pgrep / killall in the scripts
  wixl msitools                       # the MSI (./run.sh package), and reading it back in its test
  dpkg-dev file lintian man-db        # the .deb: its dependencies (CPack), its checks, its manual page
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "These packages are missing; install them as root, then run this again:" >&2
  echo "  apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
