#!/usr/bin/python3
"""Copies of one DICOM file as distinct objects, for the node's tests.

    make_studies.py SOURCE OUT_PREFIX COUNT [MODALITY]

Writes OUT_PREFIX000.dcm ... with a new SOP Instance UID (2.25 and a random
UUID) and Patient ID "<prefix name>-<index>" each, the pixel data and
transfer syntax as SOURCE has them. With MODALITY (say CT) the copies claim
that modality and, for CT, the CT Image Storage SOP class.
"""
import os
import sys
import uuid

import pydicom

CT_IMAGE_STORAGE = "1.2.840.10008.5.1.4.1.1.2"


def main():
    source, prefix, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    modality = sys.argv[4] if len(sys.argv) > 4 else None
    ds = pydicom.dcmread(source)
    label = os.path.basename(prefix)
    for i in range(count):
        uid = "2.25.%d" % uuid.uuid4().int
        ds.SOPInstanceUID = uid
        ds.file_meta.MediaStorageSOPInstanceUID = uid
        ds.PatientID = "%s-%d" % (label, i)
        if modality:
            ds.Modality = modality
            if modality == "CT":
                ds.SOPClassUID = CT_IMAGE_STORAGE
                ds.file_meta.MediaStorageSOPClassUID = CT_IMAGE_STORAGE
        ds.save_as("%s%03d.dcm" % (prefix, i), write_like_original=True)


if __name__ == "__main__":
    main()
