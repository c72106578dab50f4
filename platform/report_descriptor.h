// A descriptor the parent handed down for lines that are not for a person
// (dicom2gsd's outcome line on --outcome-fd): taken over once, written whole.
#pragma once

#include <string>

// Whether fd is open in this process. When it is, and it is not one of the
// standard three, it is kept from the programs this process starts (the
// decoder helper).
bool TakeInheritedDescriptor(int fd);

// Writes all of bytes to fd, again after an interrupted write. False when a
// write fails or writes nothing.
bool WriteWhole(int fd, const std::string& bytes);
