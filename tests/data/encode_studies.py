#!/usr/bin/python3
"""Re-encodes raw studies with DCMTK and GDCM, the way archives and PACS
deliver them.

    encode_studies.py DATADIR

For each study DATADIR/<name>.dcm listed below, writes
DATADIR/encoded/<name>.<encoding>.dcm and a list, DATADIR/encoded/cases.txt,
one "<name> <encoding> <lossy>" line per file written. A converter must write
every lossless copy to the same GSD file as the raw original.
"""
import os
import subprocess
import sys

DATA = sys.argv[1]
OUT = os.path.join(DATA, "encoded")

STUDIES = ["gated64", "gated128", "unsigned64", "unsigned128", "gated64_16x64",
           "heart_real", "reconstruction128", "nested_attributes", "bits12_high15"]

# encoding: (command line with IN and OUT, lossy)
ENCODINGS = {
    "bigendian": (["dcmconv", "+tb", "IN", "OUT"], False),
    "deflated": (["dcmconv", "+td", "IN", "OUT"], False),
    "implicit": (["dcmconv", "+ti", "IN", "OUT"], False),
    "implicit_undefined": (["dcmconv", "+ti", "-e", "IN", "OUT"], False),
    "nopreamble": (["dcmconv", "-F", "+te", "IN", "OUT"], False),
    "jpeglossless": (["dcmcjpeg", "IN", "OUT"], False),
    "jpegls": (["dcmcjpls", "IN", "OUT"], False),
    "rle": (["dcmcrle", "IN", "OUT"], False),
    "j2k": (["gdcmconv", "--j2k", "IN", "OUT"], False),
    # Frames of several fragments of at most 1 KiB: found through the Basic
    # Offset Table, and (JPEG-LS, the table left empty) by their start
    # markers.
    "jpeglossless_fragments": (["dcmcjpeg", "+fs", "1", "IN", "OUT"], False),
    "jpegls_fragments": (["dcmcjpls", "+fs", "1", "-ot", "IN", "OUT"], False),
    # Lossy: 12-bit JPEG Extended fits the real file's counts; JPEG 2000
    # irreversible marks its output with Lossy Image Compression "01".
    "jpegextended": (["dcmcjpeg", "+ee", "IN", "OUT"], True),
    "j2klossy": (["gdcmconv", "--j2k", "--lossy", "-q", "40", "IN", "OUT"], True),
}
LOSSY_STUDIES = {"jpegextended": ["heart_real"], "j2klossy": ["gated64"]}
# GDCM's JPEG 2000 encoder rewrites High Bit 15 as 11 and keeps the low 12
# bits: that copy is another study, not an encoding of this one.
SKIPPED = {("bits12_high15", "j2k")}


def main():
    os.makedirs(OUT, exist_ok=True)
    cases = []
    for study in STUDIES:
        source = os.path.join(DATA, study + ".dcm")
        for encoding, (command, lossy) in ENCODINGS.items():
            if (lossy and study not in LOSSY_STUDIES[encoding]) or (study, encoding) in SKIPPED:
                continue
            target = os.path.join(OUT, "%s.%s.dcm" % (study, encoding))
            argv = [source if a == "IN" else target if a == "OUT" else a for a in command]
            run = subprocess.run(argv, capture_output=True, text=True)
            if run.returncode != 0 or not os.path.exists(target):
                sys.exit("%s failed: %s" % (" ".join(argv), run.stderr))
            cases.append("%s %s %d" % (study, encoding, lossy))
    with open(os.path.join(OUT, "cases.txt"), "w") as f:
        f.write("\n".join(cases) + "\n")


if __name__ == "__main__":
    main()
