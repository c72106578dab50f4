#!/usr/bin/python3
"""Writes a synthetic ECG-gated SPECT study (modality NM) with pydicom.

    make_sample_study.py OUTDIR

Writes OUTDIR/sample_gated64.dcm (64 x 64) and OUTDIR/sample_gated128.dcm
(128 x 128): 8 gates of 32 slices each, a left-ventricle phantom whose
myocardial wall contracts and thickens from end-diastole to end-systole and
relaxes again, with the beats the camera kept (92 % in a 750-1,000 ms R-R
window). OUTDIR/sample_irregular64.dcm is the same heart with an irregular
rhythm: the last three gates collect 75 % of the counts (the longer beats
that would fill them were rejected) and 30 % of the beats were rejected.
The output is the same on every run (fixed noise seed).
"""
import math
import os
import sys

import numpy as np

from nm_study import gated_information, gated_nm, save

GATES = 8
SLICES = 32


def left_ventricle(side, gate):
    """One gate: SLICES short-axis slices of a thick-walled half ellipsoid."""
    pixel_mm = 6.4 * 64 / side
    phase = math.sin(math.pi * gate / GATES)  # 0 at end-diastole, 1 at end-systole
    cavity = 30.0 * (1.0 - 0.30 * phase)  # mm, endocardial radius at the base
    wall = 11.0 * (1.0 + 0.45 * phase)  # mm, myocardial thickness
    length = 110.0 * (1.0 - 0.10 * phase)  # mm, base to apex
    z = (np.arange(SLICES) - SLICES / 2 + 0.5) * 6.4
    y, x = np.mgrid[0:side, 0:side]
    x = (x - side / 2 + 0.5) * pixel_mm
    y = (y - side / 2 + 0.5) * pixel_mm
    volume = np.zeros((SLICES, side, side))
    for s, zs in enumerate(z):
        depth = (zs + length / 2) / length  # 0 at the base, 1 at the apex
        if depth < 0 or depth > 1.15:
            continue
        scale = math.sqrt(max(0.0, 1 - min(depth, 1.0) ** 2))
        inner = cavity * scale
        outer = (cavity + wall) * math.sqrt(max(0.0, 1 - (depth / 1.15) ** 2))
        r = np.hypot(x, y)
        ring = (r >= inner) & (r <= outer)
        volume[s][ring] = 400.0 * (1.0 + 0.35 * phase)  # thickening raises counts
    return volume


def blur(volume):
    kernel = np.array([0.25, 0.5, 0.25])
    for axis in (1, 2):
        volume = (np.roll(volume, 1, axis) * kernel[0] + volume * kernel[1] +
                  np.roll(volume, -1, axis) * kernel[2])
    return volume


def study(side, levels=(1.0,) * GATES, acquired=1412, rejected=118):
    rng = np.random.default_rng(20260115 + side)
    frames = []
    for gate in range(GATES):
        expected = blur(left_ventricle(side, gate)) + 15.0  # background
        expected *= (64 / side) ** 2  # the same counts spread over more pixels
        frames.append(rng.poisson(expected * levels[gate]))
    pixels = np.concatenate(frames).astype(np.int16)

    ds = gated_nm(GATES, SLICES, side, "2.%d" % side, "Tc-99m tetrofosmin", "TC99M",
                  StudyInstanceUID="1.2.826.0.1.3680043.9.7133.3",
                  SeriesInstanceUID="1.2.826.0.1.3680043.9.7133.4.%d" % side,
                  StudyDate="20260115", StudyTime="093012.000000", Manufacturer="Synthetic phantom",
                  PatientName="SAMPLE^GATED", PatientID="GSPECT001", PatientSex="F",
                  SliceThickness="6.4", SpacingBetweenSlices="6.4", HeartRate="62",
                  GatedInformationSequence=gated_information(acquired, rejected,
                                                             frame_time="120", nominal="968"))
    return ds, pixels


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "."
    os.makedirs(out, exist_ok=True)
    for side in (64, 128):
        path = os.path.join(out, "sample_gated%d.dcm" % side)
        ds, pixels = study(side)
        save(ds, path, pixels=pixels)
        print(path)
    path = os.path.join(out, "sample_irregular64.dcm")
    ds, pixels = study(64, (1.0,) * (GATES - 3) + (0.75,) * 3, acquired=1071, rejected=459)
    ds.SOPInstanceUID += ".1"
    ds.SeriesInstanceUID += ".1"
    ds.PatientName = "SAMPLE^IRREGULAR"
    save(ds, path, pixels=pixels)
    print(path)


if __name__ == "__main__":
    main()
