#!/usr/bin/python3
"""A CD-like tree of DICOM files for the folder scan's tests.

    make_tree.py OUT

OUT/DICOMDIR (DCMTK's dcmmkdir) lists DATA/: a gated NM study, a CT series
of two files and an MR image. Beside them, not listed: a gated 128 x 128
study without file meta information or extension, its JPEG-LS copy (GDCM),
a byte copy of the listed NM study (the same SOP Instance UID), a static NM
study (projections: declined), an NM study of 32 x 32 (refused), a text
file, an unreadable NM file (mode 000), a link loop and a FIFO.
"""
import os
import shutil
import subprocess
import sys

import numpy
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian, ImplicitVRLittleEndian

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import nm_study  # noqa: E402

CT_STORAGE = "1.2.840.10008.5.1.4.1.1.2"
MR_STORAGE = "1.2.840.10008.5.1.4.1.1.4"


def common(ds, patient, instance):
    ds.PatientName = "Test^" + patient
    ds.PatientID = patient
    ds.StudyDate = "20240315"
    ds.StudyTime = "101500"
    ds.StudyInstanceUID = "1.2.826.0.1.3680043.9.7133.1." + patient[1:]
    ds.SeriesInstanceUID = "1.2.826.0.1.3680043.9.7133.2." + instance
    ds.SeriesNumber = 1
    ds.InstanceNumber = 1
    ds.StudyID = "1"
    return ds


def gated(patient, instance, gates=8, frames=4, side=64, **attrs):
    ds = nm_study.gated_nm(gates, frames, side, instance, "Tc99m", "EM1", **attrs)
    common(ds, patient, instance)
    ds.ImageType = attrs.get("ImageType", ["ORIGINAL", "PRIMARY", "RECON GATED TOMO", "EMISSION"])
    count = max(gates, 1) * frames
    values = (numpy.arange(count * side * side) % 1000).astype("<i2")
    return ds, values.reshape(count, side, side)


def image(sop_class, modality, patient, instance):
    ds = Dataset()
    ds.SOPClassUID = sop_class
    ds.SOPInstanceUID = "1.2.826.0.1.3680043.9.7133.3." + instance
    ds.Modality = modality
    common(ds, patient, instance)
    ds.ImageType = ["ORIGINAL", "PRIMARY", "AXIAL"]
    ds.SamplesPerPixel = 1
    ds.PhotometricInterpretation = "MONOCHROME2"
    ds.Rows = ds.Columns = 16
    ds.BitsAllocated = ds.BitsStored = 16
    ds.HighBit = 15
    ds.PixelRepresentation = 0
    return ds, numpy.zeros((16, 16), "<u2")


def save(pair, path, implicit=False):
    ds, pixels = pair
    nm_study.save(ds, path, implicit, pixels)


def save_without_meta(pair, path):
    ds, pixels = pair
    ds.PixelData = pixels.astype("<i2").tobytes()
    ds["PixelData"].VR = "OW"
    ds.is_little_endian = True
    ds.is_implicit_VR = True
    ds.save_as(path, write_like_original=True)


def main():
    out = sys.argv[1]
    if os.path.exists(out):
        subprocess.run(["chmod", "-R", "u+rwx", out], check=True)
        shutil.rmtree(out)
    data = os.path.join(out, "DATA")
    extra = os.path.join(out, "export", "series 2")
    os.makedirs(data)
    os.makedirs(extra)
    save(gated("P1", "11"), os.path.join(data, "NM1"))
    save(image(CT_STORAGE, "CT", "P1", "21"), os.path.join(data, "CT1"))
    save(image(CT_STORAGE, "CT", "P1", "22"), os.path.join(data, "CT2"))
    save(image(MR_STORAGE, "MR", "P2", "31"), os.path.join(data, "MR1"))
    subprocess.run(["dcmmkdir", "--quiet", "--recurse", "--invent", "DATA"], cwd=out, check=True)

    save_without_meta(gated("P3", "41", gates=8, frames=4, side=128), os.path.join(extra, "gated128"))
    raw = os.path.join(out, "raw128.dcm")
    save(gated("P4", "42", gates=16, frames=8), raw)
    subprocess.run(["gdcmconv", "--jpegls", raw, os.path.join(extra, "gated_jpegls.dcm")], check=True)
    os.remove(raw)
    # Sorts before DATA/: the DICOMDIR's file, read first, is the one kept.
    shutil.copyfile(os.path.join(data, "NM1"), os.path.join(out, "0 copy of NM1"))
    static = gated("P5", "51", gates=0, frames=2, ImageType=["ORIGINAL", "PRIMARY", "STATIC"])
    save(static, os.path.join(extra, "static.dcm"))
    save(gated("P6", "61", gates=2, frames=4, side=32), os.path.join(extra, "small.dcm"))
    with open(os.path.join(out, "README.TXT"), "w") as text:
        text.write("Not a DICOM file.\n")
    locked = os.path.join(extra, "locked.dcm")
    save(gated("P7", "71"), locked)
    os.chmod(locked, 0)
    os.symlink("..", os.path.join(extra, "loop"))
    os.mkfifo(os.path.join(extra, "fifo"))


if __name__ == "__main__":
    main()
