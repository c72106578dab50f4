#!/usr/bin/python3
"""Seed corpora for the fuzz targets, from the test generators' output.

    make_seeds.py TESTDATA DICOM_SEEDS GSD_SEEDS DICOM2GSD

Every test input, valid and malformed, cut to at most 40,000 bytes (its
header and the first frames), and the GSD files dicom2gsd makes of the small
studies.
"""
import os
import subprocess
import sys

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


if __name__ == "__main__":
    main()
