#!/usr/bin/env bash
# Builds the Debian package in a test build, checks it with lintian (errors
# fail), then, as root, installs it and checks what it installed: the
# programs convert as the build's do (also through the installed decoder
# helper), answer --help and --version and have manual pages; a .gsd file
# has its MIME type; bash completes the options and file kinds; the node's
# service is installed with its user but not enabled. Then it purges the
# package, leaving the machine as it was.
#   tools/check_package.sh [BUILD_DIR]     default build-tests-plain
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-tests-plain}
package=dicom-data-converter
# Programs whose --version comes with work not yet merged: without it they
# get a note, not a failure. (The window, without it, would open: offscreen.)
pending_options=""

fail() {
  echo "check_package: FAIL: $*" >&2
  exit 1
}

work=$(mktemp -d)
installed_here=""
users_created=""
cleanup() {
  if [ -n "$installed_here" ]; then
    dpkg --purge "$package" >/dev/null 2>&1 || true
  fi
  for user in $users_created; do
    if getent passwd "$user" >/dev/null; then
      userdel "$user" >/dev/null 2>&1 || true
      if getent group "$user" >/dev/null; then groupdel "$user" || true; fi
    fi
  done
  rm -rf "$work"
}
trap cleanup EXIT

echo "== package"
# The programs keep the decoder's path and the unit its settings' path from
# the prefix they are built for: the package's is /usr.
cmake -S . -B "$build" -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build"
rm -f "$build/$package"_*.deb
(cd "$build" && cpack -G DEB) >"$work/cpack.log" || { cat "$work/cpack.log"; fail "cpack"; }
version=$(dpkg-deb -f "$build"/"$package"_*.deb Version)
deb=$build/${package}_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no $deb: $(ls "$build"/*.deb)"
echo "built $deb"
# Only programs in /usr/bin; the guides where documents and data go.
listing=$(dpkg-deb -c "$deb")
for guide in dicom.chm dicom.html; do
  for folder in usr/share/doc/$package usr/share/$package; do
    grep -q " \./$folder/$guide\$" <<<"$listing" || fail "no /$folder/$guide"
  done
  if grep -q " \./usr/bin/$guide\$" <<<"$listing"; then fail "/usr/bin/$guide"; fi
done

echo "== lintian"
status=0
lintian --fail-on error --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 || status=$?
grep -v 'root privileges' "$work/lintian.log" || true
[ "$status" -eq 0 ] || fail "lintian reports errors"

echo "== contents"
dpkg-deb -x "$deb" "$work/tree"
for binary in "$work"/tree/usr/bin/*; do
  file -b "$binary" | grep -q '^ELF' || continue
  file -b "$binary" | grep -q ', stripped' || fail "${binary#"$work/tree"} is not stripped"
done
unit=$work/tree/lib/systemd/system/gsd-node.service
if [ -f "$unit" ]; then
  grep -qx 'EnvironmentFile=/etc/dicom-data-converter/gsd-node.conf' "$unit" ||
    fail "the unit does not read /etc/dicom-data-converter/gsd-node.conf"
  grep -q '^ExecStart=/usr/bin/gsd-node ' "$unit" || fail "the unit does not start /usr/bin/gsd-node"
  [ -f "$work/tree/etc/dicom-data-converter/gsd-node.conf" ] || fail "no gsd-node.conf"
  if command -v systemd-analyze >/dev/null; then
    exposure=$(systemd-analyze security --offline=yes --no-pager "$unit" 2>/dev/null |
      sed -n 's/.*Overall exposure level for gsd-node.service: \([0-9.]*\) .*/\1/p')
    awk -v e="${exposure:-10}" 'BEGIN { exit !(e <= 4.0) }' ||
      fail "systemd-analyze rates the unit ${exposure:-unreadable}, above 4.0"
  fi
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "check_package: not root: the package is built and checked by lintian;" \
    "installing and testing it needs root (skipped)"
  exit 0
fi

echo "== install"
if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
  fail "$package is already installed here; purge it first (dpkg --purge $package)"
fi
node_user=""
[ -f "$unit" ] && node_user=$(sed -n 's/^User=//p' "$unit")
helper_user=dicom-decode
for user in $helper_user $node_user; do
  getent passwd "$user" >/dev/null || users_created+=" $user"
done
installed_here=1
if ! dpkg -i "$deb" >"$work/dpkg.log" 2>&1; then
  DEBIAN_FRONTEND=noninteractive apt-get install -f -y -qq >>"$work/dpkg.log" 2>&1 || true
fi
dpkg-query -W -f='${Status}' "$package" | grep -q 'ok installed' ||
  { cat "$work/dpkg.log"; fail "the package did not install"; }
files=$(dpkg-query -L "$package")
# Its own files (dpkg also lists the folders it shares with other packages).
own_files=$(while read -r path; do if [ ! -d "$path" ]; then echo "$path"; fi; done <<<"$files")

echo "== installed programs: conversions, --help, --version, manual pages"
# The sample study as the tests make it, and a JPEG-LS copy of it that only
# the installed dicom-decode beside /usr/bin/dicom2gsd can read.
/usr/bin/python3 tools/make_sample_study.py "$work/sample" >/dev/null
dcmcjpls "$work/sample/sample_gated64.dcm" "$work/sample/sample_gated64.jpegls.dcm"
for study in sample_gated64 sample_gated128 sample_gated64.jpegls; do
  input=$work/sample/$study.dcm
  "$build/dicom2gsd" --height 170 --weight 65 "$input" "$work/$study.build.gsd" 2>/dev/null ||
    fail "the build's dicom2gsd cannot convert $study"
  /usr/bin/dicom2gsd --height 170 --weight 65 "$input" "$work/$study.gsd" 2>/dev/null ||
    fail "installed dicom2gsd cannot convert $study"
  cmp -s "$work/$study.build.gsd" "$work/$study.gsd" ||
    fail "installed dicom2gsd writes $study unlike the build's"
done
/usr/bin/gsdinfo "$work/sample_gated64.gsd" >/dev/null || fail "installed gsdinfo refuses the sample"

for program in $(grep '^/usr/bin/' <<<"$files"); do
  name=${program##*/}
  file -b "$program" | grep -q '^ELF' || continue
  [ "$(man -w "$name" 2>/dev/null)" = "/usr/share/man/man1/$name.1.gz" ] ||
    fail "man -w $name does not find /usr/share/man/man1/$name.1.gz"
  answer=$(QT_QPA_PLATFORM=offscreen timeout 10 "$program" --version </dev/null 2>/dev/null) || true
  if [ "$answer" != "$name $version" ]; then
    [[ " $pending_options " == *" $name "* ]] ||
      fail "$name --version does not print \"$name $version\""
    echo "note: $name does not answer --version yet: --help and --version not checked"
    continue
  fi
  help=$(QT_QPA_PLATFORM=offscreen timeout 10 "$program" --help </dev/null) ||
    fail "$name --help fails"
  [[ $help == *"usage: $name"* ]] || fail "$name --help does not print its usage"
done

echo "== decoder helpers: their own user, undumpable from exec"
getent passwd "$helper_user" >/dev/null || fail "no system user $helper_user"
[ "$(id -u "$helper_user")" -lt 1000 ] || fail "$helper_user is not a system user"
for helper in dicom-decode dicom-decode-gdcm; do
  [ "$(stat -c '%U %a' "/usr/bin/$helper")" = "root 711" ] || fail "/usr/bin/$helper is not root's, mode 711"
  ids=$(/usr/bin/$helper --self-test ids </dev/null) || fail "$helper --self-test ids fails"
  [[ $ids == "uid $(id -u "$helper_user") "* ]] || fail "$helper runs as ${ids%% gid*}, not $helper_user"
done

echo "== file types"
# By name, and by the header's first line alone.
cp "$work/sample_gated64.gsd" "$work/no-extension"
printf 'not a GSD file\n' >"$work/text.txt"
while read -r name expected; do
  type=$(xdg-mime query filetype "$work/$name")
  [ "$type" = "$expected" ] || fail "xdg-mime query filetype $name: $type, not $expected"
done <<EOF
sample_gated64.gsd application/x-gated-spect-data
no-extension application/x-gated-spect-data
sample/sample_gated64.dcm application/dicom
text.txt text/plain
EOF
grep -qx 'MimeType=application/dicom;' /usr/share/applications/dicom-converter.desktop ||
  fail "the desktop entry does not take DICOM files"

echo "== bash completion"
mkdir -p "$work/complete/sub"
touch "$work/complete/"{a.gsd,b.dcm,c.txt,p.png,-odd.dcm}
# Completes LINE (the cursor at its end) in the folder above, with the
# completion bash-completion loads for the command; prints the candidates.
complete_line() {
  bash --norc --noprofile -c '
    source /usr/share/bash-completion/bash_completion
    cd "$1"
    COMP_LINE=$2
    COMP_POINT=${#COMP_LINE}
    read -ra COMP_WORDS <<<"$COMP_LINE"
    [[ $COMP_LINE == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    __load_completion "${COMP_WORDS[0]}" || exit 3
    function=$(complete -p "${COMP_WORDS[0]}" | sed -n "s/.*-F \([^ ]*\) .*/\1/p")
    "$function" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}" 2>/dev/null
    printf "%s\n" "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd " "
  ' _ "$work/complete" "$1"
}
while IFS='|' read -r line expected; do
  got=$(complete_line "$line") || fail "no completion loaded for: $line"
  [ "$got" = "$expected" ] || fail "completing '$line': '$got', not '$expected'"
done <<'EOF'
dicom2gsd --s|--scan --sex
dicom2gsd --sex |F M
dicom2gsd --height |
dicom2gsd --acc|--accept-non-nm --accept-projections
dicom2gsd |-odd.dcm a.gsd b.dcm c.txt p.png sub
dicom2gsd b.dcm |a.gsd sub
dicom2gsd --height 170 --sex M b.dcm |a.gsd sub
dicom2gsd -- -|-odd.dcm
dicom2gsd b.dcm a.gsd |
gsdinfo |a.gsd sub
gsdinfo --|--help --png --version
gsdinfo a.gsd --png |p.png sub
gsdinfo a.gsd |
EOF

if [ -n "$node_user" ]; then
  echo "== node service"
  getent passwd "$node_user" >/dev/null || fail "no system user $node_user"
  [ "$(id -u "$node_user")" -lt 1000 ] || fail "$node_user is not a system user"
  spool=$(sed -n 's/^GSD_NODE_SPOOL=//p' /etc/dicom-data-converter/gsd-node.conf)
  [ "$(stat -c '%U %a' "$spool")" = "$node_user 700" ] || fail "$spool is not $node_user's, mode 700"
  getent group gsd-readers >/dev/null || fail "no group gsd-readers for the node's output"
  dpkg-query -W -f='${Conffiles}' "$package" | grep -q ' /etc/dicom-data-converter/gsd-node.conf ' ||
    fail "gsd-node.conf is not a conffile"
  if ls /etc/systemd/system/*/gsd-node.service >/dev/null 2>&1; then
    fail "the package enabled gsd-node.service"
  fi
fi

echo "== purge"
dpkg --purge "$package" >/dev/null
installed_here=""
left=""
while read -r path; do
  if [ -e "$path" ] || [ -L "$path" ]; then left+=" $path"; fi
done <<<"$own_files"
for path in /etc/dicom-data-converter ${spool:-}; do
  if [ -e "$path" ]; then left+=" $path"; fi
done
[ -z "$left" ] || fail "left after the purge:$left"
echo "package checked: $deb"
