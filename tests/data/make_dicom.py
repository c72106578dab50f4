#!/usr/bin/python3
"""Writes the DICOM test inputs with pydicom, an independent producer.

    make_dicom.py OUTDIR

Every study is an NM gated SPECT acquisition built by `study()`; each case
changes a few attributes. Pixel values follow `pixel_value()` so that a test
can recompute them, and for each case OUTDIR/<name>.expected.raw holds the
64 x 64 int16 frames a correct load leaves in the store, computed here with
numpy from what pydicom reads back (binned 2 x 2 and scaled by ten, clamped to
int16, for 128 x 128 studies).
"""
import os
import shutil
import struct
import subprocess
import sys
import warnings

import numpy as np
import pydicom
from pydicom.dataset import Dataset
from pydicom.encaps import encapsulate
from pydicom.sequence import Sequence

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from nm_study import NM_STORAGE, gated_information, gated_nm, save as save_study  # noqa: E402
OUT = sys.argv[1] if len(sys.argv) > 1 else "."


def pixel_value(gate, frame, row, col, side=64):
    """Deterministic counts, positive, distinct per gate and frame. A gate
    holds the first gate's frames with the rows rolled down by 6 per gate (an
    even roll keeps the 2 x 2 blocks of a binned frame whole), so that every
    gate has the same total counts: a regular heartbeat."""
    return (frame * 31 + ((row + 6 * gate) % side) * 5 + col * 3) % 2000


def pixels(gates, frames, side):
    g, f, r, c = np.meshgrid(np.arange(max(gates, 1)), np.arange(frames),
                             np.arange(side), np.arange(side), indexing="ij")
    values = (f * 31 + ((r + 6 * g) % max(side, 1)) * 5 + c * 3) % 2000
    return values.reshape(max(gates, 1) * frames, side, side).astype(np.int16)


def study(gates=8, frames=4, side=64, instance="1.1", **attrs):
    defaults = dict(StudyDate="20010315", StudyTime="143005.000000", PatientName="ANON^A",
                    PatientID="A 12", PatientSex="M", SliceThickness="6.4", HeartRate="60")
    defaults.update(attrs)
    return gated_nm(gates, frames, side, instance, "Tl-201", "TL201", **defaults)


def save(name, ds, implicit=False, pixel_array=None, expected=None, syntax=None):
    """Writes name.dcm, and name.expected.raw when expected is given."""
    path = save_study(ds, os.path.join(OUT, name + ".dcm"), implicit, pixel_array, syntax)
    if expected is not None:
        expected.astype("<i2").tofile(os.path.join(OUT, name + ".expected.raw"))
    return path


def binned(frames128):
    """2 x 2 sums scaled by ten, clamped to int16."""
    f = frames128.astype(np.int64)
    s = f[:, 0::2, 0::2] + f[:, 0::2, 1::2] + f[:, 1::2, 0::2] + f[:, 1::2, 1::2]
    return np.clip(10 * s, -32768, 32767).astype(np.int16)


def loaded_frames(path):
    """What pydicom reads back from the written file, in store order: signed
    or unsigned values, binned at 128, saturated to int16."""
    ds = pydicom.dcmread(path)
    arr = ds.pixel_array.astype(np.int64)
    if arr.ndim == 2:
        arr = arr[np.newaxis]
    return binned(arr) if arr.shape[-1] == 128 else np.clip(arr, -32768, 32767).astype(np.int16)


def standard(name, gates=8, frames=4, side=64, implicit=False, **attrs):
    ds = study(gates, frames, side, **attrs)
    array = pixels(gates, frames, side)
    path = save(name, ds, implicit, array)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            expected = loaded_frames(path) if array.size else array
    except Exception:  # deliberately odd headers pydicom cannot decode
        expected = binned(array) if side == 128 else array
    expected.astype("<i2").tofile(os.path.join(OUT, name + ".expected.raw"))
    return path


def beats(acquired=1412, rejected=118):
    """The beats the camera kept, in a Gated Information Sequence."""
    return gated_information(acquired, rejected)


GATING_STUDIES = []


