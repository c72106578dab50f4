#!/usr/bin/python3
"""A folder of 2,000 DICOM files as an exported archive holds them, for the
folder-scan benchmark.

    make_folder_tree.py OUT [FILES]

FILES (default 2000) files in 40 series folders: CT slices of 256 x 256
(128 KiB each, half of them without an extension) and, one per 100 files, a
gated NM study of 8 gates x 16 frames of 64 x 64 (1 MiB).
"""
import os
import sys

import numpy
from pydicom.dataset import Dataset

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import nm_study  # noqa: E402

CT_STORAGE = "1.2.840.10008.5.1.4.1.1.2"


def ct_slice(index):
    ds = Dataset()
    ds.SOPClassUID = CT_STORAGE
    ds.SOPInstanceUID = "1.2.826.0.1.3680043.9.7133.5.%d" % index
    ds.Modality = "CT"
    ds.PatientID = "B%d" % (index // 500)
    ds.PatientName = "Bench^Patient"
    ds.StudyDate = "20240101"
    ds.ImageType = ["ORIGINAL", "PRIMARY", "AXIAL"]
    ds.SamplesPerPixel = 1
    ds.PhotometricInterpretation = "MONOCHROME2"
    ds.Rows = ds.Columns = 256
    ds.BitsAllocated = ds.BitsStored = 16
    ds.HighBit = 15
    ds.PixelRepresentation = 1
    return ds


def main():
    out = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    ct_pixels = numpy.zeros((256, 256), "<i2")
    gates, frames = 8, 16
    nm_pixels = (numpy.arange(gates * frames * 64 * 64) % 500).astype("<i2")
    nm_pixels = nm_pixels.reshape(gates * frames, 64, 64)
    for i in range(count):
        folder = os.path.join(out, "series%02d" % (i % 40))
        os.makedirs(folder, exist_ok=True)
        name = os.path.join(folder, "IM%05d" % i + (".dcm" if i % 2 else ""))
        if i % 100 == 50:
            ds = nm_study.gated_nm(gates, frames, 64, "9.%d" % i, "Tc99m", "EM1")
            ds.PatientID = "N%d" % i
            ds.StudyDate = "20240101"
            nm_study.save(ds, name, pixels=nm_pixels)
        else:
            nm_study.save(ct_slice(i), name, pixels=ct_pixels)


if __name__ == "__main__":
    main()
