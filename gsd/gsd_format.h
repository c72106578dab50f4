// Facts of the "Gated SPECT Data" format shared by its writer and reader.
//
// A GSD file is a text header of "key = value;" lines ended by CR LF,
// closed by the bytes 0x0C 0x0D 0x0A, followed directly by the frames:
// max(1, division) gates of `frames` frames, each 64 x 64 little-endian
// int16 values (8192 bytes).
#pragma once

#include <cstddef>

#include "model/study_state.h"

constexpr const char* kGsdIdentifier = "tulvex";
constexpr const char* kGsdLineEnd = "\r\n";
constexpr const char kGsdTerminator[] = "\x0C\r\n";
constexpr std::size_t kGsdFrameBytes = kFrameValues * 2;