def gating(name, levels, side=64, frames=4, **attrs):
    """A study whose gate g holds levels[g] times the counts of a regular
    one; counts kept low enough that 128 x 128 binning clamps nothing. Each
    has a SOP Instance UID of its own, so that a folder scan lists them all."""
    gates = len(levels)
    array = pixels(gates, frames, side) // (8 if side == 128 else 1)
    array = (array.reshape(gates, frames, side, side) *
             np.array(levels)[:, None, None, None]).astype(np.int16).reshape(-1, side, side)
    GATING_STUDIES.append(name)
    ds = study(gates if gates > 1 else 0, frames, side, instance="4.%d" % len(GATING_STUDIES),
               **attrs)
    save(name, ds, pixel_array=array,
         expected=binned(array) if side == 128 else array)


def truncate(path, new_path, keep):
    data = open(path, "rb").read()
    open(new_path, "wb").write(data[:keep] if keep >= 0 else data[:len(data) + keep])


def walk_study(undefined, private_sequence=True):
    """Nested sequences (undefined or defined lengths) and private tags."""
    ds = study(gates=1, frames=1)
    inner = Dataset()
    inner.CodeValue = "F-61D82"
    inner.CodingSchemeDesignator = "SRT"
    outer = Dataset()
    outer.ReferencedSOPClassUID = NM_STORAGE
    outer.ReferencedSOPInstanceUID = "1.2.3.4"
    outer.AnatomicRegionSequence = Sequence([inner])
    ds.ReferencedImageSequence = Sequence([outer, Dataset()])
    ds.private_block(0x0009, "DGC TEST", create=True).add_new(0x10, "LO", "private value")
    if private_sequence:
        # An implicit reader cannot know a private sequence: only one of
        # undefined length is entered.
        ds.private_block(0x0011, "DGC TEST", create=True).add_new(0x01, "SQ", Sequence([Dataset()]))
    for elem in ds.iterall():
        if elem.VR == "SQ":
            elem.is_undefined_length = undefined
            for item in elem.value:
                item.is_undefined_length_sequence_item = undefined
    return ds


