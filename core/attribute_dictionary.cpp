#include "core/attribute_dictionary.h"

const DictionaryEntry* LookupAttribute(std::uint16_t group, std::uint16_t element) {
  for (const DictionaryEntry* row = AttributeDictionary; row->vr != 0; ++row) {
    if (row->group == group && row->element == element) return row;
  }
  return nullptr;
}
