// GDCM's whole-file rewrite, what the decoder helper asks of GDCM: the
// DICOM file in memory as explicit VR little endian, its pixel data decoded,
// on standard output (dicom-decode-gdcm on Linux; dicom-decode itself on
// Windows). Explicit VR big endian, deflated data sets, the encapsulated
// syntaxes the frames' way leaves, and GDCM's verdict on what that way
// fails.
#pragma once

#include "helper/helper_process.h"

// The helper's status (decoder_status.h): written, or why not, in GDCM's
// own words where it has them, as one line on standard error. With emit
// false only the verdict: the status and the words, nothing written.
int DecodeWithGdcm(const Input& input, bool emit);
