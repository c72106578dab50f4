// What gsdinfo does with one GSD file, apart from its arguments: check it,
// print its header and per-gate counts, optionally draw the montage.
#pragma once

#include <cstdio>

// Reads the GSD file from in (name is for messages) and prints the report
// on out, or one line "gsdinfo: NAME: REASON" on err. png, when not null, is
// where the montage goes. Returns gsdinfo's exit status: 0 or 1.
int InspectGsd(std::FILE* in, const char* name, const char* png, std::FILE* out, std::FILE* err);
