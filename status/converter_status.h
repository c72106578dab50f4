// The exit statuses of the converters, dicom-converter and dicom2gsd, and
// what each means. The loader's and the writer's results are these numbers,
// so that a failed load or write ends the process with its own result, and
// a front end that runs dicom2gsd as a child reads them back.
#pragma once

// Saved; for the window also closed without saving.
constexpr int kExitSaved = 0;
// The input could not be loaded (missing, not DICOM, no pixel data,
// declined, cancelled, an unsupported matrix or encoding), or the output
// could not be written.
constexpr int kExitFailed = 1;
// dicom2gsd's usage errors: an unknown option, a bad value, a path missing.
constexpr int kExitUsage = 2;
// The pixel data end before the last frame.
constexpr int kExitPixelDataShort = 4;
// No memory for the load.
constexpr int kExitNoMemory = 8;
// The window's Cancel or Esc: -1, which a POSIX shell sees as 255.
constexpr int kExitCancelled = -1;
