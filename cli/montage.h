// A grey-scale picture of a whole GSD study: one row per gate, the gate's
// frames left to right, scaled to the study's maximum.
#pragma once

#include <string>

#include "gsd/gsd_reader.h"
#include "output/output_file.h"

// Writes the montage as PNG under the output-file rules (output_file.h),
// never onto notThis when it is given. Returns false with the reason in
// error.
bool WriteMontagePng(const GsdFile& file, const char* path, std::string& error,
                     const ProtectedFile* notThis = nullptr);
