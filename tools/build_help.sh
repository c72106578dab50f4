#!/usr/bin/env bash
# Compiles the operator's guide (app/help/src) into app/help/dicom.chm with
# chmcmd from Debian's fp-utils. Run after editing the guide; the compiled
# file is committed so that builds need no Pascal tools.
set -euo pipefail
cd "$(dirname "$0")/../app/help/src"
chmcmd dicom.hhp
mv dicom.chm ../dicom.chm
