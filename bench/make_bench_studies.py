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
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.sequence import Sequence
from pydicom.uid import ExplicitVRLittleEndian, ImplicitVRLittleEndian


def study(gates, frames, side, implicit):
    rng = np.random.default_rng(7)
    pixels = rng.integers(0, 300, size=(gates * frames, side, side), dtype=np.int16)
    ds = Dataset()
    ds.SOPClassUID = "1.2.840.10008.5.1.4.1.1.20"
    ds.SOPInstanceUID = "1.2.826.0.1.3680043.9.7133.5.%d.%d" % (side, implicit)
    ds.StudyDate = "20260115"
    ds.StudyTime = "093012"
    ds.Modality = "NM"
    ds.PatientName = "BENCH^MARK"
    ds.PatientID = "BENCH%d" % side
    ds.PatientSex = "M"
    ds.SliceThickness = "6.4"
    ds.HeartRate = "60"
    ds.SamplesPerPixel = 1
    ds.PhotometricInterpretation = "MONOCHROME2"
    ds.NumberOfFrames = str(gates * frames)
    ds.Rows = side
    ds.Columns = side
    ds.PixelSpacing = ["%.1f" % (6.4 * 64 / side)] * 2
    ds.BitsAllocated = 16
    ds.BitsStored = 16
    ds.HighBit = 15
    ds.PixelRepresentation = 1
    window = Dataset()
    window.EnergyWindowName = "TC99M"
    ds.EnergyWindowInformationSequence = Sequence([window])
    ds.NumberOfTimeSlots = gates
    ds.NumberOfSlices = frames
    ds.PixelData = pixels.astype("<i2").tobytes()
    ds["PixelData"].VR = "OW"
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = ds.SOPClassUID
    meta.MediaStorageSOPInstanceUID = ds.SOPInstanceUID
    meta.TransferSyntaxUID = ImplicitVRLittleEndian if implicit else ExplicitVRLittleEndian
    ds.file_meta = meta
    ds.is_little_endian = True
    ds.is_implicit_VR = implicit
    return ds


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, gates, frames, side in [("max128", 16, 64, 128), ("typical64", 8, 32, 64)]:
        for implicit in (False, True):
            path = os.path.join(out, name + ("_implicit" if implicit else "") + ".dcm")
            study(gates, frames, side, implicit).save_as(path, write_like_original=False)


if __name__ == "__main__":
    main()
