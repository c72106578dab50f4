// Standard input taken whole, as a program that is handed one file takes
// it: mapped when it is a regular file (no copy, and no page of it zeroed
// first), else read to its end.
#pragma once

#include <cstddef>
#include <string>

// Whether it is a regular file (not a pipe, a terminal or a device).
bool StandardInputIsRegularFile();

// Maps it from where it stands to its end, read-only and private: false
// when it is no regular file, holds nothing past that point or cannot be
// mapped. The mapping stays. A file cut short while mapped ends the process
// by SIGBUS.
bool MapStandardInput(const char*& data, std::size_t& size);

// Reads it to its end, after what bytes holds; 0 or the system's error
// number.
int ReadStandardInput(std::string& bytes);
