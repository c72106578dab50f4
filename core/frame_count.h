// How many frames a gated study holds, from its counting attributes: one
// rule for the loader, its header scan and the folder scan's table, so that
// a study is listed with the frames per gate it converts to.
#pragma once

#include <cstdint>

// Number of Frames (0028,0008), an IS: leading white space, a sign, the
// digits up to the first other character (of "8\8" the first value); no
// digits give 0, and values beyond the int32 range saturate.
std::int32_t ParseNumberOfFrames(const char* text);

// The frames a file states: Number of Frames, or Number of Slices (0054,0081)
// where Number of Frames is below 5 (old files give 1 and count the slices
// there). numberOfSlices is -1 when the file gives none.
std::int32_t StatedFrames(std::int32_t numberOfFrames, int numberOfSlices);
// Whether StatedFrames takes Number of Slices in place of Number of Frames.
bool SlicesStandInForFrames(std::int32_t numberOfFrames, int numberOfSlices);

// Frames per gate: the stated frames over the gates (at least 1), or Number
// of Slices when the file gives it beside 5 frames or more. Frames beyond
// gates x slices, a summed volume appended say, are then left over rather
// than spread across the gates.
std::int32_t FramesPerGate(std::int32_t stated, int gates, int numberOfSlices);
