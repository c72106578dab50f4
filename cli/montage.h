// A grey-scale picture of a whole GSD study: one row per gate, the gate's
// frames left to right, scaled to the study's maximum.
#pragma once

#include <string>

#include "gsd_reader.h"

// Writes the montage as PNG. Returns false with the reason in error.
bool WriteMontagePng(const GsdFile& file, const char* path, std::string& error);
