"""pydicom helpers that write gated NM SPECT studies; shared by the sample
study, the test inputs and the benchmark studies."""
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.sequence import Sequence
from pydicom.uid import ExplicitVRLittleEndian, ImplicitVRLittleEndian

NM_STORAGE = "1.2.840.10008.5.1.4.1.1.20"


def gated_nm(gates, frames, side, instance, tracer, energy_window, **attrs):
    """A gated NM acquisition of max(gates, 1) x frames slices of side x side
    signed 16-bit counts, without pixel data. attrs set or, with None, remove
    attributes."""
    ds = Dataset()
    ds.SOPClassUID = NM_STORAGE
    ds.SOPInstanceUID = "1.2.826.0.1.3680043.9.7133." + instance
    ds.Modality = "NM"
    ds.SamplesPerPixel = 1
    ds.PhotometricInterpretation = "MONOCHROME2"
    ds.NumberOfFrames = str(max(gates, 1) * frames)
    ds.Rows = side
    ds.Columns = side
    spacing = "%.1f" % (6.4 * 64 / side) if side else "6.4"
    ds.PixelSpacing = [spacing, spacing]
    ds.BitsAllocated = 16
    ds.BitsStored = 16
    ds.HighBit = 15
    ds.PixelRepresentation = 1
    window = Dataset()
    window.EnergyWindowName = energy_window
    ds.EnergyWindowInformationSequence = Sequence([window])
    drug = Dataset()
    drug.Radiopharmaceutical = tracer
    ds.RadiopharmaceuticalInformationSequence = Sequence([drug])
    if gates:
        ds.NumberOfTimeSlots = gates
    ds.NumberOfSlices = frames
    for key, value in attrs.items():
        if value is None:
            if key in ds:
                delattr(ds, key)
        else:
            setattr(ds, key, value)
    return ds


def gated_information(acquired, rejected, low=750, high=1000, frame_time="110",
                      nominal="880"):
    """Gated Information Sequence (0054,0062) > Data Information Sequence
    (0054,0063): the R-R window and the beats inside and outside it."""
    data = Dataset()
    data.FrameTime = frame_time
    data.NominalInterval = nominal
    data.LowRRValue = str(low)
    data.HighRRValue = str(high)
    data.IntervalsAcquired = str(acquired)
    data.IntervalsRejected = str(rejected)
    data.SkipBeats = "1"
    window = Dataset()
    window.DataInformationSequence = Sequence([data])
    return Sequence([window])


def save(ds, path, implicit=False, pixels=None, syntax=None):
    """Writes ds as a Part 10 file; pixels (a numpy array) go last as OW."""
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = ds.SOPClassUID
    meta.MediaStorageSOPInstanceUID = ds.SOPInstanceUID
    meta.TransferSyntaxUID = syntax or (ImplicitVRLittleEndian if implicit else ExplicitVRLittleEndian)
    ds.file_meta = meta
    ds.is_little_endian = True
    ds.is_implicit_VR = implicit
    if pixels is not None:
        ds.PixelData = pixels.astype("<i2").tobytes()
        ds["PixelData"].VR = "OW"
    ds.save_as(path, write_like_original=False)
    return path
