// The exit statuses of the decoder helpers, dicom-decode and
// dicom-decode-gdcm, shared with their client (helper_client/transcoder.cpp),
// which tells short pixel data from the other failures by them. The reason
// goes as one line on standard error.
#pragma once

// The decoded file is written on standard output.
constexpr int kHelperDecoded = 0;
// GDCM cannot read the file as a DICOM image.
constexpr int kHelperUnreadable = 2;
// The pixel data cannot be decoded.
constexpr int kHelperUndecodable = 3;
constexpr int kHelperNoMemory = 4;
// The decoded file cannot be written (or read back, for GDCM's rewrite).
constexpr int kHelperCannotWrite = 5;
// The pixel data end before the last frame (GDCM would pad them with zeros).
constexpr int kHelperPixelDataShort = 6;
// The decoded file is written, but a codestream under a lossless syntax
// was lossy: its words on standard error, for the lossy caveat.
constexpr int kHelperDecodedLossy = 8;
// The confinement cannot be set up, GDCM's helper cannot start, or the
// input cannot be read, or an option is refused.
constexpr int kHelperCannotStart = 7;

// --self-test: the call named was allowed (or no thread could be made).
constexpr int kHelperSelfTestFailed = 1;
// --self-test names no check the helper knows.
constexpr int kHelperSelfTestUnknown = 2;
