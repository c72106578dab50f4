// DICOM text values as the file means them: the bytes of a value decoded
// under the data set's Specific Character Set (0008,0005) into UTF-8.
// Toolkit-free; glibc's iconv does the conversions of each character set.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// specificCharacterSet is the element's value as stored: terms separated by
// backslashes, blanks around them ignored, an empty first term meaning the
// default repertoire (ASCII). A value with ISO 2022 terms switches sets at
// escape sequences (a name's ideographic and phonetic groups, for one);
// otherwise the whole value is in the one set named.
//
// Returns the text as UTF-8, or nothing when a term is unknown or the bytes
// are not valid in the sets named. A value that ends inside a character or
// an escape sequence (a record field cut to its capacity) gives the text up
// to the last whole character.
std::optional<std::string> DecodeDicomText(std::string_view bytes,
                                           std::string_view specificCharacterSet);
