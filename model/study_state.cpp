#include "model/study_state.h"

#include <cstring>

void CopyToField(char* field, std::size_t capacity, const char* text, std::size_t length) {
  if (capacity == 0) return;
  std::size_t n = length < capacity - 1 ? length : capacity - 1;
  std::memcpy(field, text, n);
  field[n] = '\0';
}

std::string StoreLimitText() {
  return "at most " + std::to_string(kStoreGates) + " gates of " +
         std::to_string(kStoreFramesPerGate) + " frames";
}
