// A decoder for the one kind of JPEG-LS codestream (ITU T.87) that nuclear
// medicine archives write: lossless (NEAR 0), one component of 9 to 16
// bits at the full sample range, no restart intervals, no mapping tables.
// It reconstructs the same samples as CharLS in two thirds of its time: the
// whole scan in one loop, a 64-bit bit cache, branch-free context
// quantisation. Anything else, and any codestream it finds damaged (a code
// past the end of the scan, an error outside the sample range, data after
// the last sample), is left to CharLS, which then decodes it or gives its
// own words for what is wrong.
#pragma once

#include <cstddef>
#include <cstdint>

// Decodes a codestream of exactly rows x columns samples into words (row
// by row). False when the codestream is not of that kind or does not
// decode; words may then hold part of a frame.
bool DecodeLosslessJpegLs(const unsigned char* data, std::size_t size, std::uint16_t* words,
                          int rows, int columns);
