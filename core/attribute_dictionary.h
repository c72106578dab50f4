// The converter's constant table of DICOM attributes. In implicit-VR data it
// tells the element reader which tags are sequences ("SQ") and which are items
// or delimiters ("DL"); every other VR only names the element.
#pragma once

#include <cstdint>

#include "core/vr_code.h"

struct DictionaryEntry {
  std::uint32_t group;
  std::uint32_t element;
  VrCode vr;  // 0 only in the terminator row
  const char* name;
};

constexpr int kAttributeCount = 719;

// kAttributeCount rows grouped by ascending group, then an all-zero terminator.
extern const DictionaryEntry AttributeDictionary[kAttributeCount + 1];

// Linear search for the exact tag; no masks for repeating groups and no
// group-length rule. Returns nullptr when no row has the tag.
const DictionaryEntry* LookupAttribute(std::uint16_t group, std::uint16_t element);
