#!/usr/bin/python3
"""Seed corpora for the fuzz targets, from the test generators' output.

    make_seeds.py TESTDATA DICOM_SEEDS GSD_SEEDS DICOM2GSD [CODEC_SEEDS [FRAME_SEEDS]]

Every test input, valid and malformed, cut to at most 40,000 bytes (its
header and the first frames), and the GSD files dicom2gsd makes of the small
studies; with CODEC_SEEDS, the first frames of a few studies as DCMTK's
dcmcjpeg (lossless) and dcmcjpls encode them, one codestream a file; with
FRAME_SEEDS, small studies as DCMTK's dcmcrle encodes them, cut like the rest.
"""
import os
import subprocess
import sys
import tempfile

import pydicom
from pydicom.encaps import generate_pixel_data_frame

LIMIT = 40000


def main():
    data, dicom_out, gsd_out, converter = sys.argv[1:5]
    os.makedirs(dicom_out, exist_ok=True)
    os.makedirs(gsd_out, exist_ok=True)
    for name in sorted(os.listdir(data)):
        if not name.endswith(".dcm"):
            continue
        with open(os.path.join(data, name), "rb") as f:
            head = f.read(LIMIT)
        with open(os.path.join(dicom_out, name), "wb") as f:
            f.write(head)
        if os.path.getsize(os.path.join(data, name)) <= LIMIT:
            target = os.path.join(gsd_out, name[:-4] + ".gsd")
            subprocess.run([converter, "--accept-non-nm", os.path.join(data, name), target],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if len(sys.argv) > 5:
        codec_seeds(data, sys.argv[5])
    if len(sys.argv) > 6:
        frame_seeds(data, sys.argv[6])


def codec_seeds(data, out):
    os.makedirs(out, exist_ok=True)
    with tempfile.TemporaryDirectory() as work:
        for tool, suffix in (("dcmcjpeg", "jpg"), ("dcmcjpls", "jls")):
            for study in ("gated64", "bits12_unsigned", "bin_blocks"):
                encoded = os.path.join(work, study + ".dcm")
                subprocess.run([tool, os.path.join(data, study + ".dcm"), encoded], check=True)
                ds = pydicom.dcmread(encoded)
                frames = generate_pixel_data_frame(ds.PixelData, int(ds.get("NumberOfFrames", 1)))
                for i, frame in zip(range(3), frames):
                    with open(os.path.join(out, "%s_%d.%s" % (study, i, suffix)), "wb") as f:
                        f.write(frame)


def frame_seeds(data, out):
    os.makedirs(out, exist_ok=True)
    for study in ("band_row5", "bin_blocks", "icon64_16bit", "walk_explicit_undefined",
                  "walk_implicit_defined", "nf5_ns4", "rows128_cols64"):
        target = os.path.join(out, study + ".rle.dcm")
        subprocess.run(["dcmcrle", os.path.join(data, study + ".dcm"), target], check=True)
        with open(target, "rb") as f:
            head = f.read(LIMIT)
        with open(target, "wb") as f:
            f.write(head)


if __name__ == "__main__":
    main()
