// DICOM text values as the file means them: the bytes of a value decoded
// under the data set's Specific Character Set (0008,0005) into UTF-8.
// Toolkit-free; glibc's iconv does the conversions of each character set.
#pragma once

#include <cstddef>
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

// How many of bytes a field of `most` bytes keeps so that it ends after a
// whole character of specificCharacterSet: `most` itself when bytes are no
// longer, or do not decode (the bytes are then all the window can go by).
// An escape sequence with no character after it is left out as well.
std::size_t WholeCharacterCut(std::string_view bytes, std::size_t most,
                              std::string_view specificCharacterSet);
