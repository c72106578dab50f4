#!/usr/bin/python3
"""Re-encodes raw studies with DCMTK and GDCM, the way archives and PACS
deliver them.

    encode_studies.py DATADIR

For each study DATADIR/<name>.dcm listed below, writes
DATADIR/encoded/<name>.<encoding>.dcm and a list, DATADIR/encoded/cases.txt,
one "<name> <encoding> <lossy>" line per file written (lossy 2: a lossy
codestream under a lossless transfer syntax, without Lossy Image
Compression). A converter must write every lossless copy to the same GSD
file as the raw original.
"""
import os
import subprocess
import sys
import tempfile

import pydicom
from pydicom.encaps import encapsulate

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
    # GDCM's own encoders beside DCMTK's.
    "gdcm_jpeglossless": (["gdcmconv", "--jpeg", "IN", "OUT"], False),
    "gdcm_jpegls": (["gdcmconv", "--jpegls", "IN", "OUT"], False),
    # Lossy: 12-bit JPEG Extended fits the real file's counts; JPEG 2000
    # irreversible marks its output with Lossy Image Compression "01".
    "jpegextended": (["dcmcjpeg", "+ee", "IN", "OUT"], True),
    "j2klossy": (["gdcmconv", "--j2k", "--lossy", "-q", "40", "IN", "OUT"], True),
    # Lossy codestreams under a lossless syntax (RELABELLED below): only the
    # codestream tells. DCMTK labels its point transform lossless itself.
    "jpegls_near_as_lossless": (["dcmcjpls", "+en", "+md", "2", "IN", "OUT"], 2),
    "jpegextended_as_lossless": (["dcmcjpeg", "+ee", "IN", "OUT"], 2),
    "jpeglossless_point_transform": (["dcmcjpeg", "+el", "+pt", "2", "IN", "OUT"], 2),
    # OpenJPEG's irreversible 9/7 wavelet, each frame through opj_compress.
    "j2k_irreversible_as_lossless": ("opj_compress", 2),
}
LOSSY_STUDIES = {"jpegextended": ["heart_real"], "j2klossy": ["gated64"],
                 "jpegls_near_as_lossless": ["unsigned64"],
                 "jpegextended_as_lossless": ["heart_real"],
                 "jpeglossless_point_transform": ["unsigned64"],
                 "j2k_irreversible_as_lossless": ["unsigned64"]}
# The lossless syntax each such copy is labelled with, its Lossy Image
# Compression attributes taken out.
RELABELLED = {"jpegls_near_as_lossless": "1.2.840.10008.1.2.4.80",
              "jpegextended_as_lossless": "1.2.840.10008.1.2.4.70",
              "j2k_irreversible_as_lossless": "1.2.840.10008.1.2.4.90"}


def encode_with_opj_compress(source, target):
    """Each 16-bit unsigned frame as a PGM through opj_compress -I."""
    ds = pydicom.dcmread(source)
    rows, columns = int(ds.Rows), int(ds.Columns)
    size = rows * columns * 2
    frames = []
    with tempfile.TemporaryDirectory() as work:
        pgm, j2k = os.path.join(work, "f.pgm"), os.path.join(work, "f.j2k")
        for at in range(0, len(ds.PixelData), size):
            little = ds.PixelData[at:at + size]
            big = bytes(b for i in range(0, size, 2) for b in (little[i + 1], little[i]))
            with open(pgm, "wb") as f:
                f.write(b"P5\n%d %d\n65535\n" % (columns, rows) + big)
            run = subprocess.run(["opj_compress", "-I", "-i", pgm, "-o", j2k],
                                 capture_output=True, text=True)
            if run.returncode != 0:
                sys.exit("opj_compress failed: " + run.stderr)
            with open(j2k, "rb") as f:
                frames.append(f.read())
    ds.PixelData = encapsulate(frames)
    ds["PixelData"].is_undefined_length = True
    ds["PixelData"].VR = "OB"
    ds.save_as(target)


def relabel(path, syntax):
    ds = pydicom.dcmread(path)
    ds.file_meta.TransferSyntaxUID = syntax
    for tag in (0x00282110, 0x00282112, 0x00282114):
        if tag in ds:
            del ds[tag]
    ds.save_as(path)
# GDCM's encoders rewrite High Bit 15 as 11 and keep the low 12 bits: those
# copies are another study, not an encoding of this one.
SKIPPED = {("bits12_high15", "j2k"), ("bits12_high15", "gdcm_jpeglossless"),
           ("bits12_high15", "gdcm_jpegls")}


def main():
    os.makedirs(OUT, exist_ok=True)
    cases = []
    for study in STUDIES:
        source = os.path.join(DATA, study + ".dcm")
        for encoding, (command, lossy) in ENCODINGS.items():
            if (lossy and study not in LOSSY_STUDIES[encoding]) or (study, encoding) in SKIPPED:
                continue
            target = os.path.join(OUT, "%s.%s.dcm" % (study, encoding))
            if command == "opj_compress":
                encode_with_opj_compress(source, target)
            else:
                argv = [source if a == "IN" else target if a == "OUT" else a for a in command]
                run = subprocess.run(argv, capture_output=True, text=True)
                if run.returncode != 0 or not os.path.exists(target):
                    sys.exit("%s failed: %s" % (" ".join(argv), run.stderr))
            if encoding in RELABELLED:
                relabel(target, RELABELLED[encoding])
            cases.append("%s %s %d" % (study, encoding, lossy))
    with open(os.path.join(OUT, "cases.txt"), "w") as f:
        f.write("\n".join(cases) + "\n")


if __name__ == "__main__":
    main()