def icon_study(side=4, bits=16):
    """An Icon Image Sequence (0088,0200) holding an image of its own, before
    the study's Rows in file order."""
    ds = study(gates=1, frames=1)
    icon = Dataset()
    icon.Rows = side
    icon.Columns = side
    icon.BitsAllocated = bits
    icon.BitsStored = bits
    icon.HighBit = bits - 1
    icon.PixelRepresentation = 0
    icon.PixelData = bytes(side * side * bits // 8)
    icon["PixelData"].VR = "OW" if bits == 16 else "OB"
    ds.IconImageSequence = Sequence([icon])
    return ds


def nested_study():
    """A study a PACS reconciled: the old patient, modality, sizes and heart
    rate kept in Original Attributes Sequence, another ID in Other Patient
    IDs Sequence, a Pixel Spacing of a functional group, and the heart rate
    in the Gated Information item, where gated NM files may keep it."""
    ds = study(gates=2, frames=4, HeartRate=None)
    old = Dataset()
    old.PatientID = "WRONG-ID-1"
    old.PatientName = "WRONG^NAME"
    old.PatientSex = "F"
    old.StudyDate = "19990101"
    old.Modality = "CT"
    old.HeartRate = "99"
    old.PixelSpacing = ["6.8", "6.8"]
    old.SliceThickness = "9.9"
    old.NumberOfFrames = "64"
    old.Rows = 128
    modified = Dataset()
    modified.ModifiedAttributesSequence = Sequence([old])
    modified.ModifyingSystem = "PACS"
    modified.ReasonForTheAttributeModification = "COERCE"
    ds.OriginalAttributesSequence = Sequence([modified])
    other = Dataset()
    other.PatientID = "OTHER-ID"
    other.TypeOfPatientID = "TEXT"
    ds.OtherPatientIDsSequence = Sequence([other])
    measures = Dataset()
    measures.PixelSpacing = ["6.8", "6.8"]
    measures.SliceThickness = "9.9"
    group = Dataset()
    group.PixelMeasuresSequence = Sequence([measures])
    ds.SharedFunctionalGroupsSequence = Sequence([group])
    gated = Dataset()
    gated.HeartRate = "72"
    ds.GatedInformationSequence = Sequence([gated])
    return ds


def implicit_item(*elements):
    """One undefined-length item in implicit VR: (tag, bytes) pairs."""
    body = b"".join(struct.pack("<HHI", t >> 16, t & 0xFFFF, len(v)) + v for t, v in elements)
    return (struct.pack("<HHI", 0xFFFE, 0xE000, 0xFFFFFFFF) + body +
            struct.pack("<HHI", 0xFFFE, 0xE00D, 0))


def un_study():
    """Elements forwarded by a PACS that did not know them: private values as
    UN with a 32-bit length, a UT and an OF, and a private sequence as UN of
    undefined length, whose contents are implicit VR."""
    ds = study(gates=2, frames=4)
    ds.add_new(0x00091010, "UN", b"forwarded private value " * 3)
    ds.add_new(0x00091011, "UN", bytes(70000))
    ds.add_new(0x00204000, "UT", "long comment " * 6000)
    ds.add_new(0x00191012, "OF", bytes(16))
    ds.add_new(0x00291010, "UN", implicit_item((0x00280010, struct.pack("<H", 4)),
                                               (0x00291001, b"INNER VALUE ")))
    ds[0x00291010].is_undefined_length = True
    return ds


def un_sequence_study():
    """Gated Information Sequence (0054,0062) forwarded as UN of defined
    length by a PACS that did not know it: its one item, implicit VR, holds
    the heart rate and a Rows that is not the study's."""
    ds = study(gates=2, frames=4, HeartRate=None)
    body = b"".join(struct.pack("<HHI", t >> 16, t & 0xFFFF, len(v)) + v
                    for t, v in [(0x00181088, b"72"), (0x00280010, struct.pack("<H", 128))])
    ds.add_new(0x00540062, "OB", struct.pack("<HHI", 0xFFFE, 0xE000, len(body)) + body)
    ds[0x00540062].VR = "UN"  # given as UN, pydicom would make it the sequence it knows
    return ds


def frame_vectors(gates, frames, slice_major):
    """Time Slot and Slice Vector entries, frame by frame as stored."""
    if slice_major:
        return ([g + 1 for s in range(frames) for g in range(gates)],
                [s + 1 for s in range(frames) for g in range(gates)])
    return ([g + 1 for g in range(gates) for s in range(frames)],
            [s + 1 for g in range(gates) for s in range(frames)])


DUMP = """
(0002,0001) OB 00\\01
(0002,0002) UI =NuclearMedicineImageStorage
(0002,0003) UI [1.2.826.0.1.3680043.9.7133.1.2]
(0002,0010) UI =LittleEndianExplicit
(0008,0016) UI =NuclearMedicineImageStorage
(0008,0020) DA [20020102]
(0008,0060) CS [NM]
(0010,0010) PN [DCMTK^TEST]
(0054,0012) SQ (Sequence with undefined length)
  (fffe,e000) na (Item with undefined length)
    (0054,0013) SQ (Sequence with undefined length)
      (fffe,e000) na (Item with undefined length)
        (0054,0014) DS [126]
        (0054,0015) DS [154]
      (fffe,e00d) na (ItemDelimitationItem)
    (fffe,e0dd) na (SequenceDelimitationItem)
    (0054,0018) SH [EM1]
  (fffe,e00d) na (ItemDelimitationItem)
(fffe,e0dd) na (SequenceDelimitationItem)
(0028,0010) US 64
(0028,0011) US 64
(0028,0100) US 16
(0054,0071) US 1
(0054,0081) US 1
(7fe0,0010) OW {pixels}
"""


def dcmtk_study(path):
    """The same kind of study written by DCMTK's dump2dcm."""
    values = "\\".join("%04x" % (i % 1000) for i in range(4096))
    dump = path + ".dump"
    with open(dump, "w") as f:
        f.write(DUMP.replace("{pixels}", values))
    subprocess.run(["dump2dcm", "--line", "100000", "--write-xfer-little", "--length-undefined", dump, path], check=True)
    os.remove(dump)


REAL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "real")


def add_real_files():
    """Public files from other producers, and the heart file with one UN
    element added, as a PACS forwards unknown private elements."""
    shutil.copyfile(os.path.join(REAL, "NM-MONO2-16-13x-heart.dcm"), os.path.join(OUT, "heart_real.dcm"))
    ds = pydicom.dcmread(os.path.join(REAL, "NM-MONO2-16-13x-heart.dcm"))
    ds.add_new(0x00091010, "UN", b"private value forwarded as UN")
    ds.save_as(os.path.join(OUT, "heart_with_un.dcm"))
    recon = os.path.join(REAL, "reconstruction-128x128x45.dcm")
    shutil.copyfile(recon, os.path.join(OUT, "reconstruction128.dcm"))
    loaded_frames(recon).astype("<i2").tofile(os.path.join(OUT, "reconstruction128.expected.raw"))


