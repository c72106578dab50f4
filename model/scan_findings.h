// The facts of a data set that the loader needs besides the study record.
#pragma once

#include <cstdint>
#include <string>

#include "model/pixel_encoding.h"

// A frame-order vector as stored: count is the number of entries the value
// holds (-1 when the element is absent); at most kMaxVectorEntries are kept,
// as many as the store has frames.
constexpr int kMaxVectorEntries = 16 * 64;
struct FrameVector {
  int count = -1;
  std::uint16_t entries[kMaxVectorEntries];
};

// The beats the camera counted for the R-R window, as the Data Information
// Sequence (0054,0063) of the Gated Information Sequence (0054,0062) gives
// them (or the top level, where an older file keeps them); -1 where the file
// holds no value or a negative one. Shown to the operator, never written to
// the GSD header.
struct BeatCounts {
  int acquired = -1;         // (0018,1083) Intervals Acquired: beats inside the window, kept
  int rejected = -1;         // (0018,1084) Intervals Rejected: beats outside it
  int lowRR = -1;            // (0018,1081) Low R-R Value, ms
  int highRR = -1;           // (0018,1082) High R-R Value, ms
  int skipBeats = -1;        // (0018,1086) beats skipped after an arrhythmic one
  int nominalInterval = -1;  // (0018,1062) mean accepted beat, ms
  double frameTime = -1.0;   // (0018,1063) ms per gate
};

// What the scan saw that only the loader needs: how the pixel data are laid
// out and encoded. Like the study attributes, they count only at the top
// level of the data set, never inside a sequence such as an icon image or
// the Original Attributes Sequence of a corrected study. One per scan.
struct ScanFindings {
  std::string transferSyntax;  // (0002,0010) without trailing NUL or space
  PixelEncoding encoding = PixelEncoding::kRaw;
  int rows = 0;                         // (0028,0010) as stored, unsigned
  int numberOfTimeSlots = 0;            // (0054,0071) as stored, unsigned
  int columns = -1;                     // (0028,0011); -1 when absent
  int bitsAllocated = -1;               // (0028,0100)
  int bitsStored = -1;                  // (0028,0101)
  int highBit = -1;                     // (0028,0102)
  int pixelRepresentation = -1;         // (0028,0103): 0 unsigned, 1 signed
  bool lossyCompression = false;        // (0028,2110) "01"
  double rescaleSlope = 1.0;            // (0028,1053); 1 when absent
  double rescaleIntercept = 0.0;        // (0028,1052); 0 when absent
  int numberOfSlices = -1;              // (0054,0081); -1 when absent or empty
  int numberOfFrames = -1;              // (0028,0008) as the file gives it; -1 when absent or empty
  bool slicesStandInForFrames = false;  // Number of Slices replaced a Number of Frames below 5
  int rrIntervals = -1;                 // (0054,0061) Number of R-R Intervals
  std::uint32_t pixelDataLength = 0;    // as declared; 0xFFFFFFFF undefined
  FrameVector timeSlots;                // (0054,0070), 1-based gates
  FrameVector slices;                   // (0054,0080), 1-based slices
  // (0010,0010) and (0010,0020) whole, as stored: the record holds them cut
  // to its fields. Empty when absent or empty.
  std::string patientName, patientId;
  BeatCounts beats;                     // shown beside the count curve
};
