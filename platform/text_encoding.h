// Text in one of the character encodings DICOM's Specific Character Set
// names, turned into UTF-8 by the system's own converter (glibc's iconv, or
// the code pages of Windows). The encodings are named as iconv names them.
#pragma once

#include <string>
#include <string_view>

// Appends bytes, encoded as encoding, to out as UTF-8. A multi-byte sequence
// cut at the end is dropped (a value cut to its field); an invalid one, or
// an encoding the system lacks, gives false with out unchanged.
bool AppendAsUtf8(const char* encoding, std::string_view bytes, std::string& out);
