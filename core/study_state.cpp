#include "study_state.h"

#include <cstring>

TStudyRecord StudyRecord;
std::int16_t ImageStore[kStoreValues];
std::string InputPath;
std::string OutputPath;
bool BatchMode = false;

void CopyToField(char* field, std::size_t capacity, const char* text, std::size_t length) {
  if (capacity == 0) return;
  std::size_t n = length < capacity - 1 ? length : capacity - 1;
  std::memcpy(field, text, n);
  field[n] = '\0';
}
