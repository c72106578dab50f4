// A DICOM Part 10 file seen as one flat stream of element headers.
//
// Sequences, items and delimiters come back with length 0: skipping them
// steps into their contents, so the caller meets nested elements in file
// order. Little endian, and explicit VR big endian. How a header is read depends on the VR form the
// caller names: the transfer syntax fixes it for a data set, and a file that
// names none is read by classifying each header by its own bytes.
#pragma once

#include <cstdint>
#include <cstdio>

#include "core/attribute_dictionary.h"
#include "core/vr_code.h"

struct DicomElement {
  std::uint16_t group;
  std::uint16_t element;
  VrCode vr;                     // explicit: the letters found; implicit: SQ, DL or 0
  std::int32_t length;           // never negative; 0 for sequences, items, delimiters
  DictionaryEntry entry;         // the dictionary's row, or the tag named "Unknown"
  std::uint32_t declaredLength;  // the length as stored; kUndefinedLength for none
};

constexpr std::uint32_t kUndefinedLength = 0xFFFFFFFFu;

enum class VrForm {
  kGuess,              // explicit when the two bytes after the tag name a VR
  kExplicit,           // explicit, unless those bytes name no VR (a mislabelled data set)
  kImplicit,           // tag and 32-bit length
  kExplicitBigEndian,  // explicit VR big endian (1.2.840.10008.1.2.2); meta group excepted
};

// Opens path for binary reading and accepts it only with "DICM" at byte 128.
// Returns the stream positioned at byte 132, or nullptr with nothing open.
std::FILE* OpenDicomFile(const char* path);

// Reads one element header. Returns 1 when a whole header was decoded, -1 at
// the end of the file or when a header is cut short. Everything it finds is
// the element's own: readers on other streams may run at the same time. Items and delimiters
// (group FFFE) and the meta group (0002) have one layout in every form.
int ReadElementHeader(std::FILE* stream, DicomElement& element, VrForm form = VrForm::kGuess);

// The length a header's declared length gives: the same, or 0 for 2 GiB
// and more (the undefined length included), which is stepped into.
std::int32_t SkippableLength(std::uint32_t declared);

// Moves the stream forward over the element's value; nothing for length 0.
void SkipElementValue(std::FILE* stream, const DicomElement& element);
