// The work one fuzz input drives, shared by the libFuzzer targets and by the
// ordinary test that replays saved inputs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/load_report.h"

// The whole load of a DICOM file held in data: open, walk every header,
// scan with the non-NM question answered No and then Yes, load into the
// store, and compose and write the GSD bytes of what was loaded. Returns the
// result of the last load, and its report in last when given.
int RunDicomLoadInput(const std::uint8_t* data, std::size_t size, LoadReport* last = nullptr);

// The strict GSD reader on data. Returns whether it accepted the file.
bool RunGsdReaderInput(const std::uint8_t* data, std::size_t size);
