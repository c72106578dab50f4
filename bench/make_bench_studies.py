#!/usr/bin/python3
"""Studies for the benchmark, written with pydicom outside any timing.

    make_bench_studies.py OUTDIR

max128.dcm: 16 gates x 64 frames of 128 x 128 (32 MiB of pixel data), the
largest study the converter takes; typical64.dcm: 8 gates x 32 frames of
64 x 64. Each also as an implicit-VR file (*_implicit.dcm).
"""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from nm_study import gated_nm, save  # noqa: E402


def study(gates, frames, side, implicit):
    rng = np.random.default_rng(7)
    pixels = rng.integers(0, 300, size=(gates * frames, side, side), dtype=np.int16)
    ds = gated_nm(gates, frames, side, "5.%d.%d" % (side, implicit), "Tc-99m", "TC99M",
                  StudyDate="20260115", StudyTime="093012", PatientName="BENCH^MARK",
                  PatientID="BENCH%d" % side, PatientSex="M", SliceThickness="6.4", HeartRate="60")
    return ds, pixels


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, gates, frames, side in [("max128", 16, 64, 128), ("typical64", 8, 32, 64)]:
        for implicit in (False, True):
            path = os.path.join(out, name + ("_implicit" if implicit else "") + ".dcm")
            ds, pixels = study(gates, frames, side, implicit)
            save(ds, path, implicit, pixels)


if __name__ == "__main__":
    main()
