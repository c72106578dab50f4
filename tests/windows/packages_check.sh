#!/usr/bin/env bash
# The Windows packages: the MSI's contents as msiinfo lists them (files, shortcuts, the .gsd file
# type, "Open with" for DICOM files), the MSI installed per machine under wine, its programs run
# from Program Files, and uninstalled without a trace; the zip holds the same folder.
#   packages_check.sh MSI ZIP STAGE
# STAGE is the folder `cmake --install` filled, which both were made from.
set -euo pipefail

msi=$1 zip=$2 stage=$3
export WINE=${WINE:-wine}
failed=0
fail() {
  echo "FAILED: $*"
  failed=1
}

echo "== $(basename "$msi"): $(stat -c %s "$msi") bytes"
files=$(msiinfo export "$msi" File)
echo "$files" | awk -F'\t' 'NR > 3 { printf "  %-22s %10s bytes\n", $3, $4 }'
for name in dicom-converter.exe dicom2gsd.exe gsdinfo.exe dicom-decode.exe dicom.chm README.md \
  copyright dicom.html; do
  echo "$files" | cut -f3 | grep -qx "$name" || fail "the MSI has no $name"
done
echo "$files" | cut -f3 | grep -q gsd-node && fail "the MSI has the node"
# Programs and Features' icon is the .ico: an .exe in the Icon table is stored whole, a second
# copy of the window in the MSI.
msiinfo streams "$msi" | grep -x 'Icon\.converter\.ico' >/dev/null || fail "the MSI's icon is not the .ico"
shortcuts=$(msiinfo export "$msi" Shortcut)
echo "$shortcuts" | awk -F'\t' 'NR > 3 { print "  shortcut: " $3 }'
echo "$shortcuts" | grep -q "DICOM Data Converter" || fail "no Start-menu shortcut"
# wixl writes the file type (ProgId, Extension) as registry rows.
registry=$(msiinfo export "$msi" Registry)
echo "$registry" | awk -F'\t' 'NR > 3 { print "  registry: " $3 (length($4) ? " [" $4 "]" : "") " = " $5 }'
echo "$registry" | grep -qP '\t\.gsd\t\tDicomDataConverter\.GatedSpectData\t' ||
  fail "no .gsd file type"
echo "$registry" | grep -q 'OpenWithProgids' || fail "no Open with for DICOM files"

# Installed per machine, run from where it went, removed.
prefix=${WINEPREFIX:-$HOME/.wine}
folder="$prefix/drive_c/Program Files/DICOM Data Converter"
msi_path="Z:$(realpath "$msi" | tr / '\\')"
"$WINE" msiexec /i "$msi_path" /qn </dev/null >/dev/null 2>&1 || fail "msiexec /i failed"
[ -f "$folder/dicom-converter.exe" ] || fail "nothing under Program Files"
version=$("$WINE" "$folder/dicom2gsd.exe" --version </dev/null 2>&1 | tr -d '\r')
[[ "$version" == "dicom2gsd "* ]] || fail "the installed dicom2gsd.exe said: $version"
"$WINE" reg query 'HKLM\Software\Classes\.gsd' </dev/null >/dev/null 2>&1 || fail "no .gsd key"
# The Start menu's folder (wine keeps the common one under the user's profile).
shortcut=$(find "$prefix/drive_c" -name 'DICOM Data Converter.lnk' -path '*Start Menu*' | head -n 1)
[ -n "$shortcut" ] || fail "no Start-menu shortcut installed"
"$WINE" msiexec /x "$msi_path" /qn </dev/null >/dev/null 2>&1 || fail "msiexec /x failed"
[ ! -e "$folder" ] || fail "the uninstall left $(find "$folder" | head -n 5)"
[ -z "$shortcut" ] || [ ! -e "$(dirname "$shortcut")" ] || fail "the uninstall left the Start menu's folder"
for key in '.gsd' 'DicomDataConverter.Dicom' 'DicomDataConverter.GatedSpectData'; do
  if "$WINE" reg query "HKLM\\Software\\Classes\\$key" </dev/null >/dev/null 2>&1; then
    fail "the uninstall left the key $key"
  fi
done

# The zip: the staged folder, file for file.
listed=$(/usr/bin/python3 -c 'import sys, zipfile
print("\n".join(sorted(n.split("/", 1)[1] for n in zipfile.ZipFile(sys.argv[1]).namelist()
                       if not n.endswith("/"))))' "$zip")
staged=$(cd "$stage" && find . -type f | sed 's|^\./||' | sort)
[ "$listed" = "$staged" ] || fail "the zip differs from the installed folder"
echo "== $(basename "$zip"): $(stat -c %s "$zip") bytes, $(echo "$listed" | wc -l) files"
exit $failed