def main():
    os.makedirs(OUT, exist_ok=True)
    # Several cases hold deliberately unusual values.
    warnings.filterwarnings("ignore", module="pydicom.valuerep")

    # Encodings and matrix sizes.
    standard("gated64")
    standard("gated64_implicit", implicit=True)
    standard("gated128", side=128)
    standard("gated128_implicit", side=128, implicit=True)
    standard("gated64_8x32", frames=32)
    standard("gated64_16x64", gates=16, frames=64)
    standard("gated64_8x8", frames=8)
    standard("gated64_8x16", frames=16)
    standard("gated128_16x64", gates=16, frames=64, side=128)
    standard("gates0", gates=0, frames=6)
    standard("frames0", frames=0, NumberOfFrames="0", NumberOfSlices=0)

    # Header rules.
    standard("thick1_nospacing_px64", SliceThickness="1", PixelSpacing=["6.4", "6.4"])
    standard("spacing1_nothick_px64", SliceThickness=None, SpacingBetweenSlices="1")
    standard("thick1_spacing64", SliceThickness="1", SpacingBetweenSlices="6.4")
    standard("thick1_nopixel", SliceThickness="1", PixelSpacing=None)
    standard("thick32_spacing0", SliceThickness="3.2", SpacingBetweenSlices="0")
    standard("no_sizes", SliceThickness=None, PixelSpacing=None)
    standard("zero_pixel", PixelSpacing=["0", "0"])
    standard("name60", PatientName="N" * 30 + "^" + "M" * 29)
    # A Japanese name as ISO 2022 IR 87 writes it: escape sequences switch to
    # JIS X 0208 for the ideographic and back to ASCII.
    standard("name_jis", SpecificCharacterSet=["", "ISO 2022 IR 87"],
             PatientName="Yamada^Tarou=\u5c71\u7530^\u592a\u90ce")
    standard("name_empty", PatientName="", PatientID="")
    standard("name_missing", PatientName=None, PatientID=None)
    standard("name_latin1", SpecificCharacterSet="ISO_IR 100", PatientName="M\u00fcller^J\u00f6rg")
    # Identities the GSD header holds otherwise: bytes beyond ASCII, an ID
    # past its 39 bytes, names past 49 that end inside a character.
    standard("id_latin1", SpecificCharacterSet="ISO_IR 100", PatientID="DE-\u00c4\u00d6\u00dc-1")
    standard("id60", PatientID="ID-" + "0123456789" * 5 + "ABCDEFG")
    standard("name_utf8_cut", SpecificCharacterSet="ISO_IR 192",
             PatientName="Wang^XiaoDong=" + "\u738b\u5c0f\u6771\u660e" * 4)
    standard("name_jis_cut", SpecificCharacterSet=["", "ISO 2022 IR 87"],
             PatientName="Yamada^Tarou=" + "\u5c71\u7530\u592a\u90ce" * 5)
    for sex in ["F", "M", "m", "O"]:
        standard("sex_" + (sex if sex != "m" else "lower_m"), PatientSex=sex)
    standard("sex_empty", PatientSex="")
    standard("sex_missing", PatientSex=None)
    standard("date_empty", StudyDate="", StudyTime="")
    standard("date_short", StudyDate="2001", StudyTime="14")
    standard("hr_empty", HeartRate="")
    standard("hr_missing", HeartRate=None)
    standard("nf256_ns32", gates=8, frames=32, NumberOfSlices=32)
    standard("nf_missing_ns32", gates=0, frames=32, NumberOfFrames=None, NumberOfSlices=32)
    standard("nf4_ns32", gates=0, frames=32, NumberOfFrames="4", NumberOfSlices=32)
    # Number of Slices 6 stands in for Number of Frames 4, and 2 gates of 6
    # slices need more frames than that.
    standard("nf4_ns6", gates=2, frames=2, NumberOfFrames="4", NumberOfSlices=6)
    # From 5 frames on, Number of Slices no longer stands in for Number of Frames.
    standard("nf5_ns32", gates=0, frames=32, NumberOfFrames="5", NumberOfSlices=32)
    save("nf5_ns4", study(gates=1, frames=4, NumberOfFrames="5"), pixel_array=pixels(1, 5, 64),
         expected=pixels(1, 4, 64))
    ew_empty = Dataset()
    ew_empty.EnergyWindowName = ""
    standard("tracer_ew_empty", EnergyWindowInformationSequence=Sequence([ew_empty]))
    standard("tracer_long", EnergyWindowInformationSequence=None,
             RadiopharmaceuticalInformationSequence=None,
             Radiopharmaceutical="Tc-99m-Tetrofosmin-Myoview")
    standard("modality_ct", Modality="CT")
    standard("modality_empty", Modality="")
    nested = Dataset()
    nested.Modality = "MR"
    standard("modality_twice", Modality="CT", ReferencedImageSequence=Sequence([nested]))
    standard("rows_4bytes", Rows=[64, 7])
    standard("bits8", BitsAllocated=8)
    standard("nm_no_bits", BitsAllocated=None)

    # Element walks.
    save("walk_explicit_undefined", walk_study(True), pixel_array=pixels(1, 1, 64))
    save("walk_explicit_defined", walk_study(False), pixel_array=pixels(1, 1, 64))
    save("walk_implicit_undefined", walk_study(True), True, pixels(1, 1, 64))
    save("walk_implicit_defined", walk_study(False, False), True, pixels(1, 1, 64))
    dcmtk_study(os.path.join(OUT, "dcmtk_explicit.dcm"))
    save("icon_explicit", icon_study(), pixel_array=pixels(1, 1, 64))
    icon = icon_study()
    icon["IconImageSequence"].is_undefined_length = False
    icon["IconImageSequence"].value[0].is_undefined_length_sequence_item = False
    save("icon_implicit_defined", icon, True, pixels(1, 1, 64))
    icon = icon_study()
    icon["IconImageSequence"].is_undefined_length = True
    save("icon_implicit_undefined", icon, True, pixels(1, 1, 64))
    save("icon64_16bit", icon_study(64, 16), pixel_array=pixels(1, 1, 64), expected=pixels(1, 1, 64))
    save("icon64_8bit", icon_study(64, 8), pixel_array=pixels(1, 1, 64), expected=pixels(1, 1, 64))
    save("un_elements", un_study(), pixel_array=pixels(2, 4, 64), expected=pixels(2, 4, 64))
    save("un_elements_implicit", un_study(), True, pixels(2, 4, 64), expected=pixels(2, 4, 64))

    save("nested_attributes", nested_study(), pixel_array=pixels(2, 4, 64),
         expected=pixels(2, 4, 64))
    save("un_sequence_defined", un_sequence_study(), pixel_array=pixels(2, 4, 64),
         expected=pixels(2, 4, 64))
    save("nested_attributes_implicit", nested_study(), True, pixels(2, 4, 64),
         expected=pixels(2, 4, 64))

    # Pixel layouts.
    high = np.fromfunction(lambda f, r, c: (r * 1000 + c * 17) % 65535, (8, 64, 64)).astype(np.uint16)
    ds = study(gates=2, frames=4, PixelRepresentation=0)
    save("unsigned64", ds, pixel_array=high, expected=np.minimum(high, 32767).astype(np.int16))
    high128 = np.fromfunction(lambda f, r, c: (r * 500 + c * 7 + f) % 65535, (8, 128, 128)).astype(np.uint16)
    ds = study(gates=2, frames=4, side=128, PixelRepresentation=0)
    save("unsigned128", ds, pixel_array=high128, expected=binned(high128.astype(np.int64)))
    # 12 bits stored with overlay bits above High Bit; signed values sign-extend.
    raw = pixels(2, 4, 64).astype(np.uint16) | 0xA000
    value12 = (raw & 0x0FFF).astype(np.int64)
    ds = study(gates=2, frames=4, BitsStored=12, HighBit=11, PixelRepresentation=0)
    save("bits12_unsigned", ds, pixel_array=raw, expected=value12.astype(np.int16))
    raw = (pixels(2, 4, 64).astype(np.uint16) | 0x0800) | 0x5000
    ds = study(gates=2, frames=4, BitsStored=12, HighBit=11, PixelRepresentation=1)
    save("bits12_signed", ds, pixel_array=raw,
         expected=((raw & 0x0FFF).astype(np.int64) - 4096).astype(np.int16))
    # The same at 128 x 128, values from -1800 to 1818: blocks sum below
    # -32768 and above 32767 (x 10), and between.
    value12 = pixels(2, 4, 128).astype(np.int64) * 3 - 1800
    ds = study(gates=2, frames=4, side=128, BitsStored=12, HighBit=11, PixelRepresentation=1)
    save("bits12_signed128", ds, pixel_array=((value12 & 0x0FFF) | 0x5000).astype(np.uint16),
         expected=binned(value12))
    # 12 bits stored under High Bit 15: the value sits in the top bits.
    value12 = pixels(2, 4, 64).astype(np.uint16) * 2
    ds = study(gates=2, frames=4, BitsStored=12, HighBit=15, PixelRepresentation=0)
    save("bits12_high15", ds, pixel_array=value12 << 4, expected=value12.astype(np.int16))
    for name, rows, cols in [("rows64_cols128", 64, 128), ("rows128_cols64", 128, 64)]:
        ds = study(gates=1, frames=1, side=rows, Columns=cols)
        save(name, ds, pixel_array=np.ones((1, rows, cols), np.int16))
    # Declared Pixel Data one frame short, followed by another element.
    ds = study(gates=2, frames=4)
    save_study(ds, os.path.join(OUT, "pixel_declared_short.dcm"), pixels=pixels(2, 4, 64)[:7])
    ds = pydicom.dcmread(os.path.join(OUT, "pixel_declared_short.dcm"))
    ds.add_new(0xFFFCFFFC, "OB", bytes(8192))
    ds.save_as(os.path.join(OUT, "pixel_declared_short.dcm"))
    # Frame order from the vectors: slice-major storage equals gate-major.
    gate_major = pixels(4, 8, 64)
    for name, slice_major in [("vectors_gate_major", False), ("vectors_slice_major", True)]:
        slots, slices = frame_vectors(4, 8, slice_major)
        stored = (gate_major.reshape(4, 8, 64, 64).transpose(1, 0, 2, 3).reshape(32, 64, 64)
                  if slice_major else gate_major)
        ds = study(gates=4, frames=8, TimeSlotVector=slots, SliceVector=slices)
        save(name, ds, pixel_array=stored, expected=gate_major)
    slots, slices = frame_vectors(4, 8, False)
    slices[5] = slices[4]
    save("vectors_twice", study(gates=4, frames=8, TimeSlotVector=slots, SliceVector=slices),
         pixel_array=gate_major)
    save("vectors_short", study(gates=4, frames=8, TimeSlotVector=slots[:30], SliceVector=slices),
         pixel_array=gate_major)
    # More entries than the scan keeps (1024), and gate or slice 0 (they count from 1).
    slots, slices = frame_vectors(4, 8, False)
    save("vectors_long", study(gates=4, frames=8, TimeSlotVector=slots + [1] * 993,
                               SliceVector=slices), pixel_array=gate_major)
    # ... and slice 9 of 8 in the last gate, one past the gate's last slot.
    for name, vector, at, value in [("vectors_gate0", slots, 3, 0),
                                    ("vectors_slice0", slices, 3, 0),
                                    ("vectors_slice9", slices, 31, 9)]:
        changed = list(vector)
        changed[at] = value
        attrs = dict(TimeSlotVector=slots, SliceVector=slices)
        attrs["TimeSlotVector" if vector is slots else "SliceVector"] = changed
        save(name, study(gates=4, frames=8, **attrs), pixel_array=gate_major)
    # No counts, and frames that do not divide into the gates.
    save("rows_missing", study(gates=2, frames=2, Rows=None, Columns=None),
         pixel_array=pixels(2, 2, 64))
    save("nf_minus64", study(gates=8, frames=8, NumberOfFrames="-64", NumberOfSlices=None),
         pixel_array=pixels(8, 8, 64))
    extra = np.concatenate([pixels(16, 8, 64), pixels(1, 2, 64)])
    save("nf130_16gates", study(gates=16, frames=8, NumberOfFrames="130"), pixel_array=extra,
         expected=pixels(16, 8, 64))
    # Image Type: projections are questioned, reconstructions are not.
    standard("type_gated_tomo", ImageType=["ORIGINAL", "PRIMARY", "GATED TOMO", "EMISSION"])
    standard("type_recon_gated", ImageType=["ORIGINAL", "PRIMARY", "RECON GATED TOMO", "EMISSION"])
    # Caveats written with a warning, and counts that disagree.
    lossy = standard("lossy_raw", LossyImageCompression="01")
    subprocess.run(["dcmconv", "+td", lossy, os.path.join(OUT, "lossy_deflated.dcm")], check=True)
    standard("rescale_quarter", RescaleSlope="0.25", RescaleIntercept="0")
    standard("hr_65596", HeartRate="65596")
    standard("date_dashes", StudyDate="2026-03-01")
    save("summed_volume", study(gates=8, frames=24, NumberOfFrames="216"),
         pixel_array=np.concatenate([pixels(8, 24, 64), pixels(1, 24, 64)]),
         expected=pixels(8, 24, 64))
    save("slices_exceed", study(gates=8, frames=4, NumberOfSlices=5), pixel_array=pixels(8, 4, 64))
    # Gating: the count curve per gate and the beats the camera kept.
    gating("gating_flat", [1.0] * 16, GatedInformationSequence=beats())
    gating("gating_drop", [1.0] * 13 + [0.7] * 3, GatedInformationSequence=beats())
    gating("gating_drop128", [1.0] * 13 + [0.7] * 3, side=128)
    gating("gating_empty_gate", [1.0] * 4 + [0.0] + [1.0] * 3)
    gating("gating_single", [1.0])
    gating("gating_rejected30", [1.0] * 8, GatedInformationSequence=beats(700, 300))
    gating("gating_beats_top", [1.0] * 8, IntervalsAcquired="90", HighRRValue="1200")
    save("rr_intervals2", study(gates=4, frames=4, NumberOfFrames="32", NumberOfRRIntervals=2),
         pixel_array=pixels(8, 4, 64))

    # 200 MB of zeros in a private element, deflated to 200 KB.
    bomb = study(gates=2, frames=4)
    bomb.add_new(0x00091010, "LO", "DGC BOMB")
    bomb.add_new(0x00091001, "OB", bytes(200 << 20))
    save("deflate_bomb", bomb, pixel_array=pixels(2, 4, 64), syntax="1.2.840.10008.1.2.1.99")

    # Text numbers that strtod would take.
    standard("ds_inf", PixelSpacing=["inf", "inf"], SliceThickness="nan")
    add_real_files()

    # Refused studies.
    save("matrix256", study(side=256, gates=1, frames=1), pixel_array=pixels(1, 1, 256))
    save("matrix32", study(side=32, gates=1, frames=1), pixel_array=pixels(1, 1, 32))
    save("gates17", study(gates=17, frames=1), pixel_array=pixels(17, 1, 64))
    save("frames65", study(gates=1, frames=65), pixel_array=pixels(1, 65, 64))
    save("matrix0", study(side=0, gates=2, frames=2), pixel_array=np.zeros(0, np.int16))
    # Encapsulated (compressed) pixel data: one fragment, refused unread.
    ds = study(gates=1, frames=1)
    ds.PixelData = encapsulate([pixels(1, 1, 64).tobytes()])
    ds["PixelData"].VR = "OB"
    ds["PixelData"].is_undefined_length = True
    save("jpeg_syntax", ds, syntax="1.2.840.10008.1.2.4.70")

    # Extreme header values.
    standard("rows_ffff", Rows=65535)
    standard("nf_minus1", NumberOfFrames="-1")
    standard("nf_max", NumberOfFrames="2147483647")
    standard("slots_ffff", NumberOfTimeSlots=65535)

    # Crafted 128 x 128 blocks: 1,2,3,4 -> 100; a block summing to 3277
    # saturates at 32767; a negative block saturates at -32768.
    frame = np.zeros((1, 128, 128), np.int16)
    frame[0, 0:2, 0:2] = [[1, 2], [3, 4]]
    frame[0, 10:12, 10:12] = [[1000, 1000], [1000, 277]]
    frame[0, 20:22, 20:22] = [[-1000, -1000], [-1000, -300]]
    ds = study(gates=1, frames=1, side=128)
    save("bin_blocks", ds, pixel_array=frame, expected=binned(frame))

    # Band maximum: hot pixels outside rows 5..45 do not count.
    for row, label in [(3, "row3"), (50, "row50"), (5, "row5"), (45, "row45")]:
        f = np.ones((1, 64, 64), np.int16)
        f[0, row, 7] = 9000
        save("band_" + label, study(gates=1, frames=1), pixel_array=f, expected=f)

    # Files that end too early.
    full = standard("short_base", gates=2, frames=6)
    truncate(full, os.path.join(OUT, "pixel_short2.dcm"), -2)
    size = os.path.getsize(full)
    truncate(full, os.path.join(OUT, "before_pixel.dcm"), size - 2 * 6 * 4096 * 2 - 20)
    truncate(full, os.path.join(OUT, "only_prefix.dcm"), 132)


if __name__ == "__main__":
    main()
