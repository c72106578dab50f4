#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running or testing needs,
# only those that are missing. Usage: tools/install_deps.sh run|test|windows
set -euo pipefail

build=(cmake ninja-build g++ pkg-config qt6-base-dev libxcb1-dev libgdcm-dev libseccomp-dev libdcmtk-dev libcharls-dev
       libopenjp2-7-dev)
run=(python3-pydicom python3-numpy xvfb xauth fonts-liberation2 fonts-ipafont-gothic xchm xdg-utils)
test=(libgtest-dev locales valgrind clang libclang-rt-14-dev python3-pydicom python3-numpy dcmtk openssl libgdcm-tools libopenjp2-tools xvfb xauth imagemagick
      fonts-liberation2 fonts-ipafont-gothic acl
      dpkg-dev lintian adduser man-db xdg-utils libfile-mimeinfo-perl shared-mime-info file bash-completion)
# The Windows build: the MinGW-w64 cross toolchain, the host Qt tools (moc, rcc, uic) that the
# cross-built Qt reuses, GoogleTest's sources (the host library cannot link into a .exe), wine to
# run the tests, and wixl with msitools (msiinfo) for the MSI. apt-get source needs dpkg-dev. The
# window's icon is drawn from its SVG (rsvg-convert, ImageMagick); its test runs it on Xvfb with
# openbox, presses its keys with xdotool and draws Arial with Liberation Sans.
windows=(cmake ninja-build g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64
         qt6-base-dev-tools googletest wine wine64 wixl msitools dpkg-dev xz-utils perl python3
         pkg-config librsvg2-bin imagemagick xvfb xauth openbox xdotool fonts-liberation2 procps)

case "${1:-test}" in
  run) wanted=("${build[@]}" "${run[@]}") ;;
  test) wanted=("${build[@]}" "${test[@]}") ;;
  windows) wanted=("${windows[@]}") ;;
  *) echo "usage: $0 run|test|windows" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
echo "installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
