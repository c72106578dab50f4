// A decoder for the JPEG lossless codestreams (ITU T.81 Annex H, process 14,
// SOF3 with Huffman coding) that DICOM's JPEG Lossless transfer syntaxes
// carry for nuclear medicine: one component of 9 to 16 bits, any of the
// seven predictors, no point transform, no restart intervals. It
// reconstructs the same samples as the IJG library (GDCM's 16-bit build) in
// less than half its time: IJG builds a 640 KiB range-limit table for every
// 16-bit frame, which a lossless frame never reads, and decodes one sample
// per call. Anything else, and any codestream it finds damaged (a code
// past the end of the scan, a sample beyond the precision, a bad Huffman
// table, data after the last sample), is left to IJG, which then decodes it
// or gives its own words for what is wrong.
#pragma once

#include <cstddef>
#include <cstdint>

// Decodes a codestream of exactly rows x columns samples into words (row
// by row). False when the codestream is not of that kind or does not
// decode; words may then hold part of a frame.
bool DecodeLosslessJpeg(const unsigned char* data, std::size_t size, std::uint16_t* words, int rows,
                        int columns);
